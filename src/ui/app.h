#pragma once
#include <QString>
#include <QStringList>
#include <optional>
#include <string>

class QApplication;

namespace quobble {

struct AppOptions {
  std::optional<std::string> endpoint;  // --endpoint URL
  std::optional<std::string> root;      // --root DIR
  bool help = false;
  QString error;        // a malformed option, for the user
  QString commandLine;  // what a running instance is handed
};

// `arguments` as QCoreApplication::arguments() gives them (program first).
AppOptions ParseArguments(const QStringList& arguments);

// The whole life of the desktop app on an existing QApplication: instance
// check, device root, service endpoint, the frame and its event loop, and the
// orderly end. Returns the process exit code (1 at a normal end).
int RunApplication(QApplication& app);

}  // namespace quobble
