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

}  // namespace
}  // namespace quobble
