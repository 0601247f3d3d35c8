#include "watch/watch_store.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "platform/text.h"
#include "wishlist/wish_database.h"

namespace quobble {

namespace {

// Each step brings the schema from its index to the next version. Steps are
// only ever appended: a file keeps whatever an older version made.
constexpr const char* kMigrations[] = {
    // 0 -> 1: the watched products and every check of their prices.
    "CREATE TABLE WatchedProduct ("
    " ID INTEGER PRIMARY KEY,"
    " Link TEXT NOT NULL UNIQUE,"
    " Title TEXT NOT NULL,"
    " ImageUrl TEXT NOT NULL,"
    " AlertOn TEXT NOT NULL DEFAULT 'drop' CHECK (AlertOn IN ('drop', 'target', 'change')),"
    " TargetPrice INTEGER,"
    " TargetArmed INTEGER NOT NULL DEFAULT 1);"
    "CREATE TABLE PriceCheck ("
    " ID INTEGER PRIMARY KEY,"
    " ProductID INTEGER NOT NULL REFERENCES WatchedProduct (ID),"
    " CheckedAt INTEGER NOT NULL,"
    // NULL: the service did not list the product.
    " LowPrice INTEGER,"
    " HighPrice INTEGER);"
    "CREATE INDEX PriceCheckByProduct ON PriceCheck (ProductID, ID);",
};
static_assert(std::size(kMigrations) == WatchStore::kSchemaVersion);

constexpr char kListProducts[] =
    "SELECT p.ID, p.Link, p.Title, p.ImageUrl, p.AlertOn, p.TargetPrice,"
    " (SELECT COUNT(*) FROM PriceCheck c WHERE c.ProductID = p.ID),"
    " (SELECT MIN(LowPrice) FROM PriceCheck c WHERE c.ProductID = p.ID)"
    " FROM WatchedProduct p ORDER BY p.ID";
constexpr char kFirstCheck[] =
    "SELECT CheckedAt, LowPrice, HighPrice FROM PriceCheck WHERE ProductID = ? ORDER BY ID LIMIT 1";
constexpr char kLastCheck[] =
    "SELECT CheckedAt, LowPrice, HighPrice FROM PriceCheck WHERE ProductID = ? ORDER BY ID DESC "
    "LIMIT 1";
constexpr char kLastFound[] =
    "SELECT CheckedAt, LowPrice, HighPrice FROM PriceCheck WHERE ProductID = ? AND LowPrice IS NOT "
    "NULL ORDER BY ID DESC LIMIT 1";
constexpr char kHistory[] =
    "SELECT CheckedAt, LowPrice, HighPrice FROM PriceCheck WHERE ProductID = ? ORDER BY ID";
constexpr char kInsertCheck[] =
    "INSERT INTO PriceCheck (ProductID, CheckedAt, LowPrice, HighPrice) VALUES (?, ?, ?, ?)";

AlertRule RuleFrom(std::string_view text) {
  if (text == "target") return AlertRule::kTarget;
  if (text == "change") return AlertRule::kChange;
  return AlertRule::kDrop;
}

// A prepared statement, finalized on every way out.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }
  Statement& Bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& BindText(int index, const std::u16string& text) {
    const std::string utf8 = Utf16ToUtf8(text);
    sqlite3_bind_text(stmt_, index, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& BindNull(int index) {
    sqlite3_bind_null(stmt_, index);
    return *this;
  }
  int Step() { return stmt_ != nullptr ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::u16string Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return Utf8ToUtf16(text != nullptr ? text : "");
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Prices in the file may come from anywhere: they are held to 32 bits.
int32_t Price(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

PriceCheck CheckAt(const Statement& row) {
  PriceCheck check;
  check.time = row.Int(0);
  check.found = !row.IsNull(1);
  if (check.found) {
    check.lowPrice = Price(row.Int(1));
    check.highPrice = Price(row.Int(2));
  }
  return check;
}

// The one check `sql` selects for a product; false when there is none.
bool OneCheck(sqlite3* db, const char* sql, int64_t id, PriceCheck& out) {
  Statement query(db, sql);
  query.Bind(1, id);
  if (query.Step() != SQLITE_ROW) return false;
  out = CheckAt(query);
  return true;
}

// Rolls back on every way out that did not commit.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {
    // IMMEDIATE: the write lock is waited for here (busy timeout), not at a
    // later step where waiting could deadlock with another writer.
    begun_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~Transaction() {
    if (begun_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool begun() const { return begun_; }
  bool Commit() {
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    begun_ = false;
    return true;
  }

 private:
  sqlite3* db_;
  bool begun_ = false;
};

}  // namespace

const char* AlertRuleName(AlertRule rule) {
  switch (rule) {
    case AlertRule::kTarget:
      return "target";
    case AlertRule::kChange:
      return "change";
    default:
      return "drop";
  }
}

int32_t TargetRearmPrice(int32_t target) {
  const int64_t margin = std::max<int64_t>(1, target / 20);
  return static_cast<int32_t>(std::min<int64_t>(int64_t{target} + margin, INT32_MAX));
}

AlertKind DecideAlert(AlertRule rule, int32_t target, bool hadPrice, int32_t previousLow,
                      const PriceCheck& check, bool& armed) {
  if (!check.found) return AlertKind::kNone;
  switch (rule) {
    case AlertRule::kTarget:
      if (armed && check.lowPrice <= target) {
        armed = false;
        return AlertKind::kTargetReached;
      }
      if (!armed && check.lowPrice > TargetRearmPrice(target)) armed = true;
      return AlertKind::kNone;
    case AlertRule::kChange:
      if (!hadPrice || check.lowPrice == previousLow) return AlertKind::kNone;
      return check.lowPrice < previousLow ? AlertKind::kDrop : AlertKind::kRise;
    default:
      return hadPrice && check.lowPrice < previousLow ? AlertKind::kDrop : AlertKind::kNone;
  }
}

int64_t UtcNow() {
  return static_cast<int64_t>(std::time(nullptr));
}

std::string IsoTime(int64_t time) {
  const std::time_t when = static_cast<std::time_t>(time);
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::unique_ptr<WatchStore> WatchStore::Open(std::string& error) {
  sqlite3* db = OpenWishDatabase();
  if (db == nullptr) {
    error = "cannot open the database Wish";
    return nullptr;
  }
  std::unique_ptr<WatchStore> store(new WatchStore(db));
  if (!store->Migrate(error)) return nullptr;
  return store;
}

WatchStore::~WatchStore() {
  CloseWishDatabase(db_);
}

std::string WatchStore::Error(const char* what) const {
  return std::string(what) + ": " + sqlite3_errmsg(db_);
}

bool WatchStore::Exec(const char* sql, std::string& error) {
  char* text = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &text) == SQLITE_OK) return true;
  error = std::string("Wish: ") + (text != nullptr ? text : sqlite3_errmsg(db_));
  sqlite3_free(text);
  return false;
}

bool WatchStore::Migrate(std::string& error) {
  Transaction transaction(db_);
  if (!transaction.begun()) {
    error = Error("Wish");
    return false;
  }
  Statement version(db_, "PRAGMA user_version");
  if (version.Step() != SQLITE_ROW) {
    error = Error("Wish");
    return false;
  }
  const int64_t found = version.Int(0);
  if (found > kSchemaVersion) {
    error = "Wish was written by a newer quobble (schema " + std::to_string(found) +
            "; this one knows " + std::to_string(kSchemaVersion) + "); it is left as it is";
    return false;
  }
  if (found == kSchemaVersion) return true;
  for (int64_t step = std::max<int64_t>(found, 0); step < kSchemaVersion; ++step)
    if (!Exec(kMigrations[step], error)) return false;
  const std::string bump = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
  if (!Exec(bump.c_str(), error)) return false;
  if (!transaction.Commit()) {
    error = Error("Wish");
    return false;
  }
  return true;
}

WatchStore::AddResult WatchStore::Add(const NewProduct& product, int64_t now, int64_t& id,
                                      std::string& error) {
  Transaction transaction(db_);
  if (!transaction.begun()) {
    error = Error("Wish");
    return AddResult::kFailed;
  }
  Statement existing(db_, "SELECT ID FROM WatchedProduct WHERE Link = ?");
  existing.BindText(1, product.link);
  if (existing.Step() == SQLITE_ROW) {
    id = existing.Int(0);
    return AddResult::kAlreadyWatched;
  }
  Statement insert(db_,
                   "INSERT INTO WatchedProduct (Link, Title, ImageUrl, AlertOn, TargetPrice, "
                   "TargetArmed) VALUES (?, ?, ?, ?, ?, ?)");
  insert.BindText(1, product.link).BindText(2, product.title).BindText(3, product.imageUrl);
  sqlite3_bind_text(insert.get(), 4, AlertRuleName(product.rule), -1, SQLITE_STATIC);
  if (product.rule == AlertRule::kTarget)
    insert.Bind(5, product.targetPrice);
  else
    insert.BindNull(5);
  // A price already at the target when added is no news.
  insert.Bind(
      6, product.rule == AlertRule::kTarget && product.lowPrice <= product.targetPrice ? 0 : 1);
  if (insert.Step() != SQLITE_DONE) {
    error = Error("Wish");
    return AddResult::kFailed;
  }
  id = sqlite3_last_insert_rowid(db_);
  Statement check(db_, kInsertCheck);
  check.Bind(1, id).Bind(2, now).Bind(3, product.lowPrice).Bind(4, product.highPrice);
  if (check.Step() != SQLITE_DONE || !transaction.Commit()) {
    error = Error("Wish");
    return AddResult::kFailed;
  }
  return AddResult::kAdded;
}

bool WatchStore::List(std::vector<WatchedProduct>& out, std::string& error) {
  out.clear();
  Statement list(db_, kListProducts);
  int step;
  while ((step = list.Step()) == SQLITE_ROW) {
    WatchedProduct p;
    p.id = list.Int(0);
    p.link = list.Text(1);
    p.title = list.Text(2);
    p.imageUrl = list.Text(3);
    p.rule = RuleFrom(Utf16ToUtf8(list.Text(4)));
    p.targetPrice = Price(list.Int(5));
    p.checks = list.Int(6);
    p.lowestSeen = Price(list.Int(7));
    OneCheck(db_, kFirstCheck, p.id, p.added);
    OneCheck(db_, kLastCheck, p.id, p.last);
    PriceCheck lastFound;
    if (OneCheck(db_, kLastFound, p.id, lastFound)) p.lastLowPrice = lastFound.lowPrice;
    p.seenSinceAdded = p.checks > 1 && lastFound.time != 0;
    out.push_back(std::move(p));
  }
  if (step == SQLITE_DONE) return true;
  error = Error("Wish");
  return false;
}

bool WatchStore::History(int64_t id, std::vector<PriceCheck>& out, std::string& error) {
  out.clear();
  Statement history(db_, kHistory);
  history.Bind(1, id);
  int step;
  while ((step = history.Step()) == SQLITE_ROW) out.push_back(CheckAt(history));
  if (step != SQLITE_DONE) {
    error = Error("Wish");
    return false;
  }
  if (!out.empty()) return true;
  error = "no watched product has the ID " + std::to_string(id);
  return false;
}

bool WatchStore::Remove(int64_t id, bool& removed, std::string& error) {
  removed = false;
  Transaction transaction(db_);
  Statement checks(db_, "DELETE FROM PriceCheck WHERE ProductID = ?");
  Statement product(db_, "DELETE FROM WatchedProduct WHERE ID = ?");
  checks.Bind(1, id);
  product.Bind(1, id);
  if (!transaction.begun() || checks.Step() != SQLITE_DONE || product.Step() != SQLITE_DONE) {
    error = Error("Wish");
    return false;
  }
  removed = sqlite3_changes(db_) > 0;
  if (transaction.Commit()) return true;
  error = Error("Wish");
  return false;
}

bool WatchStore::Record(int64_t id, const PriceCheck& check, CheckOutcome& outcome,
                        std::string& error) {
  Transaction transaction(db_);
  Statement product(db_,
                    "SELECT Title, Link, AlertOn, TargetPrice, TargetArmed FROM WatchedProduct "
                    "WHERE ID = ?");
  product.Bind(1, id);
  if (!transaction.begun() || product.Step() != SQLITE_ROW) {
    error =
        transaction.begun() ? "no watched product has the ID " + std::to_string(id) : Error("Wish");
    return false;
  }
  outcome = CheckOutcome{};
  outcome.id = id;
  outcome.title = product.Text(0);
  outcome.link = product.Text(1);
  outcome.check = check;
  PriceCheck previous;
  outcome.hadPrice = OneCheck(db_, kLastFound, id, previous);
  outcome.previousLowPrice = previous.lowPrice;
  PriceCheck last;
  outcome.wasFound = OneCheck(db_, kLastCheck, id, last) && last.found;
  bool armed = product.Int(4) != 0;
  outcome.alert = DecideAlert(RuleFrom(Utf16ToUtf8(product.Text(2))), Price(product.Int(3)),
                              outcome.hadPrice, outcome.previousLowPrice, check, armed);

  Statement insert(db_, kInsertCheck);
  insert.Bind(1, id).Bind(2, check.time);
  if (check.found)
    insert.Bind(3, check.lowPrice).Bind(4, check.highPrice);
  else
    insert.BindNull(3).BindNull(4);
  Statement arm(db_, "UPDATE WatchedProduct SET TargetArmed = ? WHERE ID = ?");
  arm.Bind(1, armed ? 1 : 0).Bind(2, id);
  if (insert.Step() != SQLITE_DONE || arm.Step() != SQLITE_DONE || !transaction.Commit()) {
    error = Error("Wish");
    return false;
  }
  return true;
}

}  // namespace quobble
