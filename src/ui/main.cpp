#include <QApplication>
#include <iostream>

#include "platform/command_line.h"
#include "platform/stop_signals.h"
#include "ui/app.h"

int main(int argc, char** argv) {
  // Before the QApplication: --help and --version need no display.
  quobble::AppOptions options;
  if (const int code = quobble::ParseAppArguments(quobble::ArgumentList(argc, argv), options,
                                                  std::cout, std::cerr);
      code >= 0)
    return code;
  if (!quobble::InstallStopSignals()) std::cerr << "quobble: cannot catch SIGINT and SIGTERM\n";
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quobble"));
  const int code = quobble::RunApplication(app, options);
  // Ended by a signal: say so the way shells expect.
  return quobble::StopSignal() != 0 ? 128 + quobble::StopSignal() : code;
}
