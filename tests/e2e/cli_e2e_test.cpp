// quobble-cli as users run it: a process of its own against a quobble-catalogue
// process (or the catalogue it starts inside itself), with a device root of
// its own.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_data.h"
#include "tests/support/test_http_server.h"

namespace {

namespace fs = std::filesystem;
using quobble::ChildProcess;
using quobble::TestExecutable;
using ::testing::HasSubstr;

const std::string kCli = TestExecutable("QUOBBLE_CLI_EXE", "/src/cli/quobble-cli");
const std::string kCatalogue =
    TestExecutable("QUOBBLE_CATALOGUE_EXE", "/src/catalogue/quobble-catalogue");

struct Result {
  int code;
  std::string out, err;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// One catalogue process for the whole suite.
class CliProcess : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    catalogue_ = new ChildProcess(kCatalogue, {"--port", "0"});
    ASSERT_TRUE(catalogue_->WaitForError("listening on ")) << catalogue_->err;
    std::smatch match;
    const std::regex address("listening on (http://[0-9.]+:[0-9]+)");
    ASSERT_TRUE(std::regex_search(catalogue_->err, match, address));
    endpoint_ = match[1];
  }
  static void TearDownTestSuite() {
    delete catalogue_;
    catalogue_ = nullptr;
  }

  Result Cli(std::vector<std::string> args, const std::string& input = "", bool embedded = false,
             const std::vector<std::string>& env = {}) {
    std::vector<std::string> all = {"--root", root_.path()};
    if (!embedded) all.insert(all.end(), {"--endpoint", endpoint_});
    all.insert(all.end(), args.begin(), args.end());
    ChildProcess child(kCli, all, env);
    const int code = child.Finish(input);
    return {code, child.out, child.err};
  }
  // Thumbnails the catalogue has served so far.
  static size_t ImagesServed() {
    catalogue_->Drain(150);  // the log of the last requests
    return Count(catalogue_->err, "GET /shop/img/");
  }
  size_t CachedFiles() {
    const fs::path images = fs::path(root_.path()) / "VOVo Vidav" / "quobble" / "Images";
    size_t files = 0;
    if (fs::exists(images))
      for (const auto& entry : fs::recursive_directory_iterator(images))
        files += entry.is_regular_file() ? 1 : 0;
    return files;
  }

  quobble::TempRoot root_;
  static inline ChildProcess* catalogue_ = nullptr;
  static inline std::string endpoint_;
};

TEST_F(CliProcess, ASearchPrintsThePageAndCachesItsThumbnails) {
  const size_t servedBefore = ImagesServed();
  const Result first = Cli({"monitor"});
  ASSERT_EQ(first.code, 0) << first.err;
  const auto lines = Lines(first.out);
  ASSERT_GE(lines.size(), 3u + 10 * 5);
  EXPECT_THAT(lines[0], HasSubstr("monitor"));
  EXPECT_THAT(lines[1], ::testing::MatchesRegex("Search Total Count : [0-9,]+"));
  EXPECT_EQ(lines[2], "Display Range : 1~11");
  EXPECT_EQ(lines[3], "");
  EXPECT_THAT(lines[5], ::testing::StartsWith("Low : "));
  EXPECT_THAT(lines[6], ::testing::StartsWith("High : "));
  EXPECT_THAT(lines[7], ::testing::StartsWith(endpoint_));
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(CachedFiles(), 10u);
  EXPECT_EQ(ImagesServed() - servedBefore, 10u);

  const Result second = Cli({"monitor"});
  ASSERT_EQ(second.code, 0) << second.err;
  EXPECT_EQ(second.out, first.out);
  EXPECT_EQ(ImagesServed() - servedBefore, 10u);  // all from the cache
}

