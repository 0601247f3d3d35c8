#pragma once
#include <QPointF>
#include <QWidget>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "search/product_record.h"
#include "watch/watch_refresh.h"
#include "watch/watch_store.h"

class QChartView;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace quobble {

// The runs of a price history the chart draws as lines: each found check
// is a point (milliseconds since 1970, low price); a "not found" check ends
// a run, so the chart shows a gap there instead of a price nobody saw.
std::vector<std::vector<QPointF>> HistoryRuns(const std::vector<PriceCheck>& history);

// "▼ 2,120 (-21.1%)" from the price when added to the latest price seen;
// "–" when it has not moved. `direction` is -1, 0 or 1.
QString ChangeText(int32_t from, int32_t to, int* direction = nullptr);

// "Watched products": one row per product (thumbnail, title, last low price,
// the change since it was added, when last checked), the price history of
// the selected product, and Refresh, Remove and Open product page. A refresh
// runs on a thread of its own, one request at a time; Esc stops it.
class WatchWindow : public QWidget {
  Q_OBJECT

 public:
  explicit WatchWindow(QWidget* parent = nullptr);
  // Stops a refresh in flight and waits for it.
  ~WatchWindow() override;

  // Reads the products again from the database.
  void Reload();
  void StartRefresh();
  void StopRefresh();
  bool Refreshing() const { return worker_.joinable(); }

  QTableWidget* Table() const { return table_; }
  QChartView* Chart() const { return chart_; }
  QPushButton* RefreshButton() const { return refresh_; }
  QPushButton* RemoveButton() const { return remove_; }
  QPushButton* OpenButton() const { return open_; }
  QLabel* Status() const { return status_; }
  QProgressBar* Progress() const { return progress_; }
  const std::vector<WatchedProduct>& Products() const { return products_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void CreateControls();
  void FillRow(int row, const WatchedProduct& product);
  void ShowHistory();
  void RemoveSelected();
  void OpenSelected();
  void RefreshFinished(const RefreshReport& report);
  const WatchedProduct* Selected() const;

  QTableWidget* table_ = nullptr;
  QChartView* chart_ = nullptr;
  QPushButton* refresh_ = nullptr;
  QPushButton* remove_ = nullptr;
  QPushButton* open_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* progress_ = nullptr;
  std::vector<WatchedProduct> products_;
  std::atomic<bool> stop_{false};
  std::thread worker_;
};

// The frame's two commands. Watches the record (a message says what
// happened); opens (or raises) the one "Watched products" window.
void WatchProduct(QWidget* owner, const ProductRecord* record);
WatchWindow* ShowWatchWindow(QWidget* owner);

}  // namespace quobble
