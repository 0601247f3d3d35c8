#include "wishlist/wish_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "tests/support/recording_screen.h"
#include "tests/support/temp_root.h"

namespace quobble {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class WishListTest : public ::testing::Test {
 protected:
  std::string DatabasePath() const { return root_.Host(u"\\Wish"); }

  // Runs SQL on the database behind the operations' backs.
  void Exec(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error != nullptr ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
  }

  // Each result row as its columns' stored bytes joined by "|".
  std::vector<std::string> Query(const char* sql) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
        if (i > 0) row += '|';
        row.append(text != nullptr ? text : "", sqlite3_column_bytes(stmt, i));
      }
      rows.push_back(row);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
  }
  std::vector<std::string> Rows() { return Query("SELECT * FROM WishList ORDER BY ID"); }
  std::vector<std::string> Schema() {
    return Query("SELECT sql FROM sqlite_master WHERE name = 'WishList'");
  }

  int Add(const std::u16string& query) {
    screen_.SetQuery(query);
    return AddToWishList(screen_);
  }

  TempRoot root_;
  RecordingScreen screen_;
};

constexpr char kCreatedSchema[] =
    "CREATE TABLE WishList (ID INTEGER PRIMARY KEY, Name NVARCHAR(100), LowPrice bigint)";

TEST_F(WishListTest, TwoAddsAreListedInOrder) {
  EXPECT_EQ(Add(u"shoes"), 0);
  EXPECT_EQ(Add(u"shoes"), 0);
  EXPECT_THAT(Rows(), ElementsAre("1|shoes|0", "2|shoes|0"));
  EXPECT_THAT(screen_.Messages(), IsEmpty());

  screen_.ClearEvents();
  EXPECT_EQ(ShowWishList(screen_), 0);
  EXPECT_THAT(screen_.Events(),
              ElementsAre("wait cursor", "arrow cursor", "message Warning: [1, shoes, 0]",
                          "message Warning: [2, shoes, 0]"));
}

TEST_F(WishListTest, ListingAFreshRootCreatesTheTableAndShowsNothing) {
  ASSERT_FALSE(std::filesystem::exists(DatabasePath()));
  EXPECT_EQ(ShowWishList(screen_), 0);
  EXPECT_TRUE(std::filesystem::exists(DatabasePath()));
  EXPECT_THAT(Schema(), ElementsAre(kCreatedSchema));
  EXPECT_THAT(screen_.Events(), ElementsAre("wait cursor", "arrow cursor"));

  EXPECT_EQ(Add(u"bag"), 0);
  EXPECT_THAT(Rows(), ElementsAre("1|bag|0"));
}

TEST_F(WishListTest, EmptyQueryWarnsAndStoresNothing) {
  // The table is created even when nothing is added.
  EXPECT_EQ(Add(u""), -1);
  EXPECT_THAT(Schema(), ElementsAre(kCreatedSchema));
  EXPECT_EQ(Add(u"kept"), 0);
  // What follows a NUL is not part of the box's text.
  for (const std::u16string& query : {std::u16string(), std::u16string(u"\0abc", 4)}) {
    screen_.ClearEvents();
    EXPECT_EQ(Add(query), -1);
    EXPECT_THAT(screen_.Events(), ElementsAre("wait cursor", "read query", "arrow cursor",
                                              "message Warning: 검색어를 넣어주세요."));
  }
  EXPECT_THAT(Rows(), ElementsAre("1|kept|0"));
}

TEST_F(WishListTest, TextRoundTripsVerbatim) {
  const std::u16string queries[] = {
      u"'); DROP TABLE WishList;--", u"운동화 260", u"%s %d %n \"quoted\"",
      u"\U0001F45F sneakers",  // outside the BMP: a surrogate pair
  };
  for (const auto& query : queries) ASSERT_EQ(Add(query), 0);

  const auto rows = Rows();
  ASSERT_EQ(rows.size(), std::size(queries));
  std::vector<std::string> expected;
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i], std::to_string(i + 1) + "|" + Utf16ToUtf8(queries[i]) + "|0");
    expected.push_back("Warning: [" + std::to_string(i + 1) + ", " + Utf16ToUtf8(queries[i]) +
                       ", 0]");
  }
  EXPECT_EQ(ShowWishList(screen_), 0);
  EXPECT_EQ(screen_.Messages(), expected);
}

