#include "platform/call_queue.h"

#include <utility>

namespace quobble {

CallQueue::CallQueue(std::function<void()> wake)
    : owner_(std::this_thread::get_id()), wake_(std::move(wake)) {}

CallQueue::~CallQueue() {
  Close();
}

bool CallQueue::Call(std::function<void()> work) {
  if (OnOwnerThread()) {
    if (Closed()) return false;
    work();
    return true;
  }
  auto pending = std::make_shared<Pending>();
  pending->work = std::move(work);
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    queue_.push_back(pending);
  }
  if (wake_) wake_();
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] { return pending->done || closed_; });
  return pending->done;
}

void CallQueue::Drain() {
  for (;;) {
    std::shared_ptr<Pending> next;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty() || closed_) return;
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    next->work();
    {
      std::lock_guard lock(mutex_);
      next->done = true;
    }
    finished_.notify_all();
  }
}

void CallQueue::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    queue_.clear();
  }
  finished_.notify_all();
}

bool CallQueue::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace quobble
