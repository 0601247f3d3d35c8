#include "ui/main_frame.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include "search/commands.h"
#include "tests/support/temp_root.h"
#include "ui/about_dialog.h"
#include "ui/search_view.h"
#include "ui/ui_test_env.h"

namespace quobble {
namespace {

class MainFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    frame_ = std::make_unique<MainFrame>();
    frame_->SetQuitHandler([this](int code) { exitCode_ = code; });
  }
  void TearDown() override { frame_.reset(); }

  void OpenMenu() { emit frame_->OptionMenu()->aboutToShow(); }
  bool Checked(int id) { return frame_->MenuAction(id)->isChecked(); }
  std::vector<int> CheckedIds() {
    std::vector<int> ids;
    for (int id : {ID_SORT_SIM, ID_SORT_DATE, ID_SORT_DSC, ID_SORT_ASC, ID_DISPLAY_10,
                   ID_DISPLAY_30, ID_DISPLAY_50, ID_DISPLAY_75, ID_DISPLAY_100})
      if (Checked(id)) ids.push_back(id);
    return ids;
  }
  void ShowActive() {
    frame_->show();
    frame_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame_.get()));
  }

  TempRoot root_;
  std::unique_ptr<MainFrame> frame_;
  int exitCode_ = -1;
};

TEST_F(MainFrameTest, FrameHoldsTheScreenAboveTheSoftKeys) {
  EXPECT_EQ(frame_->size(), QSize(480, 640));
  EXPECT_EQ(frame_->windowTitle(), QStringLiteral("quobble"));
  EXPECT_EQ(frame_->View()->geometry(), QRect(0, 0, 480, 588));
  EXPECT_EQ(frame_->ActionKey()->text(), QStringLiteral("Action"));
  EXPECT_EQ(frame_->MenuKey()->text(), QStringLiteral("Menu"));
  frame_->show();
  EXPECT_GE(frame_->MenuKey()->mapTo(frame_.get(), QPoint(0, 0)).y(), 588);
  EXPECT_LT(frame_->ActionKey()->mapTo(frame_.get(), QPoint(0, 0)).x(),
            frame_->MenuKey()->mapTo(frame_.get(), QPoint(0, 0)).x());
}

TEST_F(MainFrameTest, OptionMenuItemsInOrder) {
  QMenu* option = frame_->OptionMenu();
  EXPECT_EQ(option->title(), QStringLiteral("Option"));
  QStringList top;
  for (QAction* action : option->actions())
    top << (action->isSeparator() ? QStringLiteral("-") : action->text());
  EXPECT_EQ(top, (QStringList{"Sort", "Display", "Add to Wish List", "Show Wish List",
                              "Watch this product", "Watched products", "-", "About", "Exit"}));

  const auto items = [](QMenu* menu) {
    std::vector<std::pair<QString, int>> out;
    for (QAction* action : menu->actions()) {
      EXPECT_TRUE(action->isEnabled());
      EXPECT_TRUE(action->isCheckable());
      EXPECT_EQ(action->actionGroup(), nullptr);
      out.emplace_back(action->text(), action->data().toInt());
    }
    return out;
  };
  EXPECT_EQ(items(option->actions()[0]->menu()),
            (std::vector<std::pair<QString, int>>{{"Similarity", ID_SORT_SIM},
                                                  {"Update", ID_SORT_DATE},
                                                  {"High Price", ID_SORT_DSC},
                                                  {"Low Price", ID_SORT_ASC}}));
  EXPECT_EQ(items(option->actions()[1]->menu()),
            (std::vector<std::pair<QString, int>>{{"10", ID_DISPLAY_10},
                                                  {"30", ID_DISPLAY_30},
                                                  {"50", ID_DISPLAY_50},
                                                  {"75", ID_DISPLAY_75},
                                                  {"100", ID_DISPLAY_100}}));
}

