#include "wishlist/wish_list.h"

#include <sqlite3.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "search/search_state.h"
#include "wishlist/wish_database.h"

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
constexpr char kDeleteRow[] = "DELETE FROM WishList WHERE ID = ?";

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
  CloseWishDatabase(db);
  return false;
}

}  // namespace

int AddToWishList(SearchScreen& screen, bool* stored) {
  if (stored != nullptr) *stored = false;
  WaitCursorScope cursor(screen);
  sqlite3* db = OpenWishDatabase();
  if (db == nullptr) return 1;
  if (!EnsureTable(db)) return 1;

  // A failed begin leaves the insert to commit on its own.
  const bool begun = sqlite3_exec(db, kBegin, nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* insert = nullptr;
  // The v2 preparation: a failed step then says what happened ("database is
  // locked", "attempt to write a readonly database"), not "SQL logic error".
  sqlite3_prepare_v2(db, kInsert, -1, &insert, nullptr);

  const std::u16string query = ReadQueryText(screen);
  if (query.empty()) {
    // Closing ends the open transaction with nothing written.
    sqlite3_finalize(insert);
    CloseWishDatabase(db);
    cursor.Restore();
    screen.ShowMessage(std::u16string(kEmptyQueryWarning), kWarning);
    return -1;
  }

  // Bound as static: it must outlive the step and the finalize below.
  const std::string narrow(CutUtf8(Utf16ToUtf8(query), kMaxNarrowBytes));
  bool inserted = false;
  if (insert == nullptr) {
    ReportWishError("sqlite3_prepare(INSERT)", db);
  } else {
    sqlite3_reset(insert);
    sqlite3_bind_text(insert, 1, narrow.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int64(insert, 2, 0);
    // Nothing is shown for a lost entry, but it must leave a trace.
    inserted = sqlite3_step(insert) == SQLITE_DONE;
    if (!inserted) ReportWishError("sqlite3_step(INSERT)", db);
  }
  const bool committed = sqlite3_exec(db, kCommit, nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!committed) ReportWishError("sqlite3_exec(COMMIT)", db);
  // Without a transaction of its own the insert committed by itself.
  if (stored != nullptr) *stored = inserted && (committed || !begun);
  sqlite3_finalize(insert);
  CloseWishDatabase(db);
  return 0;
}

int ShowWishList(SearchScreen& screen) {
  WaitCursorScope cursor(screen);
  sqlite3* db = OpenWishDatabase();
  if (db == nullptr) return 1;
  if (!EnsureTable(db)) return 1;

  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db, kSelectAll, kSelectAllLength, &select, nullptr);
  sqlite3_reset(select);

  int result = SQLITE_DONE;
  if (select == nullptr) {
    ReportWishError("sqlite3_prepare(SELECT)", db);
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
    if (result != SQLITE_DONE) ReportWishError("sqlite3_step(SELECT)", db);
  }
  sqlite3_finalize(select);
  CloseWishDatabase(db);
  return 0;
}

int RemoveFromWishList(int64_t id) {
  sqlite3* db = OpenWishDatabase();
  if (db == nullptr) return 1;
  if (!EnsureTable(db)) return 1;
  sqlite3_stmt* remove = nullptr;
  int result = 1;
  if (sqlite3_prepare_v2(db, kDeleteRow, -1, &remove, nullptr) != SQLITE_OK) {
    ReportWishError("sqlite3_prepare(DELETE)", db);
  } else {
    sqlite3_bind_int64(remove, 1, id);
    if (sqlite3_step(remove) == SQLITE_DONE)
      result = sqlite3_changes(db) > 0 ? 0 : -1;
    else
      ReportWishError("sqlite3_step(DELETE)", db);
  }
  sqlite3_finalize(remove);
  CloseWishDatabase(db);
  return result;
}

}  // namespace quobble
