#pragma once
#include <chrono>
#include <functional>

#include "platform/call_queue.h"

namespace quobble {

// The terminal client's event loop on the main thread: other threads hand it
// work through a CallQueue woken by an eventfd, and it keeps the retry timer.
// Everything else of the client runs on the main thread and needs no lock.
class MainLoop {
 public:
  MainLoop();
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  // Runs `work` on the main thread and returns once it has run; at once when
  // called on the main thread. Once the loop is closed, returns without
  // running it.
  void Invoke(std::function<void()> work) { (void)calls_.Call(std::move(work)); }
  // Main thread: runs whatever other threads handed over.
  void ServePending();
  // Main thread: waits until work is handed over, `extraFd` (-1: none)
  // becomes readable, the timer is due or `timeoutMs` has passed. True when
  // `extraFd` is readable (or at its end).
  bool Poll(int extraFd, int timeoutMs);
  // Refuses further work and releases every thread waiting in Invoke.
  void Close() { calls_.Close(); }

  // The retry timer, main thread only.
  void StartTimer(std::chrono::milliseconds period);
  void StopTimer();
  bool TimerRunning() const { return timerRunning_; }
  // True (and the timer re-armed) when a period has passed.
  bool TimerDue();
  // Milliseconds until the timer is due, -1 when it is stopped.
  int MsUntilTimer() const;

  // Readable when work has been handed over.
  int WakeFd() const { return wakeFd_; }

 private:
  int wakeFd_ = -1;
  CallQueue calls_;

  bool timerRunning_ = false;
  std::chrono::milliseconds period_{0};
  std::chrono::steady_clock::time_point due_;
};

}  // namespace quobble
