// Renders the "Watched products" window of a device root into a PNG, for
// the README: quobble-watch-screenshot ROOT OUT.png
#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTableWidget>
#include <QThread>
#include <iostream>

#include "platform/device_fs.h"
#include "ui/fonts.h"
#include "ui/watch_window.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "Usage: quobble-watch-screenshot ROOT OUT.png\n";
    return 2;
  }
  QApplication app(argc, argv);
  quobble::InstallFontSubstitutions();
  if (!quobble::SetDeviceRoot(argv[1])) return 1;
  quobble::WatchWindow window;
  window.show();
  window.Table()->selectRow(0);
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 500) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return window.grab().save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
}
