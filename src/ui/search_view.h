#pragma once
#include <QRect>
#include <QWidget>
#include <cstdint>
#include <memory>

#include "search/product_list.h"
#include "search/search_screen.h"
#include "search/search_state.h"
#include "ui/ui_bridge.h"

class QLabel;
class QLineEdit;
class QListView;
class QModelIndex;
class QProgressBar;
class QPushButton;
class QTimer;

class QFont;

namespace quobble {

class DeferredMessages;
class ProductRowModel;
class ProductRowDelegate;

// Notification codes of the query box's commands.
inline constexpr int kQueryGotFocus = 0x0100;
inline constexpr int kQueryLostFocus = 0x0200;

// The search screen: query box, buttons, labels, progress bar and the virtual
// product list. It is the SearchScreen the search core and the wish list talk
// to; the thumbnail worker reaches it through a UiBridge.
class SearchView : public QWidget, public SearchScreen {
  Q_OBJECT

 public:
  // `area` is the frame's client rectangle; the controls are placed for it
  // once and stay where they are when the screen is resized.
  SearchView(const QRect& area, QWidget* parent = nullptr);
  ~SearchView() override;

  // The screen's commands, fed by its controls and by the frame. Unknown ids
  // change nothing and return 0.
  int OnCommand(int id, int code, intptr_t param);

  // Releases a worker waiting on this screen and waits for it to end. Safe to
  // call more than once; the screen shows nothing afterwards.
  void Shutdown();

  SearchState& State() { return state_; }
  ProductList& List() { return list_; }

  QLineEdit* QueryEdit() const { return queryEdit_; }
  QPushButton* SearchButton() const { return searchButton_; }
  QPushButton* PreviousButton() const { return prevButton_; }
  QPushButton* NextButton() const { return nextButton_; }
  QLabel* TitleLabel() const { return titleLabel_; }
  QLabel* TotalLabel() const { return totalLabel_; }
  QLabel* RangeLabel() const { return rangeLabel_; }
  QLabel* CountCaption() const { return countCaption_; }
  QLabel* RangeCaption() const { return rangeCaption_; }
  QProgressBar* ProgressBar() const { return progress_; }
  QListView* ListView() const { return listView_; }
  QTimer* RetryTimer() const { return retryTimer_; }

  // SearchScreen.
  std::u16string ReadQuery() override;
  void SetTitleText(const std::u16string& text) override;
  void SetTotalText(const std::u16string& text) override;
  void SetRangeText(const std::u16string& text) override;
  void EnablePrevious(bool enabled) override;
  void EnableNext(bool enabled) override;
  bool InsertRow(int index) override;
  void SetRowCount(int count) override;
  void ShowMessage(const std::u16string& text, const std::u16string& caption) override;
  void WaitCursor() override;
  void ArrowCursor() override;
  void StartRetryTimer() override;
  void StopRetryTimer() override;
  void Progress(int percent) override;
  void ProgressDone() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls(const QRect& area);
  void CreateQueryRow(const QFont& buttonFont);
  void CreateProgressBar();
  void CreateList(const QRect& area);
  void ConnectCommands();
  void ShowMessageNow(const QString& text, const QString& caption);
  void OpenProductLink(const QModelIndex& index);
  void RedrawRows();

  // Declared first so that it outlives everything the worker may reach.
  UiBridge bridge_;
  SearchState state_;
  ProductList list_;
  bool waitCursorShown_ = false;
  bool shutDown_ = false;

  QLineEdit* queryEdit_ = nullptr;
  QPushButton* searchButton_ = nullptr;
  QLabel* countCaption_ = nullptr;
  QLabel* totalLabel_ = nullptr;
  QLabel* rangeCaption_ = nullptr;
  QLabel* rangeLabel_ = nullptr;
  QPushButton* nextButton_ = nullptr;
  QPushButton* prevButton_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* titleLabel_ = nullptr;
  QListView* listView_ = nullptr;
  ProductRowModel* model_ = nullptr;
  ProductRowDelegate* delegate_ = nullptr;
  QTimer* retryTimer_ = nullptr;
  std::unique_ptr<DeferredMessages> paintMessages_;
};

}  // namespace quobble