TEST_F(CliProcess, SortDisplayAndStartShapeTheRequest) {
  const Result result =
      Cli({"--json", "--sort", "dsc", "--display", "30", "--start", "11", "monitor"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("\"start\":11,"));
  EXPECT_THAT(result.out, HasSubstr("\"display\":30,"));
  // High price first: the prices never rise down the page.
  std::vector<long> prices;
  const std::regex price("\"lowPrice\":([0-9]+)");
  for (auto it = std::sregex_iterator(result.out.begin(), result.out.end(), price);
       it != std::sregex_iterator(); ++it)
    prices.push_back(std::stol((*it)[1]));
  ASSERT_EQ(prices.size(), 30u);
  EXPECT_TRUE(std::is_sorted(prices.rbegin(), prices.rend()));
  EXPECT_EQ(Count(result.out, "\"thumbFile\":\"" + root_.path()), 30u);
}

TEST_F(CliProcess, AHangulQueryFindsHangulTitles) {
  const Result result = Cli({"--json", "--no-thumbnails", "모니터"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("'모니터'"));
  EXPECT_EQ(Count(result.out, "\"title\":\"") - 1, 10u);
  EXPECT_EQ(CachedFiles(), 0u);
}

TEST_F(CliProcess, InteractiveCommandsPageThroughTheAnswers) {
  const Result result =
      Cli({"--json"}, "search monitor\nsort asc\ndisplay 30\nnext\nwish add 모니터\nwish show\n");
  ASSERT_EQ(result.code, 0) << result.err;
  const auto pages = Lines(result.out);
  ASSERT_GE(pages.size(), 2u);
  EXPECT_THAT(pages.front(), HasSubstr("\"start\":1,"));
  // Whether "next" waited for the thumbnails or not, it paged from the first
  // answer with the new choices.
  EXPECT_THAT(pages.back(), HasSubstr("\"start\":11,"));
  EXPECT_THAT(pages.back(), HasSubstr("\"display\":30,"));
  catalogue_->Drain(150);
  EXPECT_THAT(catalogue_->err, HasSubstr("&display=30&start=11&target=shop&sort=asc"));
  EXPECT_THAT(result.err, HasSubstr("Warning: [1, 모니터, 0]\n"));
}

// A script's commands all run in order, none replaced by the next while the
// thumbnails of a page download.
TEST_F(CliProcess, AScriptsPagingCommandsEachShowTheirPage) {
  const Result result = Cli({}, "search 가방\nnext\nnext\nprev\n");
  ASSERT_EQ(result.code, 0) << result.err;
  std::vector<std::string> ranges;
  for (const std::string& line : Lines(result.out))
    if (line.rfind("Display Range : ", 0) == 0) ranges.push_back(line.substr(16));
  EXPECT_THAT(ranges, ::testing::ElementsAre("1~11", "11~21", "21~31", "11~21"));
}

TEST_F(CliProcess, TheWishListOneShotForms) {
  EXPECT_EQ(Cli({"wish", "add", "큰", "TV"}).code, 0);
  const Result list = Cli({"wish", "list"});
  EXPECT_EQ(list.code, 0);
  EXPECT_EQ(list.out, "[1, 큰 TV, 0]\n");
  EXPECT_EQ(list.err, "");
  EXPECT_TRUE(fs::exists(fs::path(root_.path()) / "Wish"));
}

TEST_F(CliProcess, FailuresAndMistakesSayWhy) {
  ChildProcess unreachable(kCli,
                           {"--root", root_.path(), "--endpoint", "http://127.0.0.1:1", "tv"});
  EXPECT_EQ(unreachable.Finish(), 1);
  EXPECT_THAT(unreachable.err, HasSubstr("error: [DownloadFile] InternetOpenUrl("));
  EXPECT_THAT(unreachable.err, HasSubstr("Error: XML DownloadFile Error\n"));

  const Result usage = Cli({"--display", "20", "tv"});
  EXPECT_EQ(usage.code, 2);
  EXPECT_THAT(usage.err, HasSubstr("--display takes 10, 30, 50, 75 or 100"));
  const Result help = Cli({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_THAT(help.out, HasSubstr("Usage: quobble-cli"));
  EXPECT_THAT(Cli({"search", "--empty"}).code, 2);
  const Result empty = Cli({}, "search\n");
  EXPECT_EQ(empty.code, 0);
  EXPECT_EQ(empty.err, "Warning: 검색어를 넣어주세요.\n");
}

TEST_F(CliProcess, WithoutAnEndpointItStartsItsOwnCatalogue) {
  const Result result = Cli({"--no-thumbnails", "monitor"}, "", true);
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("Display Range : 1~11\n"));
  EXPECT_THAT(result.out, ::testing::Not(HasSubstr(endpoint_)));
}

}  // namespace

// A service that wants a credential header: the client sends it from the
// command line or from a file (warned about when others may read it), and
// without it the service's refusal reaches the user.
TEST(CliCredentials, HeadersReachAServiceThatRequiresThem) {
  ChildProcess catalogue(kCatalogue,
                         {"--port", "0", "--require-header", "X-Client-Secret: s3cret"});
  ASSERT_TRUE(catalogue.WaitForError("listening on ")) << catalogue.err;
  std::smatch match;
  ASSERT_TRUE(
      std::regex_search(catalogue.err, match, std::regex("listening on (http://[0-9.]+:[0-9]+)")));
  const std::string endpoint = match[1];
  quobble::TempRoot root;
  const std::string file = root.path() + "/headers";
  std::ofstream(file) << "# for the shop\nX-Client-Secret: s3cret\n";

  const struct {
    std::vector<std::string> args;
    int mode;  // of the headers file
    int code;
    const char* err;  // what standard error says ("" for nothing)
  } cases[] = {
      {{}, 0600, 1, ") = 401 \nError: XML DownloadFile Error\n"},
      {{"--header", "X-Client-Secret: s3cret"}, 0600, 0, ""},
      {{"--headers-file", file}, 0600, 0, ""},
      {{"--headers-file", file}, 0644, 0, "may be read by other users"},
      {{"--header", "X-Client-Secret: wrong"}, 0600, 1, ") = 401 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ::chmod(file.c_str(), c.mode);
    std::vector<std::string> args = {"--root", root.path(), "--endpoint", endpoint,
                                     "--no-thumbnails"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("monitor");
    ChildProcess client(kCli, args);
    EXPECT_EQ(client.Finish(), c.code) << client.err;
    EXPECT_THAT(client.err, HasSubstr(c.err));
    if (c.code == 0) {
      EXPECT_THAT(client.out, HasSubstr("Display Range : 1~11"));
    }
  }
}

// The client against a scripted server on loopback: what interrupts it, runs
// beside it or drips to it must neither lose nor mix anything.
class CliAgainstScriptedServer : public ::testing::Test {
 protected:
  static constexpr size_t kPictureSize = 100'000;

  std::string Picture() const { return server_.Url("/p/q/r/pic.jpg"); }
  std::string Answer(const std::string& title, const std::string& image) const {
    return quobble::RssAnswer(title, 1, 1, 1,
                              {quobble::RssItem(title, "<image>" + image + "</image>")});
  }
  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& words) {
    std::vector<std::string> args = {"--root", root_.path(), "--endpoint", server_.Url("")};
    args.insert(args.end(), words.begin(), words.end());
    return std::make_unique<ChildProcess>(kCli, args);
  }
  std::vector<std::string> FilesBelow(const fs::path& folder) const {
    std::vector<std::string> files;
    if (fs::exists(folder))
      for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) files.push_back(fs::relative(entry, folder).string());
    return files;
  }
  fs::path Images() const { return fs::path(root_.path()) / "VOVo Vidav" / "quobble" / "Images"; }

  quobble::TempRoot root_;
  quobble::TestHttpServer server_;
};

// Ctrl-C (or a TERM) while a thumbnail stalls part-way: the client ends at
// once with 128 + the signal and leaves no partial file, so the next run
// fetches the picture again and caches it whole.
TEST_F(CliAgainstScriptedServer, AStopSignalLeavesNoPartialFileAndTheNextRunRefetches) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    fs::remove_all(Images());
    quobble::HttpResponse stalled = quobble::HttpResponse::Body(quobble::Pattern(kPictureSize));
    stalled.stallAt = 5000;
    stalled.stallMs = 30'000;
    server_.Route("/search", quobble::HttpResponse::Body(Answer("Shop", Picture())));
    server_.Route("/p/q/r/pic.jpg", stalled);
    const size_t before = server_.Requests().size();

    auto client = Start({"shop"});
    ASSERT_TRUE(server_.WaitForRequests(before + 2)) << "the answer, then the picture";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into the stall
    const auto sent = std::chrono::steady_clock::now();
    client->Signal(signal);
    EXPECT_EQ(client->Wait(5000), 128 + signal) << client->err;
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(1));
    EXPECT_THAT(FilesBelow(Images()), ::testing::IsEmpty());

    server_.Route("/p/q/r/pic.jpg", quobble::HttpResponse::Body(quobble::Pattern(kPictureSize)));
    auto again = Start({"shop"});
    ASSERT_EQ(again->Finish(), 0) << again->err;
    const std::string cached = quobble::ReadHostFile((Images() / "r" / "pic.jpg").string());
    EXPECT_EQ(cached.size(), kPictureSize);
    EXPECT_TRUE(cached == quobble::Pattern(kPictureSize));
  }
}

