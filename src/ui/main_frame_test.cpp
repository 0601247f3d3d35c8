#include "ui/main_frame.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
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

TEST_F(MainFrameTest, EditingKeysDoNothingInTheQueryBox) {
  ShowActive();
  QLineEdit* edit = frame_->View()->QueryEdit();
  edit->setFocus();
  edit->setText(QStringLiteral("abc"));
  edit->selectAll();
  QApplication::clipboard()->setText(QStringLiteral("clip"));
  for (Qt::Key key :
       {Qt::Key_C, Qt::Key_X, Qt::Key_V, Qt::Key_Z, Qt::Key_N, Qt::Key_O, Qt::Key_S}) {
    QTest::keyClick(edit, key, Qt::ControlModifier);
    EXPECT_EQ(edit->text(), QStringLiteral("abc")) << key;
  }
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("clip"));
  // Other keys still type.
  QTest::keyClick(edit, Qt::Key_End);
  QTest::keyClick(edit, Qt::Key_D);
  EXPECT_EQ(edit->text(), QStringLiteral("abcd"));
  EXPECT_TRUE(frame_->isVisible());
  EXPECT_EQ(exitCode_, -1);
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
