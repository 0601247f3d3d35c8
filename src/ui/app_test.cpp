#include "ui/app.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
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

// The app's frame, once RunApplication has made it; else the app is ended.
MainFrame* RunningFrame() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* frame = qobject_cast<MainFrame*>(widget)) return frame;
  QCoreApplication::exit(99);
  return nullptr;
}

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
  // Only the words are the query, and only they go to a running window:
  // options (a --header's secret among them) never do.
  AppOptions options;
  std::ostringstream out, err;
  ASSERT_EQ(ParseAppArguments({"a", "--header", "X-Key: secret", "b c", "--root", "/r"}, options,
                              out, err),
            -1);
  EXPECT_EQ(options.words, "a b c");
}

// The whole life of the app in this process: start, a second launch bringing
// it forward, Ctrl+Q, and the exit code of a normal end.
TEST(AppTest, RunsUntilCtrlQAndEndsWithOne) {
  TempRoot root;
  ::setenv("QUOBBLE_ROOT", root.path().c_str(), 1);
  ::setenv("QUOBBLE_ENDPOINT", "http://127.0.0.1:9", 1);

  SingleInstance::Outcome secondLaunch = SingleInstance::Outcome::kFirst;
  bool sawFrame = false;
  QTimer::singleShot(100, [&] {
    MainFrame* frame = RunningFrame();
    if (!frame) return;
    sawFrame = frame->isVisible();
    SingleInstance second(QStringLiteral("quobble"));
    secondLaunch = second.Check(QString(), 1, 0);
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

// `quobble shoes` shows the results for shoes; a second launch's words are
// searched by the running window.
TEST(AppTest, WordsOnTheCommandLineAreSearched) {
  TempRoot root;
  ::setenv("QUOBBLE_ROOT", root.path().c_str(), 1);
  ::unsetenv("QUOBBLE_ENDPOINT");
  QString firstRange, firstTitle, secondTitle;
  QTimer::singleShot(0, [&] {
    MainFrame* frame = RunningFrame();
    if (!frame) return;
    SearchView& view = *frame->View();
    const auto rowsShown = [&] { return view.ListView()->model()->rowCount() > 0; };
    if (ProcessEventsUntil(rowsShown, 20000)) {
      firstRange = view.RangeLabel()->text();
      firstTitle = view.ListView()->model()->index(0, 0).data().toString();
    }
    // Whatever the next launch is, it hands over its words alone.
    view.SetRowCount(0);
    SingleInstance second(QStringLiteral("quobble"));
    if (second.Check(QStringLiteral("마우스"), 1, 0) == SingleInstance::Outcome::kOtherActivated &&
        ProcessEventsUntil(rowsShown, 20000))
      secondTitle = view.ListView()->model()->index(0, 0).data().toString();
    frame->close();
  });
  AppOptions options;
  options.words = "shoes";
  EXPECT_EQ(RunApplication(*qApp, options), 1);
  EXPECT_EQ(firstRange, QStringLiteral("1~11"));
  EXPECT_TRUE(firstTitle.contains(QStringLiteral("shoes"), Qt::CaseInsensitive))
      << firstTitle.toStdString();
  EXPECT_TRUE(secondTitle.contains(QStringLiteral("마우스"))) << secondTitle.toStdString();
  ::unsetenv("QUOBBLE_ROOT");
}

}  // namespace
}  // namespace quobble
