#include "ui/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <iterator>

#include "search/commands.h"
#include "search/search_state.h"
#include "ui/about_dialog.h"
#include "ui/qt_text.h"
#include "ui/search_view.h"
#include "ui/watch_window.h"

namespace quobble {

namespace {

// The accelerator table's editing commands: undo, cut, copy and paste.
constexpr int kUndo = 57643, kCut = 57635, kCopy = 57634, kPaste = 57637;
constexpr int kEditingCommands[] = {kUndo, kCut, kCopy, kPaste};
constexpr int kAcceleratorIds[][2] = {
    {Qt::Key_Q, ID_EXIT}, {Qt::Key_N, ID_NEW}, {Qt::Key_O, 57601}, {Qt::Key_S, 57603},
    {Qt::Key_Z, kUndo},   {Qt::Key_X, kCut},   {Qt::Key_C, kCopy}, {Qt::Key_V, kPaste},
};

// The "Option" menu's items, but "Exit".
bool IsMenuCommand(int command) {
  if (command == ID_ABOUT || command == ID_WISH_ADD || command == ID_WISH_SHOW ||
      command == ID_WATCH_PRODUCT || command == ID_WATCHED_PRODUCTS)
    return true;
  const auto choices = MenuChoices();
  return std::any_of(choices.begin(), choices.end(),
                     [command](const MenuChoice& choice) { return choice.commandId == command; });
}

bool IsEditingCommand(int command) {
  return std::find(std::begin(kEditingCommands), std::end(kEditingCommands), command) !=
         std::end(kEditingCommands);
}

// The window's size and place, kept between runs (in their own file: the
// settings key holds nothing).
QSettings WindowSettings() {
  return QSettings(QStringLiteral("quobble"), QStringLiteral("window"));
}

}  // namespace

// Consumes the frame's accelerator keys wherever the focus is inside the
// frame, before any widget or shortcut sees them; in the query box the
// editing keys (Ctrl+Z, X, C, V) are left to it.
// Dialogs and menus run their own loops, where the keys keep their usual
// meaning.
class AcceleratorFilter : public QObject {
 public:
  explicit AcceleratorFilter(MainFrame& frame) : QObject(&frame), frame_(frame) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride) return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != &frame_) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    const int command = AcceleratorCommand(key->key(), key->modifiers());
    if (command == 0) return false;
    // In a text box the editing keys edit, as a desktop user expects.
    if (IsEditingCommand(command) && qobject_cast<QLineEdit*>(widget)) return false;
    event->accept();
    if (type == QEvent::KeyPress && !key->isAutoRepeat()) frame_.OnCommand(command, 1, 0);
    return true;
  }

 private:
  MainFrame& frame_;
};

int AcceleratorCommand(int key, Qt::KeyboardModifiers modifiers) {
  const Qt::KeyboardModifiers relevant =
      modifiers & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier | Qt::MetaModifier);
  if (relevant != Qt::ControlModifier) return 0;
  for (const auto& entry : kAcceleratorIds)
    if (entry[0] == key) return entry[1];
  return 0;
}

void OpenSettingsKey() {
  QSettings settings(QStringLiteral("WTL"), QStringLiteral("Quobble"));
  const QFileInfo file(settings.fileName());
  if (file.exists()) return;
  // QSettings writes a file only when it holds a value; the key is made
  // empty by hand.
  QDir().mkpath(file.absolutePath());
  QFile empty(file.absoluteFilePath());
  if (empty.open(QIODevice::WriteOnly | QIODevice::Append)) empty.close();
}

MainFrame::MainFrame(QWidget* parent)
    : QMainWindow(parent), markedPageSize_(ID_DISPLAY_10), markedSort_(ID_SORT_SIM) {
  setWindowTitle(QStringLiteral("quobble"));
  setObjectName(QStringLiteral("quobble"));
  OpenSettingsKey();
  resize(kWidth, kHeight);
  setMinimumSize(kWidth, kMinimumHeight);
  CreateMenu();
  CreateSoftKeys();
  CreateMenuKeys();
  view_ = new SearchView(QRect(0, 0, kWidth, kHeight - kSoftKeyBarHeight), this);
  setCentralWidget(view_);
  AddWatchToList();
  accelerators_ = new AcceleratorFilter(*this);
  qApp->installEventFilter(accelerators_);
  quit_ = [](int code) { QCoreApplication::exit(code); };
}

