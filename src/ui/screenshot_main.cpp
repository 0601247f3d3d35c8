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

#include "catalogue/embedded_catalogue.h"
#include "platform/device_fs.h"
#include "platform/text.h"
#include "search/commands.h"
#include "search/search_state.h"
#include "ui/fonts.h"
#include "ui/main_frame.h"
#include "ui/qt_text.h"
#include "ui/search_view.h"

namespace {

void ProcessEventsFor(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: quobble-screenshot OUT.png [QUERY]\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  const QString query = argc > 2 ? QString::fromUtf8(argv[2]) : QStringLiteral("마우스");

  QTemporaryDir root;
  if (!root.isValid() || !quobble::SetDeviceRoot(root.path().toStdString())) {
    std::fprintf(stderr, "quobble-screenshot: no temporary folder\n");
    return 1;
  }
  std::string error;
  auto catalogue = quobble::EmbeddedCatalogue::Start({}, &error);
  if (!catalogue) {
    std::fprintf(stderr, "quobble-screenshot: catalogue: %s\n", error.c_str());
    return 1;
  }
  quobble::SetServiceEndpoint(quobble::Utf8ToUtf16(catalogue->Endpoint()));
  quobble::InstallFontSubstitutions();

  int code = 0;
  {
    quobble::MainFrame frame;
    frame.SetQuitHandler([](int) {});
    frame.show();
    ProcessEventsFor(100);
    quobble::SearchView& view = *frame.View();
    view.QueryEdit()->setText(query);
    view.OnCommand(quobble::ID_SEARCH, 0, 0);
    // Until every thumbnail is in and the progress bar is gone again.
    QElapsedTimer waited;
    waited.start();
    while ((view.List().Busy() || view.ProgressBar()->isVisible()) && waited.elapsed() < 20000)
      ProcessEventsFor(20);
    view.SearchButton()->setFocus();
    ProcessEventsFor(100);
    if (!frame.grab().save(out, "PNG")) {
      std::fprintf(stderr, "quobble-screenshot: cannot write %s\n", qPrintable(out));
      code = 1;
    }
  }
  return code;
}
