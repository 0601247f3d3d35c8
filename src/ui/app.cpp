#include "ui/app.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QSocketNotifier>
#include <cstdio>

#include "platform/command_line.h"
#include "platform/stop_signals.h"
#include "startup/client_start.h"
#include "ui/about_dialog.h"
#include "ui/fonts.h"
#include "ui/main_frame.h"
#include "ui/single_instance.h"

namespace quobble {

namespace {

const ProgramHelp kProgram{"quobble", "Usage: quobble [OPTIONS] [WORDS...]",
                           "The product search window. WORDS are searched at once; when a window\n"
                           "is already open, they are handed to it (and nothing else is), and it\n"
                           "comes to the front and searches them.",
                           ""};

void DressApplication(QApplication& app) {
  app.setQuitOnLastWindowClosed(false);
  QIcon icon;
  icon.addPixmap(AboutDialog::AppIcon(32));
  icon.addPixmap(AboutDialog::AppIcon(16));
  app.setWindowIcon(icon);
  InstallFontSubstitutions();
}

// What the user is told when no service could be had; empty when one is.
QString StartProblem(const ClientStart& start) {
  if (!start.endpoint.empty()) return {};
  return QStringLiteral(
             "No search service: %1. Start quobble with --endpoint URL to use another service.")
      .arg(QString::fromStdString(start.serviceProblem));
}

}  // namespace

int ParseAppArguments(const std::vector<std::string>& args, AppOptions& options, std::ostream& out,
                      std::ostream& err) {
  const ParsedCommandLine parsed =
      ParseCommandLine(kProgram, ClientOptionTable(options.client), args, out, err);
  if (!parsed.run) return parsed.exitCode;
  options.words.clear();
  for (const std::string& word : parsed.operands) {
    if (!options.words.empty()) options.words += ' ';
    options.words += word;
  }
  return -1;
}

int RunApplication(QApplication& app, const AppOptions& options) {
  SingleInstance instance(QStringLiteral("quobble"));
  const QString words = QString::fromStdString(options.words);
  const SingleInstance::Outcome outcome = instance.Check(words);
  if (const int code = SingleInstance::ExitCodeFor(outcome); code != -1) return code;
  DressApplication(app);

  // The catalogue (if any) outlives the frame, whose worker may use it.
  const ClientStart start = StartClient(options.client);
  if (!start.rootUsable)
    std::fprintf(stderr, "quobble: cannot use the folder %s; searches will fail\n",
                 start.root.c_str());
  if (!start.headersProblem.empty()) {
    std::fprintf(stderr, "quobble: %s\n", start.headersProblem.c_str());
    return 1;
  }
  for (const std::string& warning : start.warnings)
    std::fprintf(stderr, "quobble: warning: %s\n", warning.c_str());

  MainFrame frame;
  QObject::connect(&instance, &SingleInstance::WordsReceived, &frame,
                   &MainFrame::RaiseFromAnotherLaunch);
  // SIGINT or SIGTERM closes the window as "Exit" would: the worker stops,
  // and the instance lock and server are released on the way out.
  QSocketNotifier stopSignal(StopSignalFd(), QSocketNotifier::Read);
  stopSignal.setEnabled(StopSignalFd() >= 0);
  QObject::connect(&stopSignal, &QSocketNotifier::activated, &frame, [&] {
    stopSignal.setEnabled(false);
    frame.close();
  });
  frame.PlaceOnScreen();
  frame.show();
  if (const QString problem = StartProblem(start); !problem.isEmpty()) {
    std::fprintf(stderr, "quobble: %s\n", qPrintable(problem));
    QMessageBox::warning(&frame, QStringLiteral("Warning"), problem);
  }
  frame.SearchFor(words);
  return app.exec();
}

}  // namespace quobble