void MainFrame::PlaceOnScreen() {
  const QSettings settings = WindowSettings();
  if (!restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray()))
    resize(kWidth, kHeight);
  const QScreen* shown = screen();
  if (!shown) return;
  // Room for the window's frame and title, which the window system adds.
  const QSize room = shown->availableGeometry().size() - QSize(0, kTitleAllowance);
  setMinimumSize(minimumSize().boundedTo(room));
  resize(size().boundedTo(room));
}

MainFrame::~MainFrame() {
  qApp->removeEventFilter(accelerators_);
  // The worker goes before anything it could reach.
  if (view_) view_->Shutdown();
}

QAction* MainFrame::AddCommand(QMenu* menu, const QString& label, int id, bool checkable) {
  QAction* action = menu->addAction(label);
  action->setData(id);
  action->setCheckable(checkable);
  actions_.insert(id, action);
  connect(action, &QAction::triggered, this, [this, action, id] {
    // Qt flips a checkable item by itself; the marks move only when the menu
    // next opens, so the flip is undone here.
    if (action->isCheckable()) action->setChecked(id == pageSizeInMenu_ || id == sortInMenu_);
    OnCommand(id);
  });
  return action;
}

void MainFrame::CreateMenu() {
  optionMenu_ = new QMenu(QStringLiteral("Option"), this);
  QMenu* sort = optionMenu_->addMenu(QStringLiteral("Sort"));
  QMenu* display = optionMenu_->addMenu(QStringLiteral("Display"));
  for (const MenuChoice& choice : MenuChoices()) {
    AddCommand(choice.group == MenuGroup::Sort ? sort : display, ToQString(choice.label),
               choice.commandId, true);
  }
  // The screen's two wish-list commands have no control of their own.
  AddCommand(optionMenu_, QStringLiteral("Add to Wish List"), ID_WISH_ADD, false);
  AddCommand(optionMenu_, QStringLiteral("Show Wish List"), ID_WISH_SHOW, false);
  AddCommand(optionMenu_, QStringLiteral("Watch this product"), ID_WATCH_PRODUCT, false);
  AddCommand(optionMenu_, QStringLiteral("Watched products"), ID_WATCHED_PRODUCTS, false);
  optionMenu_->addSeparator();
  AddCommand(optionMenu_, QStringLiteral("About"), ID_ABOUT, false);
  AddCommand(optionMenu_, QStringLiteral("Exit"), ID_EXIT, false);
  connect(optionMenu_, &QMenu::aboutToShow, this, &MainFrame::UpdateCheckMarks);
}

void MainFrame::AddWatchToList() {
  // On the row's context menu, and Ctrl+D on the selected row.
  auto* watch = new QAction(QStringLiteral("Watch this product"), view_->ListView());
  watch->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
  watch->setShortcutContext(Qt::WidgetShortcut);
  view_->ListView()->setContextMenuPolicy(Qt::ActionsContextMenu);
  view_->ListView()->addAction(watch);
  connect(watch, &QAction::triggered, this, [this] { OnCommand(ID_WATCH_PRODUCT); });
}

