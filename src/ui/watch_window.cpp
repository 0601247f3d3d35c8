#include "ui/watch_window.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineSeries>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>

#include "platform/text.h"
#include "search/product_list.h"
#include "search/search_state.h"
#include "ui/qt_text.h"
#include "ui/row_drawing.h"
#include "watch/desktop_notify.h"

namespace quobble {

namespace {

constexpr int kThumbSize = 48;
enum Column { kProduct, kPrice, kChange, kChecked, kColumns };

QString Price(int32_t value) {
  return ToQString(FormatThousands(value));
}

QString LocalTime(int64_t time) {
  return QDateTime::fromSecsSinceEpoch(time).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

// The product's picture from the thumbnail cache, when a search fetched it.
QIcon Thumbnail(const std::u16string& imageUrl) {
  const std::u16string name = ThumbnailCacheName(imageUrl);
  if (name.empty()) return {};
  const QImage image = DecodeThumbnailFile(std::u16string(kDataFolder) + u"Images\\" + name,
                                           QSize(kThumbSize, kThumbSize));
  return image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image));
}

QTableWidgetItem* Cell(const QString& text, const QString& spoken) {
  auto* item = new QTableWidgetItem(text);
  item->setData(Qt::AccessibleTextRole, spoken);
  item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
  return item;
}

// Only web pages are handed on, never local files or other schemes a
// desktop might act on: the address came from a server.
bool OpenWebPage(QWidget* owner, const std::u16string& link) {
  const QUrl url(ToQString(link), QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
      url.host().isEmpty()) {
    QMessageBox::warning(owner, QStringLiteral("Warning"),
                         QStringLiteral("This product has no web page to open."));
    return false;
  }
  if (QDesktopServices::openUrl(url)) return true;
  QMessageBox::warning(owner, QStringLiteral("Warning"),
                       QStringLiteral("The product page could not be opened."));
  return false;
}

QPushButton* Button(const QString& label, const QString& name, QWidget* parent) {
  auto* button = new QPushButton(label, parent);
  button->setAccessibleName(name);
  return button;
}

}  // namespace

std::vector<std::vector<QPointF>> HistoryRuns(const std::vector<PriceCheck>& history) {
  std::vector<std::vector<QPointF>> runs;
  bool inRun = false;
  for (const PriceCheck& check : history) {
    if (!check.found) {
      inRun = false;
      continue;
    }
    if (!inRun) runs.emplace_back();
    inRun = true;
    runs.back().emplace_back(static_cast<double>(check.time) * 1000.0, check.lowPrice);
  }
  return runs;
}

QString ChangeText(int32_t from, int32_t to, int* direction) {
  const int64_t delta = int64_t{to} - from;
  if (direction != nullptr) *direction = delta < 0 ? -1 : (delta > 0 ? 1 : 0);
  if (delta == 0) return QStringLiteral("\u2013");
  const QString percent =
      from != 0
          ? QStringLiteral(" (%1%2%)")
                .arg(delta < 0 ? QStringLiteral("-") : QStringLiteral("+"))
                .arg(QString::number(std::abs(100.0 * static_cast<double>(delta) / from), 'f', 1))
          : QString();
  return (delta < 0 ? QStringLiteral("\u25BC ") : QStringLiteral("\u25B2 ")) +
         Price(static_cast<int32_t>(std::min<int64_t>(delta < 0 ? -delta : delta, INT32_MAX))) +
         percent;
}

WatchWindow::WatchWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle(QStringLiteral("Watched products"));
  setObjectName(QStringLiteral("watchWindow"));
  setAccessibleName(QStringLiteral("Watched products"));
  resize(480, 640);
  CreateControls();
  Reload();
}

WatchWindow::~WatchWindow() {
  stop_ = true;
  if (worker_.joinable()) worker_.join();
}

