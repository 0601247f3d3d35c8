#include "ui/ui_bridge.h"

namespace quobble {

UiBridge::UiBridge() : uiThread_(std::this_thread::get_id()) {}

UiBridge::~UiBridge() {
  Close();
}

bool UiBridge::Call(std::function<void()> work) {
  if (OnUiThread()) {
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
  // The event carries no data of ours: the call itself travels through the
  // queue above, under our own lock, so the hand-over is visible to race
  // detectors that cannot see inside Qt.
  QMetaObject::invokeMethod(this, "Drain", Qt::QueuedConnection);
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] { return pending->done || closed_; });
  return pending->done;
}

void UiBridge::Drain() {
  while (true) {
    std::shared_ptr<Pending> next;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty() || closed_) return;
      next = queue_.front();
      queue_.pop_front();
    }
    // May run a nested event loop (a message box), which drains further
    // calls itself; each call is taken off the queue before it runs.
    next->work();
    {
      std::lock_guard lock(mutex_);
      next->done = true;
    }
    finished_.notify_all();
  }
}

void UiBridge::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    queue_.clear();
  }
  finished_.notify_all();
}

bool UiBridge::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace quobble
