#pragma once
#include <QMainWindow>
#include <QMap>
#include <cstdint>
#include <functional>

class QAction;
class QMenu;
class QPushButton;

namespace quobble {

class SearchView;
class AcceleratorFilter;

// Creates the settings key ("WTL"/"Quobble") if it is missing. Nothing is
// ever stored in it; every start begins with the same choices.
void OpenSettingsKey();

// The accelerator command for a key press (Ctrl+Q, N, O, S, Z, X, C, V), or 0.
int AcceleratorCommand(int key, Qt::KeyboardModifiers modifiers);

// The application's one top-level window: the search screen above a soft-key
// bar ("Action", "Menu") whose "Menu" key opens the "Option" menu.
class MainFrame : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kWidth = 480;
  static constexpr int kHeight = 640;
  static constexpr int kSoftKeyBarHeight = 52;
  // The controls, one row of the list and the soft keys.
  static constexpr int kMinimumHeight = 200 + 122 + kSoftKeyBarHeight;
  // What the window system may add above the window: its title bar.
  static constexpr int kTitleAllowance = 40;

  explicit MainFrame(QWidget* parent = nullptr);
  ~MainFrame() override;

  // Menu items, soft keys and accelerators all end up here.
  void OnCommand(int id, int code = 0, intptr_t param = 0);

  // Called with the exit code once the frame has closed (a normal end).
  // By default it ends the application's event loop with that code.
  void SetQuitHandler(std::function<void(int)> quit) { quit_ = std::move(quit); }

  // A second launch announced itself: come to the front, and search its
  // words, if it gave any.
  void RaiseFromAnotherLaunch(const QString& words);
  // Puts `words` in the query box and searches them (from the event loop).
  // Empty words do nothing.
  void SearchFor(const QString& words);
  // The size and place the window had when it last closed, or the phone's
  // 480 × 640, in either case within the screen it opens on.
  void PlaceOnScreen();

  SearchView* View() const { return view_; }
  QMenu* OptionMenu() const { return optionMenu_; }
  QAction* MenuAction(int id) const { return actions_.value(id, nullptr); }
  QPushButton* ActionKey() const { return actionKey_; }
  QPushButton* MenuKey() const { return menuKey_; }
  int MarkedPageSizeCommand() const { return markedPageSize_; }
  int MarkedSortCommand() const { return markedSort_; }

  // Opens the "Option" menu above the "Menu" soft key.
  void OpenOptionMenu();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateMenu();
  void CreateSoftKeys();
  void CreateMenuKeys();
  // "Watch this product" on the product list's rows.
  void AddWatchToList();
  QAction* AddCommand(QMenu* menu, const QString& label, int id, bool checkable);
  // Moves the check marks to the marked commands, when they changed.
  void UpdateCheckMarks();

  SearchView* view_ = nullptr;
  QMenu* optionMenu_ = nullptr;
  QPushButton* actionKey_ = nullptr;
  QPushButton* menuKey_ = nullptr;
  QMap<int, QAction*> actions_;
  AcceleratorFilter* accelerators_ = nullptr;
  std::function<void(int)> quit_;
  int markedPageSize_;
  int pageSizeInMenu_ = 0;
  int markedSort_;
  int sortInMenu_ = 0;
};

}  // namespace quobble
