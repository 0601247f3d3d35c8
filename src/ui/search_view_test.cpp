#include "ui/search_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QImage>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTimer>
#include <set>

#include "catalogue/embedded_catalogue.h"
#include "platform/text.h"
#include "search/commands.h"
#include "tests/support/temp_root.h"
#include "ui/ui_test_env.h"

namespace quobble {
namespace {

constexpr char16_t kQuery[] = u"마우스";

class SearchViewTest : public ::testing::Test {
 protected:
  void SetUp() override { view_ = std::make_unique<SearchView>(QRect(0, 0, 480, 588)); }

  void StartCatalogue(int imageDelayMs = 0) {
    CatalogueOptions options;
    options.imageDelayMs = imageDelayMs;
    std::string error;
    catalogue_ = EmbeddedCatalogue::Start(options, &error);
    ASSERT_NE(catalogue_, nullptr) << error;
    SetServiceEndpoint(Utf8ToUtf16(catalogue_->Endpoint()));
  }

  void Type(const QString& text) {
    QInputMethodEvent commit;
    commit.setCommitString(text);
    QApplication::sendEvent(view_->QueryEdit(), &commit);
  }

  TempRoot root_;
  std::unique_ptr<EmbeddedCatalogue> catalogue_;
  // Goes before the catalogue, as in the app.
  std::unique_ptr<SearchView> view_;

  void TearDown() override {
    view_.reset();
    catalogue_.reset();
  }
};

TEST_F(SearchViewTest, ControlsSitWhereTheScreenPutsThem) {
  struct Expected {
    QWidget* widget;
    QRect geometry;
    QString text;
    int id;
  };
  SearchView& v = *view_;
  const std::vector<Expected> table = {
      {v.QueryEdit(), QRect(10, 50, 300, 50), "", ID_QUERY_EDIT},
      {v.SearchButton(), QRect(320, 50, 150, 50), "search", ID_SEARCH},
      {v.CountCaption(), QRect(10, 110, 220, 30), "Search Total Count :", -1},
      {v.TotalLabel(), QRect(232, 110, 100, 30), "", -1},
      {v.RangeCaption(), QRect(10, 150, 170, 30), "Display Range :", -1},
      {v.RangeLabel(), QRect(182, 150, 135, 30), "", -1},
      {v.NextButton(), QRect(400, 142, 70, 40), "->", ID_NEXT_PAGE},
      {v.PreviousButton(), QRect(320, 142, 70, 40), "<-", ID_PREV_PAGE},
      {v.ProgressBar(), QRect(0, 185, 480, 15), "", ID_PROGRESS},
      {v.TitleLabel(), QRect(10, 10, 460, 30), "quobble - chip product search", -1},
      {v.ListView(), QRect(0, 200, 480, 388), "", 0},
  };
  for (const Expected& e : table) {
    SCOPED_TRACE(e.widget->metaObject()->className() + std::string(" ") + e.text.toStdString());
    EXPECT_EQ(e.widget->geometry(), e.geometry);
    if (auto* label = qobject_cast<QLabel*>(e.widget)) {
      EXPECT_EQ(label->text(), e.text);
    }
    if (auto* button = qobject_cast<QPushButton*>(e.widget)) {
      EXPECT_EQ(button->text(), e.text);
      EXPECT_EQ(button->font().pixelSize(), 20);
      EXPECT_EQ(button->font().weight(), 600);
      EXPECT_EQ(QFontInfo(button->font()).family(), QStringLiteral("NanumGothic"));
    }
    if (e.id != -1) {
      EXPECT_EQ(e.widget->property("controlId").toInt(), e.id);
    }
  }
  EXPECT_EQ(v.QueryEdit()->maxLength(), 30);
  EXPECT_EQ(v.ListView()->selectionMode(), QAbstractItemView::ExtendedSelection);
  EXPECT_EQ(v.ListView()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(v.ProgressBar()->minimum(), 0);
  EXPECT_EQ(v.ProgressBar()->maximum(), 100);

  // Resizing the screen moves nothing.
  view_->resize(600, 800);
  EXPECT_EQ(v.ListView()->geometry(), QRect(0, 200, 480, 388));
}

TEST_F(SearchViewTest, BeforeAnySearchPagingIsOffAndProgressHidden) {
  EXPECT_FALSE(view_->PreviousButton()->isEnabled());
  EXPECT_FALSE(view_->NextButton()->isEnabled());
  EXPECT_TRUE(view_->ProgressBar()->isHidden());
  EXPECT_EQ(view_->ListView()->model()->rowCount(), 0);
  EXPECT_EQ(view_->OnCommand(4242, 0, 0), 0);
}

TEST_F(SearchViewTest, QueryBoxRefusesThe31stCharacterAndEmptiesOnFocus) {
  view_->show();
  Type(QString(31, QChar(0xAC00)));
  EXPECT_EQ(view_->QueryEdit()->text(), QString(30, QChar(0xAC00)));
  EXPECT_EQ(view_->ReadQuery(), std::u16string(30, u'\xAC00'));

  // Leaving the box keeps its text; coming back empties it.
  view_->SearchButton()->setFocus(Qt::TabFocusReason);
  QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
  QApplication::sendEvent(view_->QueryEdit(), &out);
  EXPECT_EQ(view_->QueryEdit()->text().size(), 30);
  QFocusEvent in(QEvent::FocusIn, Qt::MouseFocusReason);
  QApplication::sendEvent(view_->QueryEdit(), &in);
  EXPECT_TRUE(view_->QueryEdit()->text().isEmpty());

  // A menu closing hands the focus back without emptying the box.
  Type(QStringLiteral("abc"));
  QFocusEvent back(QEvent::FocusIn, Qt::PopupFocusReason);
  QApplication::sendEvent(view_->QueryEdit(), &back);
  EXPECT_EQ(view_->QueryEdit()->text(), QStringLiteral("abc"));
}

TEST_F(SearchViewTest, SearchFillsTheListAndProgressComesAndGoes) {
  StartCatalogue(/*imageDelayMs=*/30);
  view_->show();
  view_->QueryEdit()->setText(QString::fromUtf16(kQuery));

  std::set<int> progressSeen;
  bool shown = false;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    if (view_->ProgressBar()->isVisible()) {
      shown = true;
      progressSeen.insert(view_->ProgressBar()->value());
    }
  });
  probe.start(1);

