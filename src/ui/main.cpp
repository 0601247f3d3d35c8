#include <QApplication>
#include <iostream>

#include "platform/command_line.h"
#include "ui/app.h"

int main(int argc, char** argv) {
  // Before the QApplication: --help and --version need no display.
  quobble::AppOptions options;
  if (const int code = quobble::ParseAppArguments(quobble::ArgumentList(argc, argv), options,
                                                  std::cout, std::cerr);
      code >= 0)
    return code;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quobble"));
  return quobble::RunApplication(app, options);
}