TEST_F(WishListTest, LongQueriesAreCutWithoutSplittingCharacters) {
  struct Case {
    std::u16string query;
    std::string stored;
  };
  const Case cases[] = {
      // 127 characters read, all of them fit in 127 bytes.
      {std::u16string(200, u'a'), std::string(127, 'a')},
      // Three bytes each: 42 whole syllables fit in 127 bytes.
      {std::u16string(127, u'가'),
       [] {
         std::string s;
         for (int i = 0; i < 42; ++i) s += "가";
         return s;
       }()},
      // The 127-character read ends inside a surrogate pair: the half is dropped.
      {std::u16string(126, u'x') + u"\U0001F45F", std::string(126, 'x')},
  };
  for (const auto& c : cases) ASSERT_EQ(Add(c.query), 0);
  const auto rows = Rows();
  ASSERT_EQ(rows.size(), std::size(cases));
  for (size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(rows[i], std::to_string(i + 1) + "|" + cases[i].stored + "|0");
}

TEST_F(WishListTest, ForeignTableStaysUnchangedAndTheAddLeavesATrace) {
  Exec("CREATE TABLE WishList (Item TEXT, Qty INTEGER); INSERT INTO WishList VALUES ('pen', 2)");
  const auto before = Schema();

  testing::internal::CaptureStderr();
  EXPECT_EQ(Add(u"shoes"), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("sqlite3_prepare(INSERT): "));
  EXPECT_THAT(err, HasSubstr("no column named Name"));
  EXPECT_THAT(screen_.Messages(), IsEmpty());
  EXPECT_EQ(Schema(), before);
  EXPECT_THAT(Query("SELECT * FROM WishList"), ElementsAre("pen|2"));
}

TEST_F(WishListTest, RejectedInsertReturnsZeroButLeavesATrace) {
  Exec(
      "CREATE TABLE WishList (ID INTEGER PRIMARY KEY, Name NVARCHAR(100) CHECK (length(Name) < "
      "4), LowPrice bigint)");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Add(u"too long"), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("sqlite3_step(INSERT): "));
  EXPECT_THAT(screen_.Messages(), IsEmpty());
  EXPECT_THAT(Rows(), IsEmpty());
  // The failed statement ended its transaction: the next add goes through.
  EXPECT_EQ(Add(u"ok"), 0);
  EXPECT_THAT(Rows(), ElementsAre("1|ok|0"));
}

// Another client holding the database for a moment delays the add; it is
// not lost.
TEST_F(WishListTest, AnAddWaitsOutABriefLockHeldByAnotherConnection) {
  ASSERT_EQ(ShowWishList(screen_), 0);  // the table exists
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  });
  testing::internal::CaptureStderr();
  EXPECT_EQ(Add(u"bag"), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  release.join();
  sqlite3_close(other);
  EXPECT_EQ(err, "");
  EXPECT_THAT(Rows(), ElementsAre("1|bag|0"));
}

// A commit that fails loses the entry like a failed step does, and leaves
// the same kind of trace.
TEST_F(WishListTest, AFailedCommitLeavesATrace) {
  ASSERT_EQ(ShowWishList(screen_), 0);
  Exec(
      "CREATE TRIGGER refuse AFTER INSERT ON WishList BEGIN SELECT RAISE(ROLLBACK, 'refused'); "
      "END");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Add(u"bag"), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("sqlite3_step(INSERT): "));
  EXPECT_THAT(err, HasSubstr("sqlite3_exec(COMMIT): "));
  EXPECT_THAT(Rows(), IsEmpty());
}

// The app keeps the add's result whatever happened to the row; a caller that
// must know (the terminal client's exit status) asks whether it was stored.
TEST_F(WishListTest, StoredSaysWhetherTheRowReachedTheFile) {
  struct Case {
    const char* name;
    const char* setup;
    bool stored;
  } cases[] = {
      {"plain", "", true},
      {"insert refused",
       "CREATE TABLE WishList (ID INTEGER PRIMARY KEY, Name NVARCHAR(100) CHECK (length(Name) < "
       "2), LowPrice bigint)",
       false},
      {"commit refused",
       "CREATE TABLE WishList (ID INTEGER PRIMARY KEY, Name NVARCHAR(100), LowPrice bigint);"
       "CREATE TRIGGER refuse AFTER INSERT ON WishList BEGIN SELECT RAISE(ROLLBACK, 'no'); END",
       false},
      {"foreign table", "CREATE TABLE WishList (Item TEXT)", false},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(DatabasePath());
    if (*c.setup != 0) Exec(c.setup);
    screen_.SetQuery(u"bag");
    bool stored = !c.stored;
    testing::internal::CaptureStderr();
    EXPECT_EQ(AddToWishList(screen_, &stored), 0) << c.name;
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(stored, c.stored) << c.name;
  }
}

TEST_F(WishListTest, ALinkPlantedAtTheDatabaseIsRefusedAndItsTargetUntouched) {
  const std::string target = root_.path() + "/elsewhere.db";
  Exec("CREATE TABLE WishList (ID INTEGER PRIMARY KEY, Name NVARCHAR(100), LowPrice bigint)");
  std::filesystem::rename(DatabasePath(), target);
  std::filesystem::create_symlink(target, DatabasePath());
  const auto before = std::filesystem::last_write_time(target);
  const auto size = std::filesystem::file_size(target);

  testing::internal::CaptureStderr();
  bool stored = true;
  EXPECT_EQ(AddToWishList(screen_, &stored), 1);
  EXPECT_EQ(ShowWishList(screen_), 1);
  EXPECT_EQ(RemoveFromWishList(1), 1);
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("unable to open database file"));
  EXPECT_FALSE(stored);
  EXPECT_EQ(std::filesystem::last_write_time(target), before);
  EXPECT_EQ(std::filesystem::file_size(target), size);
}

