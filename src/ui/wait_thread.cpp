#include "ui/wait_thread.h"

#include <system_error>
#include <utility>

namespace quobble {

WaitThread::~WaitThread() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool WaitThread::Start(std::function<void()> job, std::function<void()> ended) {
  if (Busy()) return false;
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { Loop(); });
    } catch (const std::system_error&) {
      return false;
    }
  }
  busy_.store(true, std::memory_order_release);
  {
    std::lock_guard lock(mutex_);
    job_ = std::move(job);
    ended_ = std::move(ended);
  }
  wake_.notify_all();
  return true;
}

void WaitThread::Loop() {
  for (;;) {
    std::function<void()> job;
    std::function<void()> ended;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return quit_ || job_; });
      if (!job_) return;
      job = std::move(job_);
      ended = std::move(ended_);
      job_ = nullptr;
      ended_ = nullptr;
    }
    job();
    // What the job held goes before the owner may see the thread idle.
    job = nullptr;
    busy_.store(false, std::memory_order_release);
    if (ended) ended();
  }
}

}  // namespace quobble