TEST_F(MainFrameTest, CheckMarksMoveWhenTheMenuOpens) {
  EXPECT_TRUE(CheckedIds().empty());
  OpenMenu();
  EXPECT_EQ(CheckedIds(), (std::vector<int>{ID_SORT_SIM, ID_DISPLAY_10}));

  frame_->MenuAction(ID_SORT_DSC)->trigger();
  EXPECT_EQ(frame_->View()->State().sortKey, u"dsc");
  // Nothing moves until the menu opens again.
  EXPECT_EQ(CheckedIds(), (std::vector<int>{ID_SORT_SIM, ID_DISPLAY_10}));
  OpenMenu();
  EXPECT_EQ(CheckedIds(), (std::vector<int>{ID_SORT_DSC, ID_DISPLAY_10}));

  frame_->MenuAction(ID_DISPLAY_30)->trigger();
  OpenMenu();
  EXPECT_EQ(frame_->View()->State().pageSize, 30);
  EXPECT_EQ(CheckedIds(), (std::vector<int>{ID_SORT_DSC, ID_DISPLAY_30}));

  // Choosing the marked item changes no mark, before or after opening.
  frame_->MenuAction(ID_DISPLAY_30)->trigger();
  EXPECT_EQ(CheckedIds(), (std::vector<int>{ID_SORT_DSC, ID_DISPLAY_30}));
  OpenMenu();
  EXPECT_EQ(CheckedIds(), (std::vector<int>{ID_SORT_DSC, ID_DISPLAY_30}));
  // No choice starts a search.
  EXPECT_EQ(frame_->View()->State().pendingCommand, 0);
}

// In the query box cut, copy, paste and undo work as in any text box; the
// frame's own keys (Ctrl+N, O, S) still do nothing there.
TEST_F(MainFrameTest, EditingKeysWorkInTheQueryBox) {
  ShowActive();
  QLineEdit* edit = frame_->View()->QueryEdit();
  edit->setFocus();
  edit->setText(QStringLiteral("abc"));
  for (Qt::Key key : {Qt::Key_N, Qt::Key_O, Qt::Key_S}) {
    QTest::keyClick(edit, key, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), QStringLiteral("abc")) << key;
  }
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("abc"));
  QTest::keyClick(edit, Qt::Key_End);
  QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(edit->text(), QStringLiteral("abcabc"));
  QTest::keyClick(edit, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(edit->text(), QStringLiteral("abc"));
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(edit->text(), QString());
  EXPECT_TRUE(frame_->isVisible());
  EXPECT_EQ(exitCode_, -1);

  // Outside a text box they stay the frame's, and do nothing.
  QApplication::clipboard()->setText(QStringLiteral("clip"));
  frame_->View()->ListView()->setFocus();
  QTest::keyClick(frame_->View()->ListView(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("clip"));
}

// F10, the Menu key and Shift+F10 open the soft key's menu, whose items the
// arrow keys and Enter then reach.
TEST_F(MainFrameTest, MenuKeysOpenTheOptionMenu) {
  for (const QKeyCombination key : {QKeyCombination(Qt::Key_Menu), QKeyCombination(Qt::Key_F10),
                                    QKeyCombination(Qt::ShiftModifier, Qt::Key_F10)}) {
    SCOPED_TRACE(QKeySequence(key).toString().toStdString());
    ShowActive();
    QTest::keyClick(frame_->View()->QueryEdit(), key.key(), key.keyboardModifiers());
    ASSERT_TRUE(ProcessEventsUntil([&] { return frame_->OptionMenu()->isVisible(); }));
    EXPECT_EQ(frame_->OptionMenu()->activeAction(), frame_->OptionMenu()->actions().first());
    QTest::keyClick(frame_->OptionMenu(), Qt::Key_Escape);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !frame_->OptionMenu()->isVisible(); }));
  }
  // "Sort" (in hand), into it, down to "Update", chosen.
  ShowActive();
  QTest::keyClick(frame_->View()->ListView(), Qt::Key_F10);
  ASSERT_TRUE(ProcessEventsUntil([&] { return frame_->OptionMenu()->isVisible(); }));
  QTest::keyClick(frame_->OptionMenu(), Qt::Key_Right);
  QMenu* sort = frame_->OptionMenu()->actions().first()->menu();
  ASSERT_TRUE(ProcessEventsUntil([&] { return sort->isVisible(); }));
  QTest::keyClick(sort, Qt::Key_Down);
  QTest::keyClick(sort, Qt::Key_Return);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !frame_->OptionMenu()->isVisible(); }));
  EXPECT_EQ(frame_->View()->State().sortKey, u"date");
}