void WatchWindow::CreateControls() {
  table_ = new QTableWidget(0, kColumns, this);
  table_->setAccessibleName(QStringLiteral("Watched products"));
  table_->setHorizontalHeaderLabels({QStringLiteral("Product"), QStringLiteral("Price"),
                                     QStringLiteral("Change"), QStringLiteral("Checked")});
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setIconSize(QSize(kThumbSize, kThumbSize));
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setDefaultSectionSize(kThumbSize + 8);
  table_->horizontalHeader()->setSectionResizeMode(kProduct, QHeaderView::Stretch);
  for (int c = kPrice; c < kColumns; ++c)
    table_->horizontalHeader()->setSectionResizeMode(c, QHeaderView::ResizeToContents);
  table_->setWordWrap(true);

  auto* chart = new QChart();
  chart->legend()->hide();
  chart->setMargins(QMargins(4, 4, 4, 4));
  chart_ = new QChartView(chart, this);
  chart_->setRenderHint(QPainter::Antialiasing);
  chart_->setMinimumHeight(180);
  chart_->setAccessibleName(QStringLiteral("Price history"));
  chart_->setFocusPolicy(Qt::StrongFocus);

  refresh_ = Button(QStringLiteral("&Refresh"), QStringLiteral("Refresh"), this);
  remove_ = Button(QStringLiteral("Re&move"), QStringLiteral("Remove"), this);
  open_ = Button(QStringLiteral("&Open product page"), QStringLiteral("Open product page"), this);
  refresh_->setToolTip(QStringLiteral("Check every price now (F5); Esc stops"));
  remove_->setToolTip(QStringLiteral("Stop watching the selected product (Delete)"));
  open_->setToolTip(QStringLiteral("Open the selected product's page (Enter)"));
  progress_ = new QProgressBar(this);
  progress_->setAccessibleName(QStringLiteral("Refresh progress"));
  progress_->hide();
  status_ = new QLabel(this);
  status_->setAccessibleName(QStringLiteral("Status"));
  status_->setWordWrap(true);

  auto* buttons = new QHBoxLayout();
  for (QPushButton* b : {refresh_, remove_, open_}) buttons->addWidget(b);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(table_, 3);
  layout->addWidget(chart_, 2);
  layout->addWidget(progress_);
  layout->addWidget(status_);
  layout->addLayout(buttons);

  connect(refresh_, &QPushButton::clicked, this, &WatchWindow::StartRefresh);
  connect(remove_, &QPushButton::clicked, this, &WatchWindow::RemoveSelected);
  connect(open_, &QPushButton::clicked, this, &WatchWindow::OpenSelected);
  connect(table_, &QTableWidget::itemSelectionChanged, this, &WatchWindow::ShowHistory);
  connect(table_, &QTableWidget::cellDoubleClicked, this, &WatchWindow::OpenSelected);
  new QShortcut(QKeySequence(Qt::Key_F5), this, [this] { StartRefresh(); });
  auto* del = new QShortcut(QKeySequence::Delete, table_, [this] { RemoveSelected(); });
  del->setContext(Qt::WidgetShortcut);
}

void WatchWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    // Esc stops a refresh; with none running it closes the window.
    if (Refreshing())
      StopRefresh();
    else
      close();
    return;
  }
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && table_->hasFocus()) {
    OpenSelected();
    return;
  }
  QWidget::keyPressEvent(event);
}

const WatchedProduct* WatchWindow::Selected() const {
  const int row = table_->currentRow();
  if (row < 0 || static_cast<size_t>(row) >= products_.size()) return nullptr;
  return &products_[static_cast<size_t>(row)];
}

void WatchWindow::Reload() {
  const int64_t selected = Selected() != nullptr ? Selected()->id : 0;
  std::string error;
  auto store = WatchStore::Open(error);
  products_.clear();
  if (!store || !store->List(products_, error)) status_->setText(QString::fromStdString(error));
  table_->setRowCount(static_cast<int>(products_.size()));
  int current = products_.empty() ? -1 : 0;
  for (size_t i = 0; i < products_.size(); ++i) {
    FillRow(static_cast<int>(i), products_[i]);
    if (products_[i].id == selected) current = static_cast<int>(i);
  }
  if (current >= 0) table_->selectRow(current);
  const bool any = !products_.empty();
  remove_->setEnabled(any);
  open_->setEnabled(any);
  if (!any && status_->text().isEmpty())
    status_->setText(
        QStringLiteral("No product is watched yet: select one in the list and use "
                       "\"Watch this product\" (Ctrl+D)."));
  ShowHistory();
}

