// Renders the desktop window after a search on the built-in catalogue into a
// PNG, for the README: quobble-screenshot OUT.png [QUERY]
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListView>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <iostream>

#include "platform/command_line.h"
#include "search/commands.h"
#include "startup/client_start.h"
#include "ui/fonts.h"
#include "ui/main_frame.h"
#include "ui/process_events.h"
#include "ui/qt_text.h"
#include "ui/search_view.h"

int main(int argc, char** argv) {
  const quobble::ProgramHelp program{
      "quobble-screenshot", "Usage: quobble-screenshot OUT.png [QUERY]",
      "Renders the window after a search for QUERY (default 마우스) on the built-in\n"
      "catalogue into OUT.png.",
      ""};
  const quobble::ParsedCommandLine parsed = quobble::ParseCommandLine(
      program, {}, quobble::ArgumentList(argc, argv), std::cout, std::cerr);
  if (!parsed.run) return parsed.exitCode;
  if (parsed.operands.empty() || parsed.operands.size() > 2) {
    std::cerr << "quobble-screenshot: give OUT.png and at most one QUERY\n";
    return 2;
  }
  QApplication app(argc, argv);
  const QString out = QString::fromStdString(parsed.operands[0]);
  const QString query = QString::fromStdString(parsed.operands.size() > 1 ? parsed.operands[1]
                                                                          : std::string("마우스"));

  QTemporaryDir root;
  quobble::ClientSettings settings;
  settings.root = root.path().toStdString();
  const quobble::ClientStart start = quobble::StartClient(settings);
  if (!root.isValid() || !start.rootUsable || start.endpoint.empty()) {
    std::fprintf(stderr, "quobble-screenshot: no temporary folder or no service: %s\n",
                 start.serviceProblem.c_str());
    return 1;
  }
  quobble::InstallFontSubstitutions();

  int code = 0;
  {
    quobble::MainFrame frame;
    frame.SetQuitHandler([](int) {});
    frame.show();
    quobble::ProcessEventsFor(100);
    quobble::SearchView& view = *frame.View();
    view.QueryEdit()->setText(query);
    view.OnCommand(quobble::ID_SEARCH, 0, 0);
    // Until every thumbnail is in and the progress bar is gone again.
    QElapsedTimer waited;
    waited.start();
    while ((view.List().Busy() || view.ProgressBar()->isVisible()) && waited.elapsed() < 20000)
      quobble::ProcessEventsFor(20);
    view.SearchButton()->setFocus();
    quobble::ProcessEventsFor(100);
    if (!frame.grab().save(out, "PNG")) {
      std::fprintf(stderr, "quobble-screenshot: cannot write %s\n", qPrintable(out));
      code = 1;
    }
  }
  return code;
}
