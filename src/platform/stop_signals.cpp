#include "platform/stop_signals.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "platform/internet.h"

namespace quobble {

namespace {

std::atomic<int> stopSignal{0};
int signalFd = -1;

static_assert(std::atomic<int>::is_always_lock_free, "read and written from a signal handler");

// Only async-signal-safe steps: atomics, write(2), signal(2).
void OnStopSignal(int signal) {
  stopSignal.store(signal);
  InternetAbortAll();
  if (signalFd >= 0) {
    const uint64_t one = 1;
    (void)!::write(signalFd, &one, sizeof one);
  }
  // Asked twice: the user means it.
  ::signal(signal, SIG_DFL);
}

}  // namespace

bool InstallStopSignals() {
  if (signalFd < 0) signalFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (signalFd < 0) return false;
  struct sigaction action {};
  action.sa_handler = &OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking wait returns at once
  return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

int StopSignal() {
  return stopSignal.load();
}

int StopSignalFd() {
  return signalFd;
}

}  // namespace quobble
