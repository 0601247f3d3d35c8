#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "platform/command_line.h"
#include "platform/stop_signals.h"
#include "ui/app.h"

namespace {

// Why no window could be opened, in one line.
std::string NoDisplayReason() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0'))
    return "no display is set (DISPLAY and WAYLAND_DISPLAY are empty)";
  return std::string("the display ") + (x11 != nullptr && *x11 != '\0' ? x11 : wayland) +
         " cannot be reached";
}

// While Qt reaches for the window system its own lines are held back: when
// that fails (Qt would abort), one line says why and the exit status is 1.
void StartupMessages(QtMsgType type, const QMessageLogContext&, const QString&) {
  if (type != QtFatalMsg) return;
  std::fprintf(stderr,
               "quobble: cannot open a window: %s; run it in a desktop session, or use "
               "quobble-cli in a terminal\n",
               NoDisplayReason().c_str());
  std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  // Before the QApplication: --help and --version need no display.
  quobble::AppOptions options;
  if (const int code = quobble::ParseAppArguments(quobble::ArgumentList(argc, argv), options,
                                                  std::cout, std::cerr);
      code >= 0)
    return code;
  if (!quobble::InstallStopSignals()) std::cerr << "quobble: cannot catch SIGINT and SIGTERM\n";

  const QtMessageHandler previous = qInstallMessageHandler(&StartupMessages);
  QApplication app(argc, argv);
  qInstallMessageHandler(previous);
  QApplication::setApplicationName(QStringLiteral("quobble"));
  const int code = quobble::RunApplication(app, options);
  // Ended by a signal: say so the way shells expect.
  return quobble::StopSignal() != 0 ? 128 + quobble::StopSignal() : code;
}
