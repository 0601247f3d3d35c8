#pragma once
#include <QString>
#include <ostream>

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace quobble {

// The widget tests' QApplication, made once before any test runs (offscreen
// unless told otherwise), with the runtime and settings folders pointed at a
// temporary folder of the run so that no test touches the user's own.
QString TestRunFolder();

// Runs the event loop for `ms` milliseconds.
void ProcessEventsFor(int ms);

// Runs the event loop until `done` holds or `timeoutMs` passes; returns done().
template <typename Done>
bool ProcessEventsUntil(Done done, int timeoutMs = 10000);

}  // namespace quobble

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

template <typename Done>
bool quobble::ProcessEventsUntil(Done done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}
