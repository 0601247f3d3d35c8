#include "watch/watch_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "platform/device_fs.h"
#include "tests/support/recording_screen.h"
#include "tests/support/temp_root.h"
#include "wishlist/wish_list.h"

namespace quobble {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class WatchStoreTest : public ::testing::Test {
 protected:
  void Exec(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(root_.Host(u"\\Wish").c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error != nullptr ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
  }
  std::unique_ptr<WatchStore> Open() {
    std::string error;
    auto store = WatchStore::Open(error);
    EXPECT_TRUE(store) << error;
    return store;
  }
  static WatchStore::NewProduct Product(const std::u16string& link, int32_t low) {
    WatchStore::NewProduct p;
    p.link = link;
    p.title = u"Desk " + link;
    p.imageUrl = u"http://img/" + link + u".jpg";
    p.lowPrice = low;
    p.highPrice = low * 2;
    return p;
  }
  static PriceCheck Seen(int64_t time, int32_t low) { return PriceCheck{time, true, low, low * 2}; }
  static PriceCheck Missing(int64_t time) { return PriceCheck{time, false, 0, 0}; }

  TempRoot root_;
};

// A file made by the original holds only WishList, at schema 0.
TEST_F(WatchStoreTest, OpeningAnOriginalFileAddsTablesAndKeepsTheWishList) {
  Exec(
      "CREATE TABLE WishList (ID INTEGER PRIMARY KEY, Name NVARCHAR(100), LowPrice bigint);"
      "INSERT INTO WishList (Name, LowPrice) VALUES ('shoes', 0)");
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Open());  // a second opening finds the schema current
  RecordingScreen screen;
  EXPECT_EQ(ShowWishList(screen), 0);
  EXPECT_THAT(screen.Messages(), ElementsAre("Warning: [1, shoes, 0]"));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(root_.Host(u"\\Wish").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), WatchStore::kSchemaVersion);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

TEST_F(WatchStoreTest, AFileFromANewerVersionIsLeftAlone) {
  Exec("PRAGMA user_version = 99");
  std::string error;
  EXPECT_FALSE(WatchStore::Open(error));
  EXPECT_THAT(error, HasSubstr("newer"));
  Exec("CREATE TABLE WatchedProduct (x)");  // would fail had the tables been made
}

TEST_F(WatchStoreTest, AddCheckListHistoryAndRemove) {
  auto store = Open();
  std::string error;
  int64_t desk = 0, lamp = 0, again = 0;
  ASSERT_EQ(store->Add(Product(u"desk", 1000), 100, desk, error), WatchStore::AddResult::kAdded);
  ASSERT_EQ(store->Add(Product(u"lamp", 500), 100, lamp, error), WatchStore::AddResult::kAdded);
  EXPECT_EQ(store->Add(Product(u"desk", 9), 100, again, error),
            WatchStore::AddResult::kAlreadyWatched);
  EXPECT_EQ(again, desk);

  CheckOutcome outcome;
  ASSERT_TRUE(store->Record(desk, Seen(200, 800), outcome, error)) << error;
  EXPECT_EQ(outcome.alert, AlertKind::kDrop);
  EXPECT_TRUE(outcome.Changed());
  ASSERT_TRUE(store->Record(desk, Missing(300), outcome, error));
  EXPECT_EQ(outcome.alert, AlertKind::kNone);
  EXPECT_TRUE(outcome.Changed());
  // Back after a gap: compared with the last price seen, not with 0.
  ASSERT_TRUE(store->Record(desk, Seen(400, 900), outcome, error));
  EXPECT_EQ(outcome.alert, AlertKind::kNone);
  EXPECT_EQ(outcome.previousLowPrice, 800);
  EXPECT_FALSE(store->Record(12345, Seen(400, 1), outcome, error));

  std::vector<WatchedProduct> products;
  ASSERT_TRUE(store->List(products, error));
  ASSERT_EQ(products.size(), 2u);
  const WatchedProduct& p = products[0];
  EXPECT_EQ(p.link, u"desk");
  EXPECT_EQ(p.added.lowPrice, 1000);
  EXPECT_EQ(p.added.time, 100);
  EXPECT_EQ(p.last.time, 400);
  EXPECT_EQ(p.lastLowPrice, 900);
  EXPECT_EQ(p.lowestSeen, 800);
  EXPECT_EQ(p.checks, 4);
  EXPECT_FALSE(products[1].seenSinceAdded);

  std::vector<PriceCheck> history;
  ASSERT_TRUE(store->History(desk, history, error));
  ASSERT_EQ(history.size(), 4u);
  EXPECT_EQ(history[0].lowPrice, 1000);
  EXPECT_FALSE(history[2].found);
  EXPECT_EQ(history[2].lowPrice, 0);
  EXPECT_EQ(history[3].time, 400);

  bool removed = false;
  ASSERT_TRUE(store->Remove(desk, removed, error));
  EXPECT_TRUE(removed);
  ASSERT_TRUE(store->Remove(desk, removed, error));
  EXPECT_FALSE(removed);
  EXPECT_FALSE(store->History(desk, history, error));
  EXPECT_THAT(error, HasSubstr("no watched product"));
  // The link is free again.
  EXPECT_EQ(store->Add(Product(u"desk", 1), 500, again, error), WatchStore::AddResult::kAdded);
}

TEST(WatchAlerts, EachRuleOverASequenceOfChecks) {
  struct Case {
    const char* name;
    AlertRule rule;
    int32_t target;
    std::vector<int32_t> prices;  // -1: not found
    std::vector<AlertKind> alerts;
  };
  using enum AlertKind;
  const Case cases[] = {
      {"drop",
       AlertRule::kDrop,
       0,
       {1000, 900, 900, 950, -1, 940, 930},
       {kNone, kDrop, kNone, kNone, kNone, kDrop, kDrop}},
      {"change",
       AlertRule::kChange,
       0,
       {1000, 900, 900, 950, -1, 950},
       {kNone, kDrop, kNone, kRise, kNone, kNone}},
      // Reached once; hovering just above and below says nothing until the
      // price has climbed past the target by 5 %.
      {"target",
       AlertRule::kTarget,
       1000,
       {1200, 990, 1010, 995, 1100, 1000, 900},
       {kNone, kTargetReached, kNone, kNone, kNone, kTargetReached, kNone}},
  };
  for (const Case& c : cases) {
    bool armed = true, hadPrice = false;
    int32_t previous = 0;
    for (size_t i = 0; i < c.prices.size(); ++i) {
      const PriceCheck check{0, c.prices[i] >= 0, std::max(c.prices[i], 0), 0};
      EXPECT_EQ(DecideAlert(c.rule, c.target, hadPrice, previous, check, armed), c.alerts[i])
          << c.name << " check " << i;
      if (check.found) {
        hadPrice = true;
        previous = check.lowPrice;
      }
    }
  }
}

}  // namespace
}  // namespace quobble