  EXPECT_EQ(view_->OnCommand(ID_SEARCH, 0, 0), 0);
  EXPECT_EQ(view_->ListView()->model()->rowCount(), 10);
  EXPECT_EQ(view_->List().RecordCount(), 10u);
  EXPECT_FALSE(view_->TotalLabel()->text().isEmpty());
  EXPECT_EQ(view_->RangeLabel()->text(), QStringLiteral("1~11"));
  EXPECT_TRUE(view_->NextButton()->isEnabled());
  EXPECT_FALSE(view_->PreviousButton()->isEnabled());
  EXPECT_NE(view_->TitleLabel()->text(), QStringLiteral("quobble - chip product search"));

  ASSERT_TRUE(ProcessEventsUntil([&] { return shown && !view_->List().Busy(); }, 20000));
  ASSERT_TRUE(ProcessEventsUntil([&] { return view_->ProgressBar()->isHidden(); }));
  probe.stop();
  EXPECT_EQ(view_->ProgressBar()->value(), 0);
  EXPECT_GE(progressSeen.size(), 2u);
  EXPECT_LT(*progressSeen.begin(), 100);

  // Every thumbnail has arrived, and the rows on show have decoded theirs.
  for (size_t i = 0; i < view_->List().RecordCount(); ++i)
    EXPECT_FALSE(view_->List().RecordAt(i)->ThumbPath().empty()) << i;
  // The first row, painted through the list's own delegate.
  QImage row(448, 122, QImage::Format_ARGB32_Premultiplied);
  QPainter painter(&row);
  QStyleOptionViewItem option;
  option.initFrom(view_->ListView()->viewport());
  option.rect = QRect(0, 0, 448, 122);
  view_->ListView()->itemDelegate()->paint(&painter, option,
                                           view_->ListView()->model()->index(0, 0));
  painter.end();
  EXPECT_NE(view_->List().RecordAt(0)->image, nullptr);