// The window comes back at the size and place it had; it never opens larger
// than its screen.
TEST_F(MainFrameTest, TheWindowKeepsItsSizeAndFitsItsScreen) {
  const QRect room = frame_->screen()->availableGeometry();
  frame_->PlaceOnScreen();
  EXPECT_LE(frame_->height(), room.height());
  EXPECT_EQ(frame_->width(), 480);

  frame_->resize(560, 420);
  frame_->move(room.topLeft() + QPoint(30, 20));
  frame_->show();
  const QPoint placed = frame_->pos();
  frame_->close();
  MainFrame again;
  again.SetQuitHandler([](int) {});
  again.PlaceOnScreen();
  again.show();
  EXPECT_EQ(again.size(), QSize(560, 420));
  EXPECT_EQ(again.pos(), placed);
  // The soft keys span the window.
  EXPECT_GE(again.MenuKey()->mapTo(&again, QPoint(again.MenuKey()->width(), 0)).x(), 550);
}

TEST_F(MainFrameTest, CtrlQAndExitEndWithCodeOne) {
  ShowActive();
  QTest::keyClick(frame_->View()->QueryEdit(), Qt::Key_Q, Qt::ControlModifier);
  ASSERT_TRUE(ProcessEventsUntil([&] { return exitCode_ != -1; }));
  EXPECT_EQ(exitCode_, 1);
  EXPECT_FALSE(frame_->isVisible());

  exitCode_ = -1;
  ShowActive();
  frame_->MenuAction(ID_EXIT)->trigger();
  EXPECT_EQ(exitCode_, -1);  // posted, not at once
  ASSERT_TRUE(ProcessEventsUntil([&] { return exitCode_ != -1; }));
  EXPECT_EQ(exitCode_, 1);
}

TEST_F(MainFrameTest, AboutShowsItsTextsAndEndsWithOk) {
  frame_->show();
  bool inspected = false;
  QTimer::singleShot(0, [&] {
    auto* about = qobject_cast<AboutDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(about, nullptr);
    inspected = true;
    EXPECT_EQ(about->windowTitle(), QStringLiteral("About quobble"));
    EXPECT_EQ(about->VersionLabel()->text(), QStringLiteral("quobble v1.0"));
    EXPECT_FALSE(about->NoticeLabel()->text().isEmpty());
    EXPECT_EQ(about->BannerLabel()->pixmap().size(), QSize(283, 57));
    EXPECT_EQ(about->IconLabel()->pixmap().size(), QSize(32, 32));
    EXPECT_EQ(about->StripHeight(), (about->logicalDpiY() + 2) * 24 / 96);
    // Every control sits below the title strip.
    EXPECT_GE(about->VersionLabel()->y(), about->StripHeight());
    EXPECT_EQ(about->size(), frame_->size());
    about->OkButton()->click();
  });
  frame_->OnCommand(ID_ABOUT);
  EXPECT_TRUE(inspected);

  AboutDialog cancelled(frame_.get());
  QTimer::singleShot(0, &cancelled, [&] { cancelled.reject(); });
  EXPECT_EQ(cancelled.exec(), 2);
}

TEST_F(MainFrameTest, SettingsKeyExistsAndStaysEmpty) {
  QSettings settings(QStringLiteral("WTL"), QStringLiteral("Quobble"));
  const QFileInfo file(settings.fileName());
  EXPECT_TRUE(file.exists());
  EXPECT_EQ(file.size(), 0);
  EXPECT_TRUE(settings.allKeys().isEmpty());
  frame_->MenuAction(ID_SORT_DSC)->trigger();
  frame_->close();
  EXPECT_EQ(QFileInfo(settings.fileName()).size(), 0);
}

}  // namespace
}  // namespace quobble