void MainFrame::CreateSoftKeys() {
  auto* bar = new QToolBar(QStringLiteral("Soft keys"), this);
  bar->setObjectName(QStringLiteral("softKeyBar"));
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setContextMenuPolicy(Qt::PreventContextMenu);
  bar->setContentsMargins(0, 0, 0, 0);
  bar->layout()->setContentsMargins(0, 0, 0, 0);
  bar->layout()->setSpacing(0);
  bar->setFixedHeight(kSoftKeyBarHeight);
  bar->setStyleSheet(QStringLiteral("QToolBar { border: 0; padding: 0; spacing: 0; }"));

  auto* keys = new QWidget(bar);
  keys->setFixedHeight(kSoftKeyBarHeight);
  keys->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  auto* row = new QHBoxLayout(keys);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  actionKey_ = new QPushButton(QStringLiteral("Action"), keys);
  menuKey_ = new QPushButton(QStringLiteral("Menu"), keys);
  for (QPushButton* key : {actionKey_, menuKey_}) {
    key->setFlat(true);
    key->setFocusPolicy(Qt::NoFocus);
    key->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    QFont font = key->font();
    font.setBold(true);
    key->setFont(font);
    row->addWidget(key);
  }
  keys->setStyleSheet(
      QStringLiteral("QWidget { background: #2b2b2b; } QPushButton { color: white; border: 0; }"
                     " QPushButton:pressed { background: #4a4a4a; }"));
  bar->addWidget(keys);
  addToolBar(Qt::BottomToolBarArea, bar);
  // The bar's overflow button never shows (the keys always fit), but a
  // screen reader still finds it.
  if (auto* more = bar->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button")))
    more->setAccessibleName(QStringLiteral("More soft keys"));

  actionKey_->setAccessibleDescription(QStringLiteral("The left soft key; it does nothing"));
  menuKey_->setAccessibleDescription(QStringLiteral("Opens the Option menu (F10)"));
  connect(actionKey_, &QPushButton::clicked, this, [this] { OnCommand(ID_ACTION); });
  connect(menuKey_, &QPushButton::clicked, this, &MainFrame::OpenOptionMenu);
}

void MainFrame::CreateMenuKeys() {
  // The soft key's menu from the keyboard: F10, the Menu key and Shift+F10,
  // wherever the focus is in the window.
  auto* open = new QAction(QStringLiteral("Menu"), this);
  open->setShortcuts({QKeySequence(Qt::Key_F10), QKeySequence(Qt::Key_Menu),
                      QKeySequence(Qt::ShiftModifier | Qt::Key_F10)});
  open->setShortcutContext(Qt::WindowShortcut);
  addAction(open);
  connect(open, &QAction::triggered, this, [this] {
    OpenOptionMenu();
    // From the keyboard the first item is in hand at once, its sub-menu
    // still closed, as the arrow key would leave it.
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QCoreApplication::sendEvent(optionMenu_, &down);
  });
}

void MainFrame::OpenOptionMenu() {
  const QSize size = optionMenu_->sizeHint();
  const QPoint corner = menuKey_->mapToGlobal(QPoint(menuKey_->width() - size.width(), 0));
  optionMenu_->popup(QPoint(corner.x(), corner.y() - size.height()));
}

void MainFrame::UpdateCheckMarks() {
  const auto move = [this](int marked, int& inMenu) {
    if (marked == inMenu) return;
    if (QAction* old = MenuAction(inMenu)) old->setChecked(false);
    if (QAction* now = MenuAction(marked)) now->setChecked(true);
    inMenu = marked;
  };
  move(markedPageSize_, pageSizeInMenu_);
  move(markedSort_, sortInMenu_);
}

void MainFrame::OnCommand(int id, int code, intptr_t param) {
  switch (id) {
    case ID_EXIT:
      // Queued, as a posted close: the menu or key that asked has finished.
      QMetaObject::invokeMethod(this, "close", Qt::QueuedConnection);
      return;
    case ID_NEW:
    case ID_ACTION:
      return;
    default:
      break;
  }
  // A menu command stops the search in flight first, then runs; the keys
  // that do nothing stop nothing either.
  if (IsMenuCommand(id)) view_->StopSearch();
  switch (id) {
    case ID_ABOUT: {
      QWidget* owner = QApplication::activeWindow();
      AboutDialog about(owner ? owner : this);
      about.exec();
      return;
    }
    case ID_WISH_ADD:
    case ID_WISH_SHOW:
      view_->OnCommand(id, code, param);
      return;
    case ID_WATCH_PRODUCT: {
      const QModelIndex current = view_->ListView()->currentIndex();
      WatchProduct(this, current.isValid()
                             ? view_->List().RecordAt(static_cast<size_t>(current.row()))
                             : nullptr);
      return;
    }
    case ID_WATCHED_PRODUCTS:
      ShowWatchWindow(this);
      return;
    default:
      switch (view_->State().ApplyMenuCommand(id)) {
        case MenuGroup::PageSize:
          markedPageSize_ = id;
          break;
        case MenuGroup::Sort:
          markedSort_ = id;
          break;
        case MenuGroup::None:
          break;
      }
  }
}

void MainFrame::RaiseFromAnotherLaunch(const QString& words) {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
  SearchFor(words);
}

void MainFrame::SearchFor(const QString& words) {
  if (words.trimmed().isEmpty()) return;
  // From the event loop: the caller (a launch handing over, start-up) need
  // not wait for the answer.
  QTimer::singleShot(0, this, [this, words] {
    view_->QueryEdit()->setText(words);
    view_->OnCommand(ID_SEARCH, 0, 0);
  });
}

void MainFrame::closeEvent(QCloseEvent* event) {
  OpenSettingsKey();
  QSettings settings = WindowSettings();
  settings.setValue(QStringLiteral("geometry"), saveGeometry());
  event->accept();
  hide();
  // The window is gone for the user; the worker is stopped now so that the
  // process can end promptly.
  view_->Shutdown();
  if (quit_) quit_(1);
}

}  // namespace quobble
