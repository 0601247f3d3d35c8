#include "ui/app.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <cstdio>
#include <memory>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "search/search_state.h"
#include "ui/about_dialog.h"
#include "ui/fonts.h"
#include "ui/main_frame.h"
#include "ui/single_instance.h"

#ifdef QUOBBLE_HAVE_CATALOGUE
#include "catalogue/embedded_catalogue.h"
#endif

namespace quobble {

namespace {

constexpr char kUsage[] =
    "usage: quobble [--endpoint URL] [--root DIR]\n"
    "  --endpoint URL  the shopping search service (scheme://host[:port]);\n"
    "                  default: QUOBBLE_ENDPOINT, else the built-in catalogue\n"
    "  --root DIR      the device folder for answers, thumbnails and the wish list;\n"
    "                  default: QUOBBLE_ROOT, else ~/.local/share/quobble\n";

}  // namespace

AppOptions ParseArguments(const QStringList& arguments) {
  AppOptions options;
  for (int i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    std::optional<std::string>* target = nullptr;
    QString name;
    for (const char* option : {"--endpoint", "--root"}) {
      const QString flag = QString::fromLatin1(option);
      if (argument == flag || argument.startsWith(flag + QLatin1Char('='))) {
        target = flag == QLatin1String("--endpoint") ? &options.endpoint : &options.root;
        name = flag;
      }
    }
    if (target) {
      QString value;
      if (argument.size() > name.size()) {
        value = argument.mid(name.size() + 1);
      } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
      } else {
        options.error = name + QStringLiteral(" needs a value");
        continue;
      }
      *target = value.toStdString();
      continue;
    }
    if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
      options.help = true;
      continue;
    }
  }
  options.commandLine = arguments.mid(1).join(QLatin1Char(' '));
  return options;
}

int RunApplication(QApplication& app) {
  const AppOptions options = ParseArguments(QCoreApplication::arguments());
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!options.error.isEmpty()) {
    std::fprintf(stderr, "quobble: %s\n%s", qPrintable(options.error), kUsage);
    return 2;
  }

  SingleInstance instance(QStringLiteral("quobble"));
  const SingleInstance::Outcome outcome = instance.Check(options.commandLine);
  if (const int code = SingleInstance::ExitCodeFor(outcome); code != -1) return code;

  app.setQuitOnLastWindowClosed(false);
  QIcon icon;
  icon.addPixmap(AboutDialog::AppIcon(32));
  icon.addPixmap(AboutDialog::AppIcon(16));
  app.setWindowIcon(icon);
  InstallFontSubstitutions();

  const std::string root = ResolveDeviceRoot(options.root ? options.root->c_str() : nullptr);
  if (!SetDeviceRoot(root)) {
    std::fprintf(stderr, "quobble: cannot use the folder %s; searches will fail\n", root.c_str());
  }

#ifdef QUOBBLE_HAVE_CATALOGUE
  std::unique_ptr<EmbeddedCatalogue> catalogue;
#endif
  std::string endpoint = ConfiguredEndpoint(options.endpoint ? options.endpoint->c_str() : nullptr);
  QString startProblem;
  if (endpoint.empty()) {
#ifdef QUOBBLE_HAVE_CATALOGUE
    std::string error;
    catalogue = EmbeddedCatalogue::Start({}, &error);
    if (catalogue) {
      endpoint = catalogue->Endpoint();
    } else {
      startProblem = QStringLiteral(
                         "The built-in catalogue could not start (%1). Start quobble "
                         "with --endpoint URL to use another service.")
                         .arg(QString::fromStdString(error));
    }
#else
    startProblem = QStringLiteral("No service is configured: start quobble with --endpoint URL.");
#endif
  }
  SetServiceEndpoint(Utf8ToUtf16(endpoint));

  int code = 0;
  {
    MainFrame frame;
    QObject::connect(&instance, &SingleInstance::CommandLineReceived, &frame,
                     &MainFrame::RaiseFromAnotherLaunch);
    frame.show();
    if (!startProblem.isEmpty()) {
      std::fprintf(stderr, "quobble: %s\n", qPrintable(startProblem));
      QMessageBox::warning(&frame, QStringLiteral("Warning"), startProblem);
    }
    code = app.exec();
    // The frame goes (its worker stopped) before the catalogue it may use.
  }
  return code;
}

}  // namespace quobble
