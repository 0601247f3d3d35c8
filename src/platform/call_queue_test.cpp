#include "platform/call_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace quobble {
namespace {

using namespace std::chrono_literals;

// Drains `queue` on this (the owner) thread until `done` holds.
template <typename Done>
void DrainUntil(CallQueue& queue, std::atomic<int>& wakes, Done done) {
  while (!done()) {
    if (wakes.exchange(0) > 0) queue.Drain();
    std::this_thread::sleep_for(1ms);
  }
}

TEST(CallQueue, CallsRunOnTheOwnerThreadEachOnceAndInOrder) {
  std::atomic<int> wakes{0};
  CallQueue queue([&] { ++wakes; });
  std::vector<std::pair<int, int>> ran;  // (caller, call), touched on the owner only
  std::atomic<int> finished{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; ++c) {
    callers.emplace_back([&, c] {
      for (int i = 0; i < 50; ++i) {
        const bool result = queue.Call([&, c, i] {
          EXPECT_TRUE(queue.OnOwnerThread());
          ran.emplace_back(c, i);
        });
        EXPECT_TRUE(result);
      }
      ++finished;
    });
  }
  DrainUntil(queue, wakes, [&] { return finished.load() == 3; });
  for (auto& t : callers) t.join();
  ASSERT_EQ(ran.size(), 150u);
  int next[3] = {0, 0, 0};
  for (const auto& [c, i] : ran) EXPECT_EQ(i, next[c]++);

  // On the owner itself a call runs at once, without a wake.
  bool inline_ran = false;
  EXPECT_TRUE(queue.Call([&] { inline_ran = true; }));
  EXPECT_TRUE(inline_ran);
}

TEST(CallQueue, CloseReleasesAWaitingCallerAndTurnsLaterCallsAway) {
  CallQueue queue({});
  std::atomic<bool> ran{false};
  std::atomic<bool> returned{false};
  bool result = true;
  std::thread caller([&] {
    result = queue.Call([&] { ran = true; });
    returned = true;
  });
  // The owner is busy elsewhere and never drains.
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned.load());
  queue.Close();
  caller.join();
  EXPECT_FALSE(result);
  queue.Drain();
  EXPECT_FALSE(ran.load());

  bool ownerRan = false;
  EXPECT_FALSE(queue.Call([&] { ownerRan = true; }));
  EXPECT_FALSE(ownerRan);
  std::thread late([&] { EXPECT_FALSE(queue.Call([&] { ran = true; })); });
  late.join();
  EXPECT_FALSE(ran.load());
}

}  // namespace
}  // namespace quobble
