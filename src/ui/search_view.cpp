#include "ui/search_view.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <algorithm>

#include "platform/stop_signals.h"
#include "search/commands.h"
#include "search/search_run.h"
#include "ui/fonts.h"
#include "ui/product_list_view.h"
#include "ui/qt_text.h"
#include "wishlist/wish_list.h"

namespace quobble {

namespace {

constexpr int kListTop = 200;
constexpr int kQueryBoxLength = 30;  // what the box lets a user type

QLabel* MakeLabel(QWidget* parent, const QString& text, const QRect& geometry) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(false);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setGeometry(geometry);
  return label;
}

QPushButton* MakeButton(QWidget* parent, const QString& text, int id, const QRect& geometry,
                        const QFont& font) {
  auto* button = new QPushButton(text, parent);
  button->setProperty("controlId", id);
  button->setFont(font);
  button->setAutoDefault(false);
  button->setGeometry(geometry);
  return button;
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
  setGeometry(area);
  CreateControls(area);
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
  // The worker may be waiting for this thread right now (a progress step, a
  // message box): release it first, then it can see the stop and end.
  bridge_.Close();
  list_.StopWorker();
  if (waitCursorShown_) {
    QApplication::restoreOverrideCursor();
    waitCursorShown_ = false;
  }
}

void SearchView::CreateControls(const QRect& area) {
  // Creation order is the tab and stacking order, kept as the screen has
  // always had it.
  CreateQueryRow(ButtonFont());
  CreateProgressBar();
  titleLabel_ =
      MakeLabel(this, QStringLiteral("quobble - chip product search"), QRect(10, 10, 460, 30));
  CreateList(area);
  ConnectCommands();
}

void SearchView::CreateQueryRow(const QFont& buttonFont) {
  queryEdit_ = new QLineEdit(this);
  queryEdit_->setProperty("controlId", static_cast<int>(ID_QUERY_EDIT));
  queryEdit_->setMaxLength(kQueryBoxLength);
  queryEdit_->setGeometry(10, 50, 300, 50);
  queryEdit_->installEventFilter(this);

  searchButton_ =
      MakeButton(this, QStringLiteral("search"), ID_SEARCH, QRect(320, 50, 150, 50), buttonFont);
  countCaption_ = MakeLabel(this, QStringLiteral("Search Total Count :"), QRect(10, 110, 220, 30));
  totalLabel_ = MakeLabel(this, QString(), QRect(232, 110, 100, 30));
  rangeCaption_ = MakeLabel(this, QStringLiteral("Display Range :"), QRect(10, 150, 170, 30));
  rangeLabel_ = MakeLabel(this, QString(), QRect(182, 150, 135, 30));
  nextButton_ =
      MakeButton(this, QStringLiteral("->"), ID_NEXT_PAGE, QRect(400, 142, 70, 40), buttonFont);
  nextButton_->setEnabled(false);
  prevButton_ =
      MakeButton(this, QStringLiteral("<-"), ID_PREV_PAGE, QRect(320, 142, 70, 40), buttonFont);
  prevButton_->setEnabled(false);
}

void SearchView::CreateProgressBar() {
  progress_ = new QProgressBar(this);
  progress_->setProperty("controlId", static_cast<int>(ID_PROGRESS));
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  progress_->setGeometry(0, 185, 480, 15);
  progress_->hide();
}

void SearchView::CreateList(const QRect& area) {
  listView_ = new QListView(this);
  listView_->setProperty("controlId", 0);
  listView_->setGeometry(0, kListTop, area.width(), std::max(0, area.height() - kListTop));
  listView_->setFrameShape(QFrame::Box);
  listView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  listView_->setSelectionBehavior(QAbstractItemView::SelectRows);
  listView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  listView_->setUniformItemSizes(true);
  listView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  listView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  listView_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  listView_->installEventFilter(this);
  const int scrollBarWidth = listView_->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  const int rowWidth = std::max(1, area.width() - scrollBarWidth - 4);
  model_ = new ProductRowModel(listView_);
  paintMessages_ = std::make_unique<DeferredMessages>(*this);
  delegate_ = new ProductRowDelegate(list_, *paintMessages_, rowWidth, listView_);
  listView_->setModel(model_);
  listView_->setItemDelegate(delegate_);
}

void SearchView::ConnectCommands() {
  connect(listView_, &QListView::doubleClicked, this, &SearchView::OpenProductLink);
  // Enter in the box does what a desktop user expects of it: the search.
  connect(queryEdit_, &QLineEdit::returnPressed, this, [this] { OnCommand(ID_SEARCH, 0, 0); });
  for (QPushButton* button : {searchButton_, nextButton_, prevButton_}) {
    connect(button, &QPushButton::clicked, this,
            [this, button] { OnCommand(button->property("controlId").toInt(), 0, 0); });
  }

  retryTimer_ = new QTimer(this);
  retryTimer_->setInterval(200);
  connect(retryTimer_, &QTimer::timeout, this, [this] {
    if (!RunTimerTick(*this, state_, list_, ID_RETRY_TIMER)) retryTimer_->stop();
  });
}

bool SearchView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == queryEdit_) {
    if (event->type() == QEvent::FocusIn) {
      // Closing a menu hands the focus back without the box ever losing it
      // on the device; only a real arrival empties it.
      if (static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason)
        OnCommand(ID_QUERY_EDIT, kQueryGotFocus, 0);
    } else if (event->type() == QEvent::FocusOut) {
      if (static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason)
        OnCommand(ID_QUERY_EDIT, kQueryLostFocus, 0);
    }
  } else if (watched == listView_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && listView_->currentIndex().isValid()) {
      OpenProductLink(listView_->currentIndex());
      return true;
    }
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
      return RunPagingCommand(*this, state_, list_, id);
    case ID_WISH_ADD:
      return AddToWishList(*this);
    case ID_WISH_SHOW:
      return ShowWishList(*this);
    case ID_THUMB_PROGRESS:
      progress_->setValue(static_cast<int>(std::clamp<intptr_t>(param, 0, 100)));
      progress_->show();
      // A thumbnail has just arrived: the rows on show pick it up.
      RedrawRows();
      return 0;
    case ID_THUMB_DONE:
      progress_->hide();
      progress_->setValue(0);
      RedrawRows();
      return 0;
    default:
      return 0;
  }
}

void SearchView::RedrawRows() {
  if (listView_) listView_->viewport()->update();
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
