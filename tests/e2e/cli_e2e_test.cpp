// quobble-cli as users run it: a process of its own against a quobble-catalogue
// process (or the catalogue it starts inside itself), with a device root of
// its own.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"

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

  Result Cli(std::vector<std::string> args, const std::string& input = "", bool embedded = false) {
    std::vector<std::string> all = {"--root", root_.path()};
    if (!embedded) all.insert(all.end(), {"--endpoint", endpoint_});
    all.insert(all.end(), args.begin(), args.end());
    ChildProcess child(kCli, all);
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

TEST_F(CliProcess, TheWishListOneShotForms) {
  EXPECT_EQ(Cli({"wish", "add", "큰", "TV"}).code, 0);
  const Result list = Cli({"wish", "list"});
  EXPECT_EQ(list.code, 0);
  EXPECT_EQ(list.err, "Warning: [1, 큰 TV, 0]\n");
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
