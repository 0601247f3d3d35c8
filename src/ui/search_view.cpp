#include "ui/search_view.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QEventLoop>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <algorithm>

#include "platform/stop_signals.h"
#include "search/commands.h"
#include "search/search_run.h"
#include "ui/fonts.h"
#include "ui/product_list_view.h"
#include "ui/qt_text.h"
#include "ui/row_drawing.h"
#include "wishlist/wish_list.h"

namespace quobble {

namespace {

constexpr int kListTop = 200;
constexpr int kQueryBoxLength = 30;  // what the box lets a user type
// The room right of the query box and of the range label: the search
// button's and the paging buttons' column, 160 pixels from the right edge.
constexpr int kButtonColumn = 160;

QLabel* MakeLabel(QWidget* parent, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(false);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

QPushButton* MakeButton(QWidget* parent, const QString& text, int id, const QFont& font) {
  auto* button = new QPushButton(text, parent);
  button->setProperty("controlId", id);
  button->setFont(font);
  button->setAutoDefault(false);
  return button;
}

void Describe(QWidget* widget, const QString& name, const QString& description) {
  if (!name.isEmpty()) widget->setAccessibleName(name);
  widget->setAccessibleDescription(description);
}

QAction* AddKeys(QWidget* owner, const QString& text, const QList<QKeySequence>& keys) {
  auto* action = new QAction(text, owner);
  action->setShortcuts(keys);
  action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  owner->addAction(action);
  return action;
}

}  // namespace

// The row drawing may ask for a message while the list paints; a modal box
// cannot open inside a paint, so it is shown right after. The list asks again
// at every repaint, and the box would come back each time it is closed: it is
// shown once per page instead, until the row count changes.
class DeferredMessages : public MessageSink {
 public:
  explicit DeferredMessages(SearchView& view) : view_(&view) {}
  void ShowMessage(const std::u16string& text, const std::u16string& caption) override {
    if (pending_ || shown_) return;
    pending_ = true;
    QTimer::singleShot(0, view_, [this, view = view_, text, caption] {
      if (!view) return;
      shown_ = true;
      view->ShowMessage(text, caption);
      pending_ = false;
    });
  }
  void Rearm() { shown_ = false; }

