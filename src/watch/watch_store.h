#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "search/product_record.h"

namespace quobble {

// One look at a watched product's price. A product the service did not list
// is kept as "not found", never as a price of 0.
struct PriceCheck {
  int64_t time = 0;  // seconds since 1970-01-01 UTC
  bool found = false;
  int32_t lowPrice = 0;  // the answer's lprice, 0 when not found
  int32_t highPrice = 0;
};

// When a product's check is worth telling about.
enum class AlertRule {
  kDrop,    // the low price fell below the last price seen (the default)
  kTarget,  // the low price reached the target, once until it climbs well above it
  kChange,  // the low price moved either way
};

enum class AlertKind { kNone, kDrop, kRise, kTargetReached };

// "drop", "target" or "change": how the rule is stored and printed.
const char* AlertRuleName(AlertRule rule);

struct WatchedProduct {
  int64_t id = 0;
  std::u16string link;  // the product's identity
  std::u16string title;
  std::u16string imageUrl;
  AlertRule rule = AlertRule::kDrop;
  int32_t targetPrice = 0;      // kTarget only
  PriceCheck added;             // the check made when it was added
  PriceCheck last;              // the latest check, found or not
  bool seenSinceAdded = false;  // a later check found it
  int32_t lastLowPrice = 0;     // the latest price seen (found)
  int32_t lowestSeen = 0;
  int64_t checks = 0;
};

// What one check of a refresh found, beside what was known before it.
struct CheckOutcome {
  int64_t id = 0;
  std::u16string title;
  std::u16string link;
  PriceCheck check;
  bool hadPrice = false;  // a price had been seen before this check
  int32_t previousLowPrice = 0;
  bool wasFound = false;  // the check before this one found the product
  AlertKind alert = AlertKind::kNone;

  // The price or its presence changed since the check before.
  bool Changed() const {
    return check.found != wasFound || (check.found && check.lowPrice != previousLowPrice);
  }
};

// How far above its target a price must climb before the target can alert
// again: a price hovering around the target alerts once.
int32_t TargetRearmPrice(int32_t target);
// The alert a found or missing price gives under a rule. `armed` is the
// target's state, updated.
AlertKind DecideAlert(AlertRule rule, int32_t target, bool hadPrice, int32_t previousLow,
                      const PriceCheck& check, bool& armed);

// The watched products, kept in tables of their own in the "Wish" database
// beside the wish list (whose table is never touched), under a schema
// version (PRAGMA user_version) that each opening brings forward. One
// connection for the store's life, on one thread.
class WatchStore {
 public:
  // Null (and `error` set) when the database cannot be opened or brought to
  // this version: a file from a newer version is left alone.
  static std::unique_ptr<WatchStore> Open(std::string& error);
  ~WatchStore();
  WatchStore(const WatchStore&) = delete;
  WatchStore& operator=(const WatchStore&) = delete;

  // The schema version this code writes.
  static constexpr int kSchemaVersion = 1;

  struct NewProduct {
    std::u16string link, title, imageUrl;
    int32_t lowPrice = 0, highPrice = 0;
    AlertRule rule = AlertRule::kDrop;
    int32_t targetPrice = 0;

    // A search hit as it was shown, to be watched with the default rule.
    static NewProduct From(const ProductRecord& record) {
      return NewProduct{record.link, record.title, record.imageUrl, record.lowPrice,
                        record.highPrice};
    }
  };
  enum class AddResult { kAdded, kAlreadyWatched, kFailed };
  // Keeps the product and its price at `now` as the first check. `id` is
  // the new product's, or the one already watching the same link.
  [[nodiscard]] AddResult Add(const NewProduct& product, int64_t now, int64_t& id,
                              std::string& error);
  // Every watched product, in the order they were added.
  [[nodiscard]] bool List(std::vector<WatchedProduct>& out, std::string& error);
  // Every check of one product, the add first. False when it is not watched.
  [[nodiscard]] bool History(int64_t id, std::vector<PriceCheck>& out, std::string& error);
  // `removed` false when no product had this id.
  [[nodiscard]] bool Remove(int64_t id, bool& removed, std::string& error);
  // Keeps one check and decides its alert, in one transaction.
  [[nodiscard]] bool Record(int64_t id, const PriceCheck& check, CheckOutcome& outcome,
                            std::string& error);

 private:
  explicit WatchStore(sqlite3* db) : db_(db) {}
  bool Migrate(std::string& error);
  bool Exec(const char* sql, std::string& error);
  std::string Error(const char* what) const;

  sqlite3* db_;
};

// Seconds since 1970-01-01 UTC, now.
int64_t UtcNow();
// "2026-12-08T16:31:55Z".
std::string IsoTime(int64_t time);

}  // namespace quobble
