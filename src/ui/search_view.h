#pragma once
#include <QRect>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>

#include "search/product_list.h"
#include "search/search_run.h"
#include "search/search_screen.h"
#include "search/search_state.h"
#include "ui/ui_bridge.h"
#include "ui/wait_thread.h"

class QAction;
class QEventLoop;
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
// to; the thumbnail worker reaches it through a UiBridge. At 480 pixels wide
// the controls sit where the phone had them; extra width goes to the query
// box and the list, extra height to the list.
class SearchView : public QWidget, public SearchScreen {
  Q_OBJECT

 public:
  // `area`: the screen's first geometry (the frame's client rectangle).
  SearchView(const QRect& area, QWidget* parent = nullptr);
  ~SearchView() override;

  // The screen's commands, fed by its controls and by the frame. Unknown ids
  // change nothing and return 0. A search, paging or retry asked for while
  // a search waits for its answer stops that one first, then runs.
  int OnCommand(int id, int code, intptr_t param);

  // Stops the search in flight (Esc), or the one waiting for the thumbnail
  // worker to end. The list stays as the search left it; nothing is said.
  void StopSearch();
  // True from the start of a search, paging or retry until it returns.
  bool SearchRunning() const { return searchRunning_; }

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
  // Says how a search ended, for screen readers; it takes no room on screen.
  QLabel* StatusLabel() const { return statusLabel_; }
  QProgressBar* ProgressBar() const { return progress_; }
  QListView* ListView() const { return listView_; }
  QAction* OpenProductAction() const { return openProduct_; }
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
  bool AwaitWork(const std::function<void(const std::atomic<bool>& stop)>& work) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CreateControls();
  void CreateQueryRow(const QFont& buttonFont);
  void CreateProgressBar();
  void CreateList();
  void NameControls();
  void ConnectCommands();
  void CreateKeys();
  void LayOut();
  void FitRowsToList();
  // Runs one search, paging or retry with the in-flight bookkeeping around
  // it; `run` gives the core's result.
  template <typename Run>
  int RunSearchStep(Run run);
  void RetryTick();
  void Announce(SearchOutcome outcome);
  void PageIfEnabled(int id);
  void ShowMessageNow(const QString& text, const QString& caption);
  void OpenProductLink(const QModelIndex& index);

  // Declared first so that it outlives everything the worker may reach.
  UiBridge bridge_;
  SearchState state_;
  ProductList list_;
  bool waitCursorShown_ = false;
  bool shutDown_ = false;
  bool searchRunning_ = false;
  // Raised by StopSearch; read by the thread the answer downloads on.
  std::atomic<bool> searchStop_{false};
  QEventLoop* waitLoop_ = nullptr;

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
  QLabel* statusLabel_ = nullptr;
  QListView* listView_ = nullptr;
  ProductRowModel* model_ = nullptr;
  ProductRowDelegate* delegate_ = nullptr;
  QAction* openProduct_ = nullptr;
  QTimer* retryTimer_ = nullptr;
  std::unique_ptr<DeferredMessages> paintMessages_;
  // A command that came while a search ran; it runs once that one returns.
  int deferredCommand_ = 0;
  // Declared last, so it ends first: it waits for a search's download before
  // anything that download may reach goes.
  WaitThread waiter_;
};

}  // namespace quobble
