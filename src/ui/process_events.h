#pragma once
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace quobble {

// Runs the event loop for `ms` milliseconds.
void ProcessEventsFor(int ms);

// Runs the event loop until `done` holds or `timeoutMs` passes; returns done().
template <typename Done>
bool ProcessEventsUntil(Done done, int timeoutMs = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

}  // namespace quobble