  // "->" pages on from the last answer (the box may have been emptied by
  // the window taking the focus meanwhile).
  view_->QueryEdit()->setText(QString::fromUtf16(kQuery));
  view_->OnCommand(ID_NEXT_PAGE, 0, 0);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !view_->List().Busy(); }, 20000));
  EXPECT_EQ(view_->RangeLabel()->text(), QStringLiteral("11~21"));
  EXPECT_TRUE(view_->PreviousButton()->isEnabled());

  // Enter in the box searches as the button does, from the first result.
  view_->QueryEdit()->setText(QString::fromUtf16(kQuery));
  QTest::keyClick(view_->QueryEdit(), Qt::Key_Return);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !view_->List().Busy(); }, 20000));
  EXPECT_EQ(view_->RangeLabel()->text(), QStringLiteral("1~11"));
}

TEST_F(SearchViewTest, ClosingDuringAThumbnailDownloadIsPrompt) {
  StartCatalogue(/*imageDelayMs=*/5000);
  view_->QueryEdit()->setText(QString::fromUtf16(kQuery));
  ASSERT_EQ(view_->OnCommand(ID_SEARCH, 0, 0), 0);
  ASSERT_TRUE(view_->List().Busy());
  ProcessEventsFor(100);
  QElapsedTimer timer;
  timer.start();
  view_.reset();
  EXPECT_LT(timer.elapsed(), 1000);
}

TEST_F(SearchViewTest, ClosingWhileTheWorkerWaitsOnAMessageBoxDoesNotHang) {
  // An image address nobody answers: the worker's download fails and it
  // waits on the UI thread for its message box.
  auto record = std::make_unique<ProductRecord>();
  record->imageUrl = u"http://127.0.0.1:1/a/b/c/d/e.jpg";
  view_->List().AppendRecord(std::move(record));
  ASSERT_TRUE(view_->List().StartThumbnailFetch());

  bool closedInside = false;
  qint64 shutdownMs = -1;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || closedInside) return;
    closedInside = true;
    QElapsedTimer timer;
    timer.start();
    view_->Shutdown();  // the window closing under the box
    shutdownMs = timer.elapsed();
    box->done(QMessageBox::Ok);
  });
  watcher.start(5);
  ASSERT_TRUE(ProcessEventsUntil([&] { return closedInside; }, 15000));
  watcher.stop();
  EXPECT_GE(shutdownMs, 0);
  EXPECT_LT(shutdownMs, 1000);
  EXPECT_FALSE(view_->List().Busy());
}

TEST_F(SearchViewTest, RowWithoutARecordIsReportedOncePerPage) {
  view_->show();
  int boxes = 0;
  QString text;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ++boxes;
      text = box->windowTitle() + QStringLiteral(": ") + box->text();
      box->done(QMessageBox::Ok);
    }
  });
  closer.start(5);
  view_->SetRowCount(2);  // rows the page has no records for
  for (int i = 0; i < 5; ++i) {
    view_->ListView()->viewport()->repaint();
    ProcessEventsFor(40);
  }
  EXPECT_EQ(boxes, 1);
  EXPECT_EQ(text, QStringLiteral("에러: 상품 데이터가 잘못 되었습니다."));
  view_->SetRowCount(1);
  ASSERT_TRUE(ProcessEventsUntil([&] { return boxes == 2; }, 3000));
}

}  // namespace
}  // namespace quobble