void WatchWindow::FillRow(int row, const WatchedProduct& p) {
  const QString title = ToQString(p.title);
  auto* product = Cell(title, title);
  product->setIcon(Thumbnail(p.imageUrl));
  product->setToolTip(ToQString(p.link));
  table_->setItem(row, kProduct, product);

  const bool found = p.last.found;
  const QString price = found ? Price(p.last.lowPrice) : QStringLiteral("not found");
  table_->setItem(row, kPrice, Cell(price, QStringLiteral("Price ") + price));

  int direction = 0;
  const QString change = ChangeText(p.added.lowPrice, p.lastLowPrice, &direction);
  const QString spoken =
      direction == 0 ? QStringLiteral("Unchanged since added")
                     : QStringLiteral("%1 since added: %2")
                           .arg(direction < 0 ? QStringLiteral("Down") : QStringLiteral("Up"))
                           .arg(change.mid(2));
  auto* changeCell = Cell(change, spoken);
  // The seed's colours: blue for a drop, red for a rise, in a shade that
  // reads on this palette.
  if (direction != 0)
    changeCell->setForeground(ReadableShade(direction < 0 ? kLowPriceColor : kHighPriceColor,
                                            table_->palette().color(QPalette::Base)));
  table_->setItem(row, kChange, changeCell);

  const QString checked = LocalTime(p.last.time);
  table_->setItem(row, kChecked, Cell(checked, QStringLiteral("Checked ") + checked));
}

void WatchWindow::ShowHistory() {
  QChart* chart = chart_->chart();
  chart->removeAllSeries();
  for (QAbstractAxis* axis : chart->axes()) {
    chart->removeAxis(axis);
    delete axis;
  }
  const WatchedProduct* product = Selected();
  if (product == nullptr) {
    chart->setTitle(QString());
    chart_->setAccessibleDescription(QString());
    return;
  }
  std::vector<PriceCheck> history;
  std::string error;
  auto store = WatchStore::Open(error);
  // Every product has its first check; a history found empty (removed by
  // another client meanwhile) draws nothing.
  if (!store || !store->History(product->id, history, error) || history.empty()) return;

  auto* days = new QDateTimeAxis();
  days->setFormat(QStringLiteral("MM-dd"));
  days->setTickCount(4);
  days->setTitleText(QStringLiteral("Day"));
  auto* prices = new QValueAxis();
  prices->setLabelFormat(QStringLiteral("%.0f"));
  prices->setTitleText(QStringLiteral("Low price"));
  chart->addAxis(days, Qt::AlignBottom);
  chart->addAxis(prices, Qt::AlignLeft);
  double low = 0, high = 0;
  bool first = true;
  int gaps = 0;
  for (const PriceCheck& c : history) gaps += c.found ? 0 : 1;
  for (const auto& run : HistoryRuns(history)) {
    auto* series = new QLineSeries();
    series->setColor(kLowPriceColor);
    series->setPointsVisible(true);
    for (const QPointF& p : run) {
      series->append(p);
      low = first ? p.y() : std::min(low, p.y());
      high = first ? p.y() : std::max(high, p.y());
      first = false;
    }
    chart->addSeries(series);
    series->attachAxis(days);
    series->attachAxis(prices);
  }
  const double span = std::max(1.0, (high - low) * 0.1);
  prices->setRange(std::max(0.0, low - span), high + span);
  // Round steps (80,000, 90,000) rather than the range cut in equal parts.
  prices->applyNiceNumbers();
  const qint64 from = history.front().time * 1000, to = history.back().time * 1000;
  days->setRange(QDateTime::fromMSecsSinceEpoch(from - 3600000),
                 QDateTime::fromMSecsSinceEpoch(std::max(to, from) + 3600000));
  chart->setTitle(ToQString(product->title));
  chart_->setAccessibleDescription(
      QStringLiteral("%1 checks from %2 to %3; lowest %4, highest %5; not found %6 times")
          .arg(history.size())
          .arg(LocalTime(history.front().time), LocalTime(history.back().time))
          .arg(Price(static_cast<int32_t>(low)), Price(static_cast<int32_t>(high)))
          .arg(gaps));
}

void WatchWindow::RemoveSelected() {
  const WatchedProduct* product = Selected();
  if (product == nullptr || Refreshing()) return;
  std::string error;
  bool removed = false;
  auto store = WatchStore::Open(error);
  if (!store || !store->Remove(product->id, removed, error)) {
    status_->setText(QString::fromStdString(error));
    return;
  }
  status_->setText(QStringLiteral("Removed: ") + ToQString(product->title));
  Reload();
}

