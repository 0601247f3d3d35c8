#include "wishlist/wish_list.h"

#include <sqlite3.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "search/search_state.h"

namespace quobble {

namespace {

constexpr char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS WishList (ID INTEGER PRIMARY KEY, Name NVARCHAR(100), LowPrice "
    "bigint)";
constexpr char kBegin[] = "BEGIN transaction";
constexpr char kInsert[] = "INSERT INTO WishList (Name, LowPrice) VALUES ( ?, ? )";
constexpr char kCommit[] = "COMMIT transaction";
constexpr char kSelectAll[] = "SELECT * FROM WishList";
constexpr int kSelectAllLength = 22;
static_assert(sizeof(kSelectAll) - 1 == kSelectAllLength);

// The fixed buffers the stored data was always sized for: 128 wide
// characters for the query, 128 bytes for its narrow form, 256 wide
// characters for a displayed row, each with room for a terminator.
constexpr size_t kMaxNarrowBytes = 127;
constexpr size_t kMaxRowChars = 255;

const std::u16string kWarning = u"Warning";
constexpr int kBusyTimeoutMs = 5000;

// The wait cursor for one operation. Restoring twice shows the arrow once,
// so screens that stack override cursors stay balanced.
class WaitCursorScope {
 public:
  explicit WaitCursorScope(SearchScreen& screen) : screen_(screen) { screen_.WaitCursor(); }
  ~WaitCursorScope() { Restore(); }
  WaitCursorScope(const WaitCursorScope&) = delete;
  WaitCursorScope& operator=(const WaitCursorScope&) = delete;

  void Restore() {
    if (!waiting_) return;
    waiting_ = false;
    screen_.ArrowCursor();
  }

 private:
  SearchScreen& screen_;
  bool waiting_ = true;
};

// The query as the text box's buffer would hold it: at most 127 characters,
// ending at the first NUL like any C string.
std::u16string ReadQueryText(SearchScreen& screen) {
  std::u16string query = screen.ReadQuery();
  if (const size_t nul = query.find(u'\0'); nul != std::u16string::npos) query.resize(nul);
  return LimitQuery(query);
}

// A rogue or foreign database may hold any real here; converting one outside
// int's range is undefined, so it saturates (NaN reads as 0).
int TruncateToInt(double value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(value);
}

std::u16string FormatRow(int id, std::u16string_view name, int lowPrice) {
  std::u16string row = u"[";
  row += Utf8ToUtf16(std::to_string(id));
  row += u", ";
  row += name;
  row += u", ";
  row += Utf8ToUtf16(std::to_string(lowPrice));
  row += u"]";
  return std::u16string(CutUtf16(row, kMaxRowChars));
}

void ReportError(const char* what, sqlite3* db) {
  std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
}

// Every statement is finalized before this, so a failure here is a leak worth
// knowing about.
void CloseWish(sqlite3* db) {
  if (sqlite3_close(db) != SQLITE_OK) ReportError("sqlite3_close(Wish)", db);
}

// Opens "Wish" at the device root. A connection in an error state is still
// returned, as SQLite hands it back; only a missing root or an allocation
// failure yields none, and those are reported here.
sqlite3* OpenWishDatabase() {
  std::optional<std::string> path = MapDevicePath(u"\\Wish");
  if (!path) {
    std::fprintf(stderr, "sqlite3_open(Wish): no device root\n");
    return nullptr;
  }
  // A root given as a relative "file:..." would otherwise be read as a URI.
  if (path->front() != '/') path->insert(0, "./");
  sqlite3* db = nullptr;
  sqlite3_open(path->c_str(), &db);
  if (db == nullptr) {
    std::fprintf(stderr, "sqlite3_open(Wish): out of memory\n");
    return nullptr;
  }
  // Another client (the app and the terminal client share the folder) may
  // hold the database for a moment: wait for it rather than lose the entry.
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return db;
}

// Creates the table when missing. On failure writes the error to stderr and
// closes the connection.
bool EnsureTable(sqlite3* db) {
  char* errorText = nullptr;
  if (sqlite3_exec(db, kCreateTable, nullptr, nullptr, &errorText) == SQLITE_OK) {
    sqlite3_free(errorText);
    return true;
  }
  // A connection whose open failed refuses the statement without filling in
  // the error text; its own message says why.
  std::fprintf(stderr, "%s\n", errorText != nullptr ? errorText : sqlite3_errmsg(db));
  sqlite3_free(errorText);
  CloseWish(db);
  return false;
}

}  // namespace

int AddToWishList(SearchScreen& screen) {
  WaitCursorScope cursor(screen);
  sqlite3* db = OpenWishDatabase();
  if (db == nullptr) return 1;
  if (!EnsureTable(db)) return 1;

  // A failed begin leaves the insert to commit on its own.
  sqlite3_exec(db, kBegin, nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare(db, kInsert, -1, &insert, nullptr);

  const std::u16string query = ReadQueryText(screen);
  if (query.empty()) {
    // Closing ends the open transaction with nothing written.
    sqlite3_finalize(insert);
    CloseWish(db);
    cursor.Restore();
    screen.ShowMessage(std::u16string(kEmptyQueryWarning), kWarning);
    return -1;
  }

  // Bound as static: it must outlive the step and the finalize below.
  const std::string narrow(CutUtf8(Utf16ToUtf8(query), kMaxNarrowBytes));
  if (insert == nullptr) {
    ReportError("sqlite3_prepare(INSERT)", db);
  } else {
    sqlite3_reset(insert);
    sqlite3_bind_text(insert, 1, narrow.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int64(insert, 2, 0);
    // Nothing is shown for a lost entry, but it must leave a trace.
    if (sqlite3_step(insert) != SQLITE_DONE) ReportError("sqlite3_step(INSERT)", db);
  }
  if (sqlite3_exec(db, kCommit, nullptr, nullptr, nullptr) != SQLITE_OK)
    ReportError("sqlite3_exec(COMMIT)", db);
  sqlite3_finalize(insert);
  CloseWish(db);
  return 0;
}

int ShowWishList(SearchScreen& screen) {
  WaitCursorScope cursor(screen);
  sqlite3* db = OpenWishDatabase();
  if (db == nullptr) return 1;
  if (!EnsureTable(db)) return 1;

  sqlite3_stmt* select = nullptr;
  sqlite3_prepare(db, kSelectAll, kSelectAllLength, &select, nullptr);
  sqlite3_reset(select);

  int result = SQLITE_DONE;
  if (select == nullptr) {
    ReportError("sqlite3_prepare(SELECT)", db);
  } else {
    while ((result = sqlite3_step(select)) == SQLITE_ROW) {
      // A NULL name (a row written by another program) shows as empty text.
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(select, 1));
      const std::u16string wideName = Utf8ToUtf16(name != nullptr ? name : "");
      const int lowPrice = TruncateToInt(sqlite3_column_double(select, 2));
      const int id = sqlite3_column_int(select, 0);
      cursor.Restore();
      screen.ShowMessage(FormatRow(id, wideName, lowPrice), kWarning);
    }
    if (result != SQLITE_DONE) ReportError("sqlite3_step(SELECT)", db);
  }
  sqlite3_finalize(select);
  CloseWish(db);
  return 0;
}

}  // namespace quobble
