#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace quobble {

// Calls handed from other threads to one owner thread, each waited for until
// it has run there, as a window message sent across threads waits. The owner
// never waits on a caller: it runs what is queued whenever it looks (Drain),
// from nested loops (message boxes) too. Close() releases every waiting caller
// at once and turns later calls away, so an owner that is going away can join
// its other threads without a deadlock.
class CallQueue {
 public:
  // The owner is the thread that creates the queue. `wake` runs on a calling
  // thread after it queued a call and must make the owner call Drain() soon
  // (post an event to it, write to a descriptor it polls).
  explicit CallQueue(std::function<void()> wake);
  ~CallQueue();
  CallQueue(const CallQueue&) = delete;
  CallQueue& operator=(const CallQueue&) = delete;

  bool OnOwnerThread() const { return std::this_thread::get_id() == owner_; }

  // Runs `work` on the owner thread: at once when called there, else queued
  // and waited for. False when the queue is closed and `work` did not run.
  bool Call(std::function<void()> work);
  // Owner thread: runs the queued calls, each taken off the queue before it
  // runs (a call may drain the queue itself from a nested loop).
  void Drain();
  void Close();
  bool Closed() const;

 private:
  // Shared with the waiting caller, so that neither outlives the other's use.
  struct Pending {
    std::function<void()> work;
    bool done = false;
  };

  const std::thread::id owner_;
  const std::function<void()> wake_;
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  std::deque<std::shared_ptr<Pending>> queue_;
  bool closed_ = false;
};

}  // namespace quobble