 private:
  QPointer<SearchView> view_;
  bool pending_ = false;
  bool shown_ = false;
};

SearchView::SearchView(const QRect& area, QWidget* parent)
    : QWidget(parent), list_(*this, std::u16string(kDataFolder)) {
  CreateControls();
  setGeometry(area);
  LayOut();
  state_.dataFolder = std::u16string(kDataFolder);
  // A folder that cannot be made shows up as a failed download later, with
  // its own message; the screen comes up either way.
  CreateFolderPath(state_.dataFolder);
}

SearchView::~SearchView() {
  Shutdown();
  // The list view draws from list_; it goes before list_ does.
  delete listView_;
  listView_ = nullptr;
}

void SearchView::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  retryTimer_->stop();
  // A search waiting for its answer stops and unwinds once this returns.
  searchStop_.store(true, std::memory_order_release);
  if (waitLoop_) waitLoop_->quit();
  // The worker may be waiting for this thread right now (a progress step, a
  // message box): release it first, then it can see the stop and end.
  bridge_.Close();
  list_.StopWorker();
  if (waitCursorShown_) {
    QApplication::restoreOverrideCursor();
    waitCursorShown_ = false;
  }
}

void SearchView::CreateControls() {
  // Creation order is the stacking order, kept as the screen has always had
  // it; the tab order follows the layout (NameControls).
  CreateQueryRow(ButtonFont());
  CreateProgressBar();
  titleLabel_ = MakeLabel(this, QStringLiteral("quobble - chip product search"));
  statusLabel_ = MakeLabel(this, QString());
  statusLabel_->setObjectName(QStringLiteral("searchStatus"));
  CreateList();
  NameControls();
  ConnectCommands();
  CreateKeys();
}

void SearchView::CreateQueryRow(const QFont& buttonFont) {
  queryEdit_ = new QLineEdit(this);
  queryEdit_->setProperty("controlId", static_cast<int>(ID_QUERY_EDIT));
  queryEdit_->setMaxLength(kQueryBoxLength);
  queryEdit_->installEventFilter(this);

  searchButton_ = MakeButton(this, QStringLiteral("search"), ID_SEARCH, buttonFont);
  countCaption_ = MakeLabel(this, QStringLiteral("Search Total Count :"));
  totalLabel_ = MakeLabel(this, QString());
  rangeCaption_ = MakeLabel(this, QStringLiteral("Display Range :"));
  rangeLabel_ = MakeLabel(this, QString());
  nextButton_ = MakeButton(this, QStringLiteral("->"), ID_NEXT_PAGE, buttonFont);
  nextButton_->setEnabled(false);
  prevButton_ = MakeButton(this, QStringLiteral("<-"), ID_PREV_PAGE, buttonFont);
  prevButton_->setEnabled(false);
}

void SearchView::CreateProgressBar() {
  progress_ = new QProgressBar(this);
  progress_->setProperty("controlId", static_cast<int>(ID_PROGRESS));
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  progress_->hide();
}

void SearchView::CreateList() {
  listView_ = new QListView(this);
  listView_->setProperty("controlId", 0);
  listView_->setFrameShape(QFrame::Box);
  listView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  listView_->setSelectionBehavior(QAbstractItemView::SelectRows);
  listView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  listView_->setUniformItemSizes(true);
  listView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  listView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  listView_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  listView_->installEventFilter(this);
  model_ = new ProductRowModel(list_, listView_);
  paintMessages_ = std::make_unique<DeferredMessages>(*this);
  delegate_ = new ProductRowDelegate(*paintMessages_, 1, listView_);
  listView_->setModel(model_);
  listView_->setItemDelegate(delegate_);

  // The row's own commands, on its context menu and on their keys.
  listView_->setContextMenuPolicy(Qt::ActionsContextMenu);
  openProduct_ = new QAction(QStringLiteral("Open product page"), listView_);
  openProduct_->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
  openProduct_->setShortcutContext(Qt::WidgetShortcut);
  listView_->addAction(openProduct_);
}

void SearchView::NameControls() {
  Describe(queryEdit_, QStringLiteral("Search query"),
           QStringLiteral("The words to search for; Enter searches"));
  Describe(searchButton_, QString(), QStringLiteral("Searches for the query"));
  Describe(prevButton_, QStringLiteral("Previous page"),
           QStringLiteral("Shows the previous page of results (Alt+Left)"));
  Describe(nextButton_, QStringLiteral("Next page"),
           QStringLiteral("Shows the next page of results (Alt+Right)"));
  Describe(progress_, QStringLiteral("Loading thumbnails"),
           QStringLiteral("How many of the page's thumbnails have arrived"));
  Describe(listView_, QStringLiteral("Products"),
           QStringLiteral("The page of results; Enter opens the product's page"));
  Describe(totalLabel_, QString(), QStringLiteral("Search total count"));
  Describe(rangeLabel_, QString(), QStringLiteral("Display range"));
  Describe(statusLabel_, QString(), QStringLiteral("Search status"));
  setTabOrder(queryEdit_, searchButton_);
  setTabOrder(searchButton_, prevButton_);
  setTabOrder(prevButton_, nextButton_);
  setTabOrder(nextButton_, listView_);
}

void SearchView::ConnectCommands() {
  connect(listView_, &QListView::doubleClicked, this, &SearchView::OpenProductLink);
  connect(openProduct_, &QAction::triggered, this,
          [this] { OpenProductLink(listView_->currentIndex()); });
  // Enter in the box does what a desktop user expects of it: the search.
  connect(queryEdit_, &QLineEdit::returnPressed, this, [this] { OnCommand(ID_SEARCH, 0, 0); });
  for (QPushButton* button : {searchButton_, nextButton_, prevButton_}) {
    connect(button, &QPushButton::clicked, this,
            [this, button] { OnCommand(button->property("controlId").toInt(), 0, 0); });
  }

  retryTimer_ = new QTimer(this);
  retryTimer_->setInterval(200);
  connect(retryTimer_, &QTimer::timeout, this, &SearchView::RetryTick);
}

void SearchView::CreateKeys() {
  const auto ctrl = [](Qt::Key key) { return QKeySequence(Qt::ControlModifier | key); };
  const auto alt = [](Qt::Key key) { return QKeySequence(Qt::AltModifier | key); };
  connect(AddKeys(this, QStringLiteral("Previous page"), {alt(Qt::Key_Left), ctrl(Qt::Key_PageUp)}),
          &QAction::triggered, this, [this] { PageIfEnabled(ID_PREV_PAGE); });
  connect(AddKeys(this, QStringLiteral("Next page"), {alt(Qt::Key_Right), ctrl(Qt::Key_PageDown)}),
          &QAction::triggered, this, [this] { PageIfEnabled(ID_NEXT_PAGE); });
  connect(AddKeys(this, QStringLiteral("Search query"), {ctrl(Qt::Key_L), ctrl(Qt::Key_F)}),
          &QAction::triggered, this, [this] {
            queryEdit_->setFocus(Qt::ShortcutFocusReason);
            queryEdit_->selectAll();
          });
  connect(AddKeys(this, QStringLiteral("Stop"), {QKeySequence(Qt::Key_Escape)}),
          &QAction::triggered, this, &SearchView::StopSearch);
}

void SearchView::PageIfEnabled(int id) {
  QPushButton* button = id == ID_PREV_PAGE ? prevButton_ : nextButton_;
  if (button->isEnabled()) OnCommand(id, 0, 0);
}

bool SearchView::event(QEvent* event) {
  // On another screen the thumbnails are decoded for its pixel ratio.
  if (event->type() == QEvent::ScreenChangeInternal) FitRowsToList();
  return QWidget::event(event);
}

void SearchView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayOut();
}