// Two clients on one data folder: the one whose answer arrives late still
// shows its own answer, not the one the other wrote meanwhile, and the
// answer file holds whichever was published last.
TEST_F(CliAgainstScriptedServer, TwoClientsOnOneFolderEachReadTheirOwnAnswer) {
  quobble::HttpResponse slow = quobble::HttpResponse::Body(Answer("Slow shop", ""));
  slow.stallAt = 40;
  slow.stallMs = 1500;
  server_.Enqueue(slow);
  server_.Enqueue(quobble::HttpResponse::Body(Answer("Fast shop", "")));

  auto first = Start({"--no-thumbnails", "one"});
  ASSERT_TRUE(server_.WaitForRequests(1));
  auto second = Start({"--no-thumbnails", "two"});
  ASSERT_EQ(second->Finish(), 0) << second->err;
  ASSERT_EQ(first->Finish(), 0) << first->err;
  EXPECT_THAT(second->out, HasSubstr("Fast shop"));
  EXPECT_THAT(first->out, HasSubstr("Slow shop"));
  EXPECT_THAT(first->out, ::testing::Not(HasSubstr("Fast shop")));
  // The first published last; nothing else stays beside the answer.
  const fs::path folder = fs::path(root_.path()) / "VOVo Vidav" / "quobble";
  EXPECT_EQ(FilesBelow(folder), std::vector<std::string>{"GoodsDataTemp.xml"});
  EXPECT_THAT(quobble::ReadHostFile((folder / "GoodsDataTemp.xml").string()),
              HasSubstr("Slow shop"));
}

