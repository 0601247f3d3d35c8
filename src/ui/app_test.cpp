#include "ui/app.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <sstream>

#include "tests/support/temp_root.h"
#include "ui/main_frame.h"
#include "ui/search_view.h"
#include "ui/single_instance.h"
#include "ui/ui_test_env.h"

namespace quobble {
namespace {

TEST(AppTest, ParsesItsOptions) {
  struct Case {
    std::vector<std::string> arguments;
    std::string endpoint, root;
    int code;
  };
  const std::vector<Case> cases = {
      {{}, "", "", -1},
      {{"--endpoint", "http://h:1", "--root", "/r"}, "http://h:1", "/r", -1},
      {{"--endpoint=http://h:2", "--root=/s"}, "http://h:2", "/s", -1},
      {{"stray", "--root", "/r"}, "", "/r", -1},
      {{"--root"}, "", "", 2},
      {{"--help"}, "", "", 0},
  };
  for (const Case& c : cases) {
    AppOptions options;
    std::ostringstream out, err;
    const std::string label = ::testing::PrintToString(c.arguments);
    EXPECT_EQ(ParseAppArguments(c.arguments, options, out, err), c.code) << label;
    EXPECT_EQ(options.client.endpoint, c.endpoint) << label;
    EXPECT_EQ(options.client.root, c.root) << label;
  }
  AppOptions options;
  std::ostringstream out, err;
  ASSERT_EQ(ParseAppArguments({"a", "b c"}, options, out, err), -1);
  EXPECT_EQ(options.commandLine, "a b c");
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
  const int code = RunApplication(*qApp, AppOptions());
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