void SearchView::LayOut() {
  const int w = width();
  titleLabel_->setGeometry(10, 10, w - 20, 30);
  queryEdit_->setGeometry(10, 50, w - 20 - kButtonColumn, 50);
  searchButton_->setGeometry(w - kButtonColumn, 50, 150, 50);
  countCaption_->setGeometry(10, 110, 220, 30);
  totalLabel_->setGeometry(232, 110, 100, 30);
  rangeCaption_->setGeometry(10, 150, 170, 30);
  rangeLabel_->setGeometry(182, 150, 135, 30);
  prevButton_->setGeometry(w - kButtonColumn, 142, 70, 40);
  nextButton_->setGeometry(w - kButtonColumn + 80, 142, 70, 40);
  progress_->setGeometry(0, 185, w, 15);
  statusLabel_->setGeometry(0, 0, 0, 0);
  listView_->setGeometry(0, kListTop, w, std::max(0, height() - kListTop));
  FitRowsToList();
}

void SearchView::FitRowsToList() {
  // A row is the list's width less a scroll bar and 4 pixels.
  const int scrollBarWidth = listView_->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  const int rowWidth = std::max(1, listView_->width() - scrollBarWidth - 4);
  const QSize box = ComputeRowLayout(0, 0, rowWidth, ProductList::kRowHeight).thumbnail.size();
  model_->SetThumbnailBox(box, devicePixelRatioF());
  if (delegate_->RowWidth() == rowWidth) return;
  delegate_->SetRowWidth(rowWidth);
  listView_->doItemsLayout();
}

bool SearchView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == queryEdit_) {
    // Only a click or a tap empties the box, whatever had the focus before;
    // focus that arrives from the keyboard (Tab, Ctrl+L) or comes back with
    // the window keeps what was typed.
    if (event->type() == QEvent::FocusIn &&
        static_cast<QFocusEvent*>(event)->reason() == Qt::MouseFocusReason)
      OnCommand(ID_QUERY_EDIT, kQueryGotFocus, 0);
    else if (event->type() == QEvent::FocusOut)
      OnCommand(ID_QUERY_EDIT, kQueryLostFocus, 0);
  } else if (watched == listView_ && event->type() == QEvent::Resize) {
    FitRowsToList();
  }
  return QWidget::eventFilter(watched, event);
}