void WatchWindow::OpenSelected() {
  if (const WatchedProduct* product = Selected()) OpenWebPage(this, product->link);
}

void WatchWindow::StartRefresh() {
  if (Refreshing() || products_.empty()) return;
  stop_ = false;
  refresh_->setEnabled(false);
  remove_->setEnabled(false);
  progress_->setRange(0, static_cast<int>(products_.size()));
  progress_->setValue(0);
  progress_->show();
  status_->setText(QStringLiteral("Checking prices\u2026 (Esc stops)"));
  QPointer<WatchWindow> self(this);
  worker_ = std::thread([this, self] {
    RefreshOptions options;
    options.stop = &stop_;
    options.progress = [self](size_t done, size_t) {
      QMetaObject::invokeMethod(
          self,
          [self, done] {
            if (self) self->progress_->setValue(static_cast<int>(done));
          },
          Qt::QueuedConnection);
    };
    RefreshReport report = RefreshWatchedProducts(options);
    // Off the UI thread: a notification service that is slow to answer
    // must not freeze the window.
    if (!report.stopped) NotifyAlerts(report.outcomes);
    QMetaObject::invokeMethod(
        self,
        [self, report = std::move(report)] {
          if (self) self->RefreshFinished(report);
        },
        Qt::QueuedConnection);
  });
}

void WatchWindow::StopRefresh() {
  if (!Refreshing()) return;
  stop_ = true;
  status_->setText(QStringLiteral("Stopping\u2026"));
}

void WatchWindow::RefreshFinished(const RefreshReport& report) {
  if (worker_.joinable()) worker_.join();
  progress_->hide();
  refresh_->setEnabled(true);
  int drops = 0, changes = 0;
  for (const CheckOutcome& o : report.outcomes) {
    drops += o.alert == AlertKind::kDrop || o.alert == AlertKind::kTargetReached ? 1 : 0;
    changes += o.Changed() ? 1 : 0;
  }
  QString text = QStringLiteral("Checked %1 of %2").arg(report.checked).arg(report.total);
  if (report.stopped) text += QStringLiteral(" (stopped)");
  text += QStringLiteral(": %1 changed, %2 dropped.").arg(changes).arg(drops);
  for (const CheckOutcome& o : report.outcomes) {
    if (o.alert != AlertKind::kDrop && o.alert != AlertKind::kTargetReached) continue;
    text += QStringLiteral("\n\u25BC %1: %2 \u2192 %3")
                .arg(ToQString(o.title), Price(o.previousLowPrice), Price(o.check.lowPrice));
  }
  for (const std::string& message : report.messages) text += "\n" + QString::fromStdString(message);
  Reload();
  status_->setText(text);
}

void WatchProduct(QWidget* owner, const ProductRecord* record) {
  if (record == nullptr) {
    QMessageBox::warning(owner, QStringLiteral("Warning"),
                         QStringLiteral("Select a product in the list first."));
    return;
  }
  const WatchStore::NewProduct product = WatchStore::NewProduct::From(*record);
  std::string error;
  int64_t id = 0;
  auto store = WatchStore::Open(error);
  const auto added =
      store ? store->Add(product, UtcNow(), id, error) : WatchStore::AddResult::kFailed;
  switch (added) {
    case WatchStore::AddResult::kAdded:
      QMessageBox::information(owner, QStringLiteral("Watch"),
                               QStringLiteral("Watching \"%1\" at %2.")
                                   .arg(ToQString(product.title), Price(product.lowPrice)));
      break;
    case WatchStore::AddResult::kAlreadyWatched:
      QMessageBox::information(
          owner, QStringLiteral("Watch"),
          QStringLiteral("\"%1\" is watched already.").arg(ToQString(product.title)));
      break;
    default:
      QMessageBox::warning(owner, QStringLiteral("Error"), QString::fromStdString(error));
      return;
  }
  if (auto* window = owner->findChild<WatchWindow*>()) window->Reload();
}

WatchWindow* ShowWatchWindow(QWidget* owner) {
  auto* window = owner->findChild<WatchWindow*>();
  if (window == nullptr) window = new WatchWindow(owner);
  window->Reload();
  window->show();
  window->raise();
  window->activateWindow();
  return window;
}

}  // namespace quobble
