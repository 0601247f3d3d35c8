#include "ui/ui_bridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ui/ui_test_env.h"

namespace quobble {
namespace {

TEST(UiBridgeTest, WorkerCallRunsOnTheUiThreadAndWaitsForIt) {
  UiBridge bridge;
  std::thread::id ranOn;
  std::atomic<bool> returned{false};
  bool result = false;
  std::thread worker([&] {
    result = bridge.Call([&] { ranOn = std::this_thread::get_id(); });
    returned = true;
  });
  ASSERT_TRUE(ProcessEventsUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(UiBridgeTest, CloseReleasesAWaitingWorkerAndTurnsLaterCallsAway) {
  UiBridge bridge;
  std::atomic<bool> ran{false};
  std::atomic<bool> returned{false};
  bool result = true;
  std::thread worker([&] {
    result = bridge.Call([&] { ran = true; });
    returned = true;
  });
  // The UI thread is busy elsewhere and never serves the call.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load());
  bridge.Close();
  worker.join();
  EXPECT_FALSE(result);
  ProcessEventsFor(20);
  EXPECT_FALSE(ran.load());

  bool uiRan = false;
  EXPECT_FALSE(bridge.Call([&] { uiRan = true; }));
  EXPECT_FALSE(uiRan);
}

}  // namespace
}  // namespace quobble
