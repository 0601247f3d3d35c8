#include "cli/main_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "platform/stop_signals.h"

namespace quobble {

MainLoop::MainLoop()
    : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), calls_([this] {
        const uint64_t one = 1;
        if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
      }) {}

MainLoop::~MainLoop() {
  Close();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void MainLoop::ServePending() {
  uint64_t drained = 0;
  if (wakeFd_ >= 0) (void)!::read(wakeFd_, &drained, sizeof drained);
  calls_.Drain();
}

bool MainLoop::Poll(int extraFd, int timeoutMs) {
  // A stop signal wakes the loop too (its descriptor is -1 when none is
  // installed, which poll passes over).
  pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {StopSignalFd(), POLLIN, 0}, {extraFd, POLLIN, 0}};
  if (timerRunning_)
    timeoutMs = timeoutMs < 0 ? MsUntilTimer() : std::min(timeoutMs, MsUntilTimer());
  const int ready = ::poll(fds, 3, timeoutMs);
  return ready > 0 && extraFd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void MainLoop::StartTimer(std::chrono::milliseconds period) {
  timerRunning_ = true;
  period_ = period;
  due_ = std::chrono::steady_clock::now() + period;
}

void MainLoop::StopTimer() {
  timerRunning_ = false;
}

bool MainLoop::TimerDue() {
  if (!timerRunning_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < due_) return false;
  due_ = now + period_;
  return true;
}

int MainLoop::MsUntilTimer() const {
  if (!timerRunning_) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      due_ - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

}  // namespace quobble
