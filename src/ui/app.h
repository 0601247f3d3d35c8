#pragma once
#include <ostream>
#include <string>
#include <vector>

#include "startup/client_options.h"

class QApplication;

namespace quobble {

struct AppOptions {
  ClientSettings client;  // --root, --endpoint, --header, --headers-file
  std::string words;      // the query: searched at start, or handed to a running window
};

// Parses the command line (program name excluded) before any window system
// is needed. -1 to go on; else the exit code: 0 after --help or --version
// (answered on `out`), 2 after a usage mistake (reported on `err`).
int ParseAppArguments(const std::vector<std::string>& args, AppOptions& options, std::ostream& out,
                      std::ostream& err);

// The whole life of the desktop app on an existing QApplication: instance
// check, device root, service endpoint, the frame and its event loop, and the
// orderly end. Returns the process exit code (1 at a normal end).
int RunApplication(QApplication& app, const AppOptions& options);

}  // namespace quobble
