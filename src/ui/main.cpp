#include <QApplication>

#include "ui/app.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quobble"));
  return quobble::RunApplication(app);
}
