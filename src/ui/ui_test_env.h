#pragma once
#include <QString>
#include <ostream>

#include "ui/process_events.h"

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace quobble {

// The widget tests' QApplication, made once before any test runs (offscreen
// unless told otherwise), with the runtime, settings and state folders
// pointed at a temporary folder of the run so that no test touches the
// user's own.
QString TestRunFolder();

}  // namespace quobble