// A thumbnail server that sends a byte every two seconds never times out;
// a new search stops that download instead of waiting for it.
TEST_F(CliAgainstScriptedServer, ANewSearchDoesNotWaitForADrippingThumbnail) {
  quobble::HttpResponse drip = quobble::HttpResponse::Body(quobble::Pattern(kPictureSize));
  drip.dripMs = 2000;
  server_.Route("/p/q/r/pic.jpg", drip);
  server_.Route("/search", quobble::HttpResponse::Body(Answer("First shop", Picture())));

  auto client = Start({});
  client->Write("search first\n");
  ASSERT_TRUE(client->WaitForOutput("First shop"));
  ASSERT_TRUE(server_.WaitForRequests(2)) << "the answer, then the picture";
  server_.Route("/search", quobble::HttpResponse::Body(Answer("Second shop", "")));
  const auto asked = std::chrono::steady_clock::now();
  client->Write("search second\n");
  ASSERT_TRUE(client->WaitForOutput("Second shop", 20'000));
  // The drip would take minutes; the page comes as soon as the stop lands.
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
  EXPECT_EQ(client->Finish("quit\n"), 0) << client->err;
  EXPECT_THAT(FilesBelow(Images()), ::testing::IsEmpty());
}

// The watch verbs on the built-in catalogue, moved from day to day.
TEST_F(CliProcess, WatchVerbsFollowAProductFromDayToDay) {
  const auto on = [&](const char* date, std::vector<std::string> args) {
    return Cli(std::move(args), "", true, {std::string("QUOBBLE_CATALOGUE_DATE=") + date});
  };
  const Result added = on("2026-03-01", {"watch", "add", "마우스", "2"});
  ASSERT_EQ(added.code, 0) << added.err;
  EXPECT_THAT(added.out, ::testing::StartsWith("watching 1\t"));
  EXPECT_THAT(added.out, HasSubstr("\thttp://127.0.0.1:8080/shop/product/"));
  EXPECT_THAT(on("2026-03-01", {"watch", "add", "마우스", "2"}).out,
              ::testing::StartsWith("already watched 1\t"));

  for (const char* date : {"2026-03-02", "2026-03-20"}) {
    const Result refreshed = on(date, {"watch", "refresh", "--json"});
    ASSERT_EQ(refreshed.code, 0) << refreshed.err;
    EXPECT_THAT(refreshed.out, ::testing::ContainsRegex("^\\[\\{\"id\":1,\"title\":"));
    EXPECT_THAT(refreshed.out, ::testing::ContainsRegex("\"alert\":\"[a-z]+\"\\}\\]\n$"));
  }
  const Result list = Cli({"watch", "list", "--json"});
  ASSERT_EQ(list.code, 0) << list.err;
  EXPECT_THAT(list.out, HasSubstr("\"firstPrice\":"));
  const Result history = Cli({"watch", "history", "1", "--csv"});
  ASSERT_EQ(history.code, 0) << history.err;
  const auto rows = Lines(history.out);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], "checked_at,found,low_price,high_price");
  EXPECT_THAT(rows[1], ::testing::ContainsRegex(
                           "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z,yes,[0-9]+,[0-9]+$"));

  // A service that cannot be reached: nothing checked, exit 1.
  const Result failed = Cli({"--endpoint", "http://127.0.0.1:1", "watch", "refresh"}, "", true);
  EXPECT_EQ(failed.code, 1);
  EXPECT_THAT(failed.err, HasSubstr("0 of 1 watched products checked"));

  EXPECT_EQ(Cli({"watch", "remove", "1"}).code, 0);
  EXPECT_EQ(Cli({"watch", "remove", "1"}).code, 1);
  EXPECT_EQ(Cli({"watch", "history", "1"}).code, 1);
  const std::vector<std::vector<std::string>> mistakes = {
      {"watch", "frob"},
      {"watch", "history", "x"},
      {"--csv", "watch", "list"},
      {"--target", "5", "--any-change", "watch", "add", "a"},
      {"wish", "remove"}};
  for (const auto& mistake : mistakes) EXPECT_EQ(Cli(mistake).code, 2) << mistake[1];
}

// A script must learn that its row was lost: another process held the
// database past the wait, so the add failed.
TEST_F(CliProcess, WishAddExitsOneWhenTheRowIsLostAndWishListPrintsToStdout) {
  ASSERT_EQ(Cli({"wish", "add", "shoes"}).code, 0);
  const Result list = Cli({"wish", "list"});
  EXPECT_EQ(list.out, "[1, shoes, 0]\n");
  EXPECT_EQ(list.err, "");

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((root_.path() + "/Wish").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const Result locked = Cli({"wish", "add", "bag"});
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(locked.code, 1);
  EXPECT_THAT(locked.err, HasSubstr("database is locked"));

  EXPECT_EQ(Cli({"wish", "remove", "1"}).code, 0);
  EXPECT_EQ(Cli({"wish", "remove", "1"}).code, 1);
  EXPECT_EQ(Cli({"wish", "list"}).out, "");
}
