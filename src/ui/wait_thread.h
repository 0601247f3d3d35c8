#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace quobble {

// The thread a search waits on, so that the UI thread goes on serving the
// window meanwhile. It runs one job at a time and lives as long as its owner:
// the connections it opens to the service stay open between searches, as
// the UI thread's own would.
class WaitThread {
 public:
  WaitThread() = default;
  // Waits for the job in hand, then ends the thread.
  ~WaitThread();
  WaitThread(const WaitThread&) = delete;
  WaitThread& operator=(const WaitThread&) = delete;

  // Starts `job`; `ended` runs on this thread once the job is over and Busy()
  // is false again. False, and nothing runs, while a job runs or when no
  // thread can be had.
  [[nodiscard]] bool Start(std::function<void()> job, std::function<void()> ended);
  // True from Start() until the job has ended; everything the job did is
  // visible to a caller that sees it false.
  bool Busy() const { return busy_.load(std::memory_order_acquire); }

 private:
  void Loop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::function<void()> job_;
  std::function<void()> ended_;
  bool quit_ = false;
  std::atomic<bool> busy_{false};
  std::thread thread_;
};

}  // namespace quobble
