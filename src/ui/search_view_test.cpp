#include "ui/search_view.h"

#include <gtest/gtest.h>

#include <QAccessible>
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
#include "search/search_state.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_data.h"
#include "tests/support/test_http_server.h"
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

  void ShowActive() {
    view_->show();
    view_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view_.get()));
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
}

// Extra width goes to the query box and the list, extra height to the list;
// the buttons keep to the right edge.
TEST_F(SearchViewTest, AWiderScreenGivesTheListItsWidth) {
  SearchView& v = *view_;
  v.show();
  v.resize(1100, 800);
  EXPECT_EQ(v.TitleLabel()->geometry(), QRect(10, 10, 1080, 30));
  EXPECT_EQ(v.QueryEdit()->geometry(), QRect(10, 50, 920, 50));
  EXPECT_EQ(v.SearchButton()->geometry(), QRect(940, 50, 150, 50));
  EXPECT_EQ(v.PreviousButton()->geometry(), QRect(940, 142, 70, 40));
  EXPECT_EQ(v.NextButton()->geometry(), QRect(1020, 142, 70, 40));
  EXPECT_EQ(v.ProgressBar()->geometry(), QRect(0, 185, 1100, 15));
  EXPECT_EQ(v.ListView()->geometry(), QRect(0, 200, 1100, 600));
  // The rows span the list, less its scroll bar.
  auto record = std::make_unique<ProductRecord>();
  record->title = u"wide";
  v.List().AppendRecord(std::move(record));
  v.SetRowCount(1);
  const int scrollBar = v.ListView()->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  EXPECT_EQ(v.ListView()->visualRect(v.ListView()->model()->index(0, 0)).width(),
            1100 - scrollBar - 4);
}

TEST_F(SearchViewTest, BeforeAnySearchPagingIsOffAndProgressHidden) {
  EXPECT_FALSE(view_->PreviousButton()->isEnabled());
  EXPECT_FALSE(view_->NextButton()->isEnabled());
  EXPECT_TRUE(view_->ProgressBar()->isHidden());
  EXPECT_EQ(view_->ListView()->model()->rowCount(), 0);
  EXPECT_EQ(view_->OnCommand(4242, 0, 0), 0);
}

TEST_F(SearchViewTest, QueryBoxRefusesThe31stCharacter) {
  view_->show();
  Type(QString(31, QChar(0xAC00)));
  EXPECT_EQ(view_->QueryEdit()->text(), QString(30, QChar(0xAC00)));
  EXPECT_EQ(view_->ReadQuery(), std::u16string(30, u'\xAC00'));
}

// Focus that comes from the keyboard keeps the query; a click empties it,
// whatever had the focus before.
TEST_F(SearchViewTest, OnlyAClickIntoTheQueryBoxEmptiesIt) {
  view_->show();
  view_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(view_.get()));
  QLineEdit* box = view_->QueryEdit();
  const struct {
    const char* how;
    QWidget* from;
    std::function<void()> arrive;
    bool empties;
  } cases[] = {
      {"Tab", view_->SearchButton(), [&] { box->setFocus(Qt::TabFocusReason); }, false},
      {"Shift+Tab", view_->ListView(), [&] { box->setFocus(Qt::BacktabFocusReason); }, false},
      {"Ctrl+L", view_->ListView(),
       [&] { QTest::keyClick(view_->ListView(), Qt::Key_L, Qt::ControlModifier); }, false},
      {"Ctrl+F", view_->SearchButton(),
       [&] { QTest::keyClick(view_->SearchButton(), Qt::Key_F, Qt::ControlModifier); }, false},
      {"window back", view_->SearchButton(), [&] { box->setFocus(Qt::ActiveWindowFocusReason); },
       false},
      {"click from the button", view_->SearchButton(),
       [&] { QTest::mouseClick(box, Qt::LeftButton); }, true},
      {"click from the list", view_->ListView(), [&] { QTest::mouseClick(box, Qt::LeftButton); },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    c.from->setFocus(Qt::OtherFocusReason);
    box->setText(QStringLiteral("abc"));
    c.arrive();
    EXPECT_TRUE(box->hasFocus());
    EXPECT_EQ(box->text().isEmpty(), c.empties) << box->text().toStdString();
  }
  // Leaving the box keeps its text.
  box->setText(QStringLiteral("kept"));
  view_->SearchButton()->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(box->text(), QStringLiteral("kept"));
}

TEST_F(SearchViewTest, SearchFillsTheListAndProgressComesAndGoes) {
  StartCatalogue(/*imageDelayMs=*/30);
  ShowActive();
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
  // Said for a screen reader: how the search ended, and each row in full.
  EXPECT_EQ(view_->StatusLabel()->text(),
            QStringLiteral("10 products, 1~11 of %1").arg(view_->TotalLabel()->text()));
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(view_->ListView());
  ASSERT_NE(list, nullptr);
  ASSERT_GE(list->childCount(), 10);
  const ProductRecord& first = *view_->List().RecordAt(0);
  EXPECT_EQ(list->child(0)->text(QAccessible::Name),
            QStringLiteral("%1, lowest %2 won, highest %3 won")
                .arg(QString::fromStdU16String(first.title),
                     QString::fromStdU16String(FormatThousands(first.lowPrice)),
                     QString::fromStdU16String(FormatThousands(first.highPrice))));

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

  // Alt+Right pages on from the last answer as "->" does, Ctrl+PgUp back.
  QTest::keyClick(view_->ListView(), Qt::Key_Right, Qt::AltModifier);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !view_->List().Busy(); }, 20000));
  EXPECT_EQ(view_->RangeLabel()->text(), QStringLiteral("11~21"));
  EXPECT_TRUE(view_->PreviousButton()->isEnabled());
  QTest::keyClick(view_->ListView(), Qt::Key_PageUp, Qt::ControlModifier);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !view_->List().Busy(); }, 20000));
  EXPECT_EQ(view_->RangeLabel()->text(), QStringLiteral("1~11"));
  // Not past the first page: the key does what the disabled "<-" does.
  view_->State().pendingCommand = 0;
  QTest::keyClick(view_->ListView(), Qt::Key_Left, Qt::AltModifier);
  EXPECT_EQ(view_->State().pendingCommand, 0);

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