int SearchView::OnCommand(int id, int code, intptr_t param) {
  switch (id) {
    case ID_QUERY_EDIT:
      // The on-screen input panel has no counterpart here; only the emptying
      // on arrival remains.
      if (code == kQueryGotFocus) queryEdit_->clear();
      return 0;
    case ID_SEARCH:
    case ID_PREV_PAGE:
    case ID_NEXT_PAGE:
      if (shutDown_) return 0;
      if (searchRunning_) {
        // The one in flight stops; this one runs as soon as it has returned.
        deferredCommand_ = id;
        searchStop_.store(true, std::memory_order_release);
        return id == ID_SEARCH ? -1 : 0;
      }
      return RunSearchStep([&](SearchOutcome* outcome) {
        return RunPagingCommand(*this, state_, list_, id, outcome);
      });
    case ID_WISH_ADD:
      return AddToWishList(*this);
    case ID_WISH_SHOW:
      return ShowWishList(*this);
    case ID_THUMB_PROGRESS:
      progress_->setValue(static_cast<int>(std::clamp<intptr_t>(param, 0, 100)));
      progress_->show();
      // A thumbnail has just arrived: the rows on show pick it up.
      model_->ThumbnailsArrived();
      return 0;
    case ID_THUMB_DONE:
      progress_->hide();
      progress_->setValue(0);
      model_->ThumbnailsArrived();
      return 0;
    default:
      return 0;
  }
}

template <typename Run>
int SearchView::RunSearchStep(Run run) {
  searchRunning_ = true;
  SearchOutcome outcome = SearchOutcome::kNone;
  const int result = run(&outcome);
  searchRunning_ = false;
  Announce(outcome);
  if (deferredCommand_ != 0 && !shutDown_) {
    // Through the retry timer, as a command deferred for the thumbnail
    // worker is: it runs once the worker, if any, has stopped.
    state_.pendingCommand = deferredCommand_;
    deferredCommand_ = 0;
    retryTimer_->start();
    QTimer::singleShot(0, this, &SearchView::RetryTick);
  }
  return result;
}

void SearchView::RetryTick() {
  // The search in hand returns first; the timer goes on ticking meanwhile.
  if (searchRunning_ || shutDown_ || !retryTimer_->isActive()) return;
  RunSearchStep([this](SearchOutcome* outcome) {
    if (!RunTimerTick(*this, state_, list_, ID_RETRY_TIMER, outcome)) retryTimer_->stop();
    return 0;
  });
}

void SearchView::StopSearch() {
  deferredCommand_ = 0;
  if (searchRunning_) searchStop_.store(true, std::memory_order_release);
  if (retryTimer_->isActive()) {
    // A search waiting for the thumbnail worker to end: it does not run.
    retryTimer_->stop();
    state_.pendingCommand = 0;
    ArrowCursor();
  }
}

void SearchView::Announce(SearchOutcome outcome) {
  if (outcome != SearchOutcome::kShown) return;
  const int rows = model_->rowCount();
  const QString text = rows == 0 ? QStringLiteral("No products found")
                                 : QStringLiteral("%1 products, %2 of %3")
                                       .arg(rows)
                                       .arg(rangeLabel_->text(), totalLabel_->text());
  // Cleared first, so that the same words after another search are still
  // news to a screen reader.
  statusLabel_->clear();
  statusLabel_->setText(text);
}

bool SearchView::AwaitWork(const std::function<void(const std::atomic<bool>& stop)>& work) {
  if (shutDown_ || waitLoop_) return false;
  searchStop_.store(false, std::memory_order_release);
  const auto run = [this, &work] { work(searchStop_); };
  const auto ended = [this] {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (waitLoop_ && !waiter_.Busy()) waitLoop_->quit();
        },
        Qt::QueuedConnection);
  };
  if (!waiter_.Start(run, ended)) {
    // No thread to wait on: the window waits with the search.
    run();
    return !searchStop_.load(std::memory_order_acquire);
  }
  // The window goes on: it repaints, takes keys and clicks (Esc, another
  // search) and serves the download's messages until the answer is in.
  QEventLoop loop;
  waitLoop_ = &loop;
  loop.exec();
  waitLoop_ = nullptr;
  if (waiter_.Busy()) {
    // Left early: the application is ending. The download stops, and its
    // messages are served (or turned away, once the screen is shut) till then.
    searchStop_.store(true, std::memory_order_release);
    while (waiter_.Busy()) {
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5);
      QThread::msleep(1);
    }
  }
  return !searchStop_.load(std::memory_order_acquire);
}