TEST_F(WishListTest, RemoveDeletesOneRowAndTellsAMissingOne) {
  ASSERT_EQ(Add(u"a"), 0);
  ASSERT_EQ(Add(u"b"), 0);
  EXPECT_EQ(RemoveFromWishList(1), 0);
  EXPECT_EQ(RemoveFromWishList(1), -1);
  EXPECT_EQ(RemoveFromWishList(99), -1);
  EXPECT_THAT(Rows(), ElementsAre("2|b|0"));
}

TEST_F(WishListTest, NoConnectionOrTransactionIsLeftOpen) {
  // The empty-box path returns with its transaction begun but unfinished.
  EXPECT_EQ(Add(u""), -1);
  EXPECT_EQ(Add(u"a"), 0);
  EXPECT_EQ(ShowWishList(screen_), 0);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE; COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

TEST_F(WishListTest, RelativeRootThatLooksLikeAUriIsStillAFolder) {
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(root_.path());
  ASSERT_TRUE(SetDeviceRoot("file:shelf?mode=memory"));
  EXPECT_EQ(Add(u"shoes"), 0);
  EXPECT_TRUE(std::filesystem::is_regular_file(root_.path() + "/file:shelf?mode=memory/Wish"));
  std::filesystem::current_path(cwd);
}

TEST_F(WishListTest, HostileRowsAreShownSafely) {
  // "[7, " takes units 0-3, so each pair starts on an even unit and the cut
  // after unit 254 would fall inside one.
  std::string pairs;
  for (int i = 0; i < 130; ++i) pairs += "\U0001F45F";
  Exec(
      "CREATE TABLE WishList (ID INTEGER PRIMARY KEY, Name NVARCHAR(100), LowPrice bigint);"
      "INSERT INTO WishList VALUES (1, NULL, 1e300);"
      "INSERT INTO WishList VALUES (2, 'cheap', -1e300);"
      "INSERT INTO WishList VALUES (3, 'word', 'not a number');"
      "INSERT INTO WishList VALUES (4, X'61FF62', 7.9);"
      "INSERT INTO WishList VALUES (5, 'x', -7.9);"
      "INSERT INTO WishList VALUES (6, printf('%.300c', 'n'), 0);"
      "INSERT INTO WishList VALUES (7, '" +
      pairs + "', 0);");
  EXPECT_EQ(ShowWishList(screen_), 0);
  const auto messages = screen_.Messages();
  ASSERT_EQ(messages.size(), 7u);
  EXPECT_EQ(messages[0], "Warning: [1, , 2147483647]");
  EXPECT_EQ(messages[1], "Warning: [2, cheap, -2147483648]");
  EXPECT_EQ(messages[2], "Warning: [3, word, 0]");
  EXPECT_EQ(messages[3], "Warning: [4, a\uFFFDb, 7]");
  EXPECT_EQ(messages[4], "Warning: [5, x, -7]");
  // Rows longer than the display buffer are cut, and never inside a character.
  EXPECT_EQ(messages[5], "Warning: [6, " + std::string(255 - 4, 'n'));
  const std::u16string shown = Utf8ToUtf16(messages[6]);
  EXPECT_EQ(shown.size(), std::u16string(u"Warning: ").size() + 254);
  EXPECT_EQ(shown.find(u'\uFFFD'), std::u16string::npos);
}

struct BrokenStore {
  const char* name;
  const char* error;
  void (*breakIt)(const std::string& root, const std::string& database);
};

class WishListBrokenStoreTest : public WishListTest,
                                public ::testing::WithParamInterface<BrokenStore> {};

TEST_P(WishListBrokenStoreTest, BothOperationsReportAndReturnOne) {
  GetParam().breakIt(root_.path(), DatabasePath());
  for (int (*operation)(SearchScreen&) :
       std::initializer_list<int (*)(SearchScreen&)>{&AddToWishList, &ShowWishList}) {
    screen_.SetQuery(u"shoes");
    screen_.ClearEvents();
    testing::internal::CaptureStderr();
    EXPECT_EQ(operation(screen_), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string(GetParam().error) + "\n");
    EXPECT_THAT(screen_.Events(), ElementsAre("wait cursor", "arrow cursor"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stores, WishListBrokenStoreTest,
    ::testing::Values(BrokenStore{"NotADatabase", "file is not a database",
                                  [](const std::string&, const std::string& db) {
                                    std::ofstream(db) << std::string(4096, 'G');
                                  }},
                      BrokenStore{"DatabaseIsAFolder", "unable to open database file",
                                  [](const std::string&, const std::string& db) {
                                    std::filesystem::create_directory(db);
                                  }},
                      BrokenStore{"RootIsGone", "unable to open database file",
                                  [](const std::string& root, const std::string&) {
                                    std::filesystem::remove_all(root);
                                  }},
                      BrokenStore{"RootIsAFile", "unable to open database file",
                                  [](const std::string& root, const std::string&) {
                                    std::filesystem::remove_all(root);
                                    std::ofstream(root) << "x";
                                  }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quobble