// A service that answers the search only after `delayMs`.
class SlowSearchTest : public SearchViewTest {
 protected:
  void SetUp() override {
    SearchViewTest::SetUp();
    SetServiceEndpoint(Utf8ToUtf16(server_.Url("")));
    view_->QueryEdit()->setText(QStringLiteral("shoes"));
  }
  void TearDown() override {
    SearchViewTest::TearDown();
    SetServiceEndpoint(u"");
  }
  static HttpResponse Answer(int items, int delayMs = 0) {
    std::vector<std::string> rows;
    for (int i = 0; i < items; ++i) rows.push_back(RssItem("shoe " + std::to_string(i)));
    HttpResponse response = HttpResponse::Body(RssAnswer("Shop", 30, 1, items, rows));
    response.delayBeforeHeadersMs = delayMs;
    return response;
  }

  TestHttpServer server_;
};

// The answer downloads off the UI thread: the window repaints and takes
// keys meanwhile, and Esc stops the search at once, without a message.
TEST_F(SlowSearchTest, EscStopsASlowSearchWhileTheWindowRepaints) {
  server_.Route("/search", Answer(3, 6000));
  ShowActive();
  int paints = 0;
  struct PaintCounter : QObject {
    int& count;
    explicit PaintCounter(int& c) : count(c) {}
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++count;
      return false;
    }
  } counter(paints);
  view_->ListView()->viewport()->installEventFilter(&counter);
  QTimer::singleShot(300, [&] {
    EXPECT_TRUE(view_->SearchRunning());
    view_->ListView()->viewport()->update();
  });
  QTimer::singleShot(600, [&] { QTest::keyClick(view_->QueryEdit(), Qt::Key_Escape); });

  QElapsedTimer timer;
  timer.start();
  EXPECT_EQ(view_->OnCommand(ID_SEARCH, 0, 0), -1);
  EXPECT_LT(timer.elapsed(), 3000);
  EXPECT_GT(paints, 0);
  EXPECT_FALSE(view_->SearchRunning());
  EXPECT_EQ(view_->ListView()->model()->rowCount(), 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(view_->TotalLabel()->text().isEmpty());
  ProcessEventsFor(100);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// A search asked for while another waits stops that one and runs; only the
// last answer shows.
TEST_F(SlowSearchTest, ASearchDuringAnotherStopsItAndRuns) {
  server_.Enqueue(Answer(3, 6000));
  server_.Enqueue(Answer(5));
  ShowActive();
  QTimer::singleShot(300, [&] { view_->OnCommand(ID_SEARCH, 0, 0); });
  QElapsedTimer timer;
  timer.start();
  EXPECT_EQ(view_->OnCommand(ID_SEARCH, 0, 0), -1);
  ASSERT_TRUE(ProcessEventsUntil([&] { return view_->ListView()->model()->rowCount() == 5; }));
  EXPECT_LT(timer.elapsed(), 3000);
  EXPECT_EQ(server_.Requests().size(), 2u);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// Closing the window while the answer downloads ends the wait at once.
TEST_F(SlowSearchTest, ShuttingDownDuringTheDownloadIsPrompt) {
  server_.Route("/search", Answer(3, 6000));
  QElapsedTimer timer;
  QTimer::singleShot(300, [&] {
    timer.start();
    view_->Shutdown();
  });
  EXPECT_EQ(view_->OnCommand(ID_SEARCH, 0, 0), -1);
  EXPECT_LT(timer.elapsed(), 1000);
}

TEST_F(SearchViewTest, EveryControlHasANameAndTheTabOrderFollowsTheLayout) {
  SearchView& v = *view_;
  const std::vector<std::pair<QWidget*, QString>> names = {
      {v.QueryEdit(), "Search query"},         {v.SearchButton(), "search"},
      {v.PreviousButton(), "Previous page"},   {v.NextButton(), "Next page"},
      {v.ProgressBar(), "Loading thumbnails"}, {v.ListView(), "Products"},
  };
  for (const auto& [widget, name] : names) {
    QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(widget);
    ASSERT_NE(spoken, nullptr) << name.toStdString();
    EXPECT_EQ(spoken->text(QAccessible::Name), name);
    EXPECT_FALSE(spoken->text(QAccessible::Description).isEmpty()) << name.toStdString();
  }
  std::vector<QWidget*> order;
  for (QWidget* w = v.QueryEdit(); order.size() < 5; w = w->nextInFocusChain())
    if (w->focusPolicy() & Qt::TabFocus) order.push_back(w);
  EXPECT_EQ(order, (std::vector<QWidget*>{v.QueryEdit(), v.SearchButton(), v.PreviousButton(),
                                          v.NextButton(), v.ListView()}));
}

}  // namespace
}  // namespace quobble
