#include "ui/app.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <cstdlib>

#include "tests/support/temp_root.h"
#include "ui/main_frame.h"
#include "ui/search_view.h"
#include "ui/single_instance.h"
#include "ui/ui_test_env.h"

namespace quobble {
namespace {

TEST(AppTest, ParsesItsOptions) {
  struct Case {
    QStringList arguments;
    std::optional<std::string> endpoint, root;
    bool error;
  };
  const std::vector<Case> cases = {
      {{"quobble"}, {}, {}, false},
      {{"quobble", "--endpoint", "http://h:1", "--root", "/r"}, "http://h:1", "/r", false},
      {{"quobble", "--endpoint=http://h:2", "--root=/s"}, "http://h:2", "/s", false},
      {{"quobble", "stray", "--root", "/r"}, {}, "/r", false},
      {{"quobble", "--root"}, {}, {}, true},
  };
  for (const Case& c : cases) {
    const AppOptions options = ParseArguments(c.arguments);
    EXPECT_EQ(options.endpoint, c.endpoint) << c.arguments.join(' ').toStdString();
    EXPECT_EQ(options.root, c.root) << c.arguments.join(' ').toStdString();
    EXPECT_EQ(!options.error.isEmpty(), c.error) << c.arguments.join(' ').toStdString();
  }
  EXPECT_EQ(ParseArguments({"quobble", "a", "b c"}).commandLine, QStringLiteral("a b c"));
  EXPECT_TRUE(ParseArguments({"quobble", "--help"}).help);
}

// The whole life of the app in this process: start, a second launch handing
// over its command line, Ctrl+Q, and the exit code of a normal end.
TEST(AppTest, RunsUntilCtrlQAndEndsWithOne) {
  TempRoot root;
  ::setenv("QUOBBLE_ROOT", root.path().c_str(), 1);
  ::setenv("QUOBBLE_ENDPOINT", "http://127.0.0.1:9", 1);

  SingleInstance::Outcome secondLaunch = SingleInstance::Outcome::kFirst;
  bool sawFrame = false;
  QTimer::singleShot(100, [&] {
    MainFrame* frame = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (auto* candidate = qobject_cast<MainFrame*>(widget)) frame = candidate;
    if (!frame) {
      QCoreApplication::exit(99);
      return;
    }
    sawFrame = frame->isVisible();
    SingleInstance second(QStringLiteral("quobble"));
    secondLaunch = second.Check(QStringLiteral("again"), 1, 0);
    frame->activateWindow();
    QTest::keyClick(frame->View()->QueryEdit(), Qt::Key_Q, Qt::ControlModifier);
  });
  const int code = RunApplication(*qApp);
  EXPECT_EQ(code, 1);
  EXPECT_TRUE(sawFrame);
  EXPECT_EQ(secondLaunch, SingleInstance::Outcome::kOtherActivated);

  // The lock is free again for the next start.
  SingleInstance next(QStringLiteral("quobble"));
  EXPECT_EQ(next.Check(QString(), 1, 0), SingleInstance::Outcome::kFirst);
  ::unsetenv("QUOBBLE_ROOT");
  ::unsetenv("QUOBBLE_ENDPOINT");
}

}  // namespace
}  // namespace quobble