void SearchView::OpenProductLink(const QModelIndex& index) {
  if (!index.isValid()) return;
  const ProductRecord* record = list_.RecordAt(static_cast<size_t>(index.row()));
  if (!record) return;
  const QUrl url(ToQString(record->link), QUrl::StrictMode);
  // The address comes from the server: only web pages are handed on, never
  // local files or other schemes a desktop might act on.
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
      url.host().isEmpty()) {
    ShowMessageNow(QStringLiteral("This product has no web page to open."),
                   QStringLiteral("Warning"));
    return;
  }
  if (!QDesktopServices::openUrl(url)) {
    ShowMessageNow(QStringLiteral("The product page could not be opened."),
                   QStringLiteral("Warning"));
  }
}

std::u16string SearchView::ReadQuery() {
  std::u16string query;
  bridge_.Call([this, &query] { query = LimitQuery(ToU16(queryEdit_->text())); });
  return query;
}

void SearchView::SetTitleText(const std::u16string& text) {
  bridge_.Call([this, text = ToQString(text)] { titleLabel_->setText(text); });
}

void SearchView::SetTotalText(const std::u16string& text) {
  bridge_.Call([this, text = ToQString(text)] { totalLabel_->setText(text); });
}

void SearchView::SetRangeText(const std::u16string& text) {
  bridge_.Call([this, text = ToQString(text)] { rangeLabel_->setText(text); });
}

void SearchView::EnablePrevious(bool enabled) {
  bridge_.Call([this, enabled] { prevButton_->setEnabled(enabled); });
}

void SearchView::EnableNext(bool enabled) {
  bridge_.Call([this, enabled] { nextButton_->setEnabled(enabled); });
}

bool SearchView::InsertRow(int index) {
  bool accepted = false;
  bridge_.Call([this, index, &accepted] { accepted = model_->InsertRow(index); });
  return accepted;
}

void SearchView::SetRowCount(int count) {
  bridge_.Call([this, count] {
    paintMessages_->Rearm();
    model_->SetRowCount(count);
  });
}

void SearchView::ShowMessage(const std::u16string& text, const std::u16string& caption) {
  bridge_.Call([this, text = ToQString(text), caption = ToQString(caption)] {
    ShowMessageNow(text, caption);
  });
}

void SearchView::ShowMessageNow(const QString& text, const QString& caption) {
  // A stop signal aborts every download on purpose; the window is closing.
  if (shutDown_ || StopSignal() != 0) return;
  QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, this);
  box.exec();
}

void SearchView::WaitCursor() {
  bridge_.Call([this] {
    if (waitCursorShown_) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    waitCursorShown_ = true;
  });
}

void SearchView::ArrowCursor() {
  bridge_.Call([this] {
    // The device's cursor is one shape, not a stack: any number of wait
    // cursors end with one arrow.
    if (!waitCursorShown_) return;
    QApplication::restoreOverrideCursor();
    waitCursorShown_ = false;
  });
}

void SearchView::StartRetryTimer() {
  bridge_.Call([this] {
    if (!shutDown_) retryTimer_->start();
  });
}

void SearchView::StopRetryTimer() {
  bridge_.Call([this] { retryTimer_->stop(); });
}

void SearchView::Progress(int percent) {
  bridge_.Call([this, percent] { OnCommand(ID_THUMB_PROGRESS, 0, percent); });
}

void SearchView::ProgressDone() {
  bridge_.Call([this] { OnCommand(ID_THUMB_DONE, 0, 0); });
}

}  // namespace quobble
