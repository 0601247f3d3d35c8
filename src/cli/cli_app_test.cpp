#include "cli/cli_app.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "catalogue/embedded_catalogue.h"
#include "platform/text.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_data.h"
#include "tests/support/test_http_server.h"

namespace quobble {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

std::string Answer(const std::string& title, int start, int count) {
  std::vector<std::string> items;
  for (int i = 0; i < count; ++i)
    items.push_back(RssItem("row " + std::to_string(i), "<lprice>1000</lprice>"));
  return RssAnswer(title, 1000, start, count, items);
}

// Feeds `input` to the app through a pipe, as standard input would.
int RunWithInput(CliApp& app, const std::string& input) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  std::thread writer([&] {
    (void)!::write(fds[1], input.data(), input.size());
    ::close(fds[1]);
  });
  const int code = app.RunInteractive(fds[0], false);
  writer.join();
  ::close(fds[0]);
  return code;
}

struct CliFixture : ::testing::Test {
  TempRoot root;
  TestHttpServer server;
  std::ostringstream out, err;
  CliOptions options;

  CliFixture() { SetServiceEndpoint(Utf8ToUtf16(server.Url(""))); }
  ~CliFixture() override { SetServiceEndpoint(u""); }
  // Every search answers one item whose thumbnail is at `path`.
  void AnswerWithOneImage(const std::string& path) {
    std::string answer = Answer("Shop", 1, 0);
    answer.insert(answer.find("</channel>"),
                  "<item><title>t</title><image>" + server.Url(path) + "</image></item>");
    server.Route("/search", HttpResponse::Body(answer));
  }
  std::vector<std::string> Searches() {
    std::vector<std::string> found;
    for (const auto& r : server.Requests())
      if (r.target.rfind("/search?", 0) == 0) found.push_back(r.target);
    return found;
  }
};

TEST_F(CliFixture, OneSearchPrintsLabelsAndRows) {
  server.Route("/search", HttpResponse::Body(Answer("Shop", 1, 2)));
  options.query = "tv";
  options.sort = "asc";
  options.display = 30;
  CliApp app(options, out, err, false);
  ASSERT_TRUE(app.Prepare());
  EXPECT_EQ(app.RunOnce(), 0);
  EXPECT_EQ(out.str(),
            "Shop\nSearch Total Count : 1,000\nDisplay Range : 1~3\n\nrow 0\nLow : 1,000\n"
            "High : 0\n\n\nrow 1\nLow : 1,000\nHigh : 0\n\n");
  EXPECT_EQ(err.str(), "");
  ASSERT_EQ(Searches().size(), 1u);
  EXPECT_THAT(Searches()[0], HasSubstr("&display=30&start=1&target=shop&sort=asc"));
}

TEST_F(CliFixture, AFailedSearchExitsOneWithTheMessagesOnStderr) {
  server.Route("/search", HttpResponse::Status(503));
  options.query = "tv";
  options.json = true;
  options.start = 41;
  CliApp app(options, out, err, false);
  ASSERT_TRUE(app.Prepare());
  EXPECT_EQ(app.RunOnce(), 1);
  EXPECT_THAT(err.str(), HasSubstr(") = 503 \nError: XML DownloadFile Error\n"));
  EXPECT_THAT(out.str(), HasSubstr("{\"result\":-1,"));
  EXPECT_THAT(Searches().at(0), HasSubstr("&start=41&"));
}

TEST_F(CliFixture, CommandsKeepTheirState) {
  server.Route("/search", HttpResponse::Body(Answer("Shop", 11, 10)));
  CliApp app(options, out, err, false);
  ASSERT_TRUE(app.Prepare());
  for (const char* line : {"search 가", "sort dsc", "display 50", "next", "prev", "display 7",
                           "sort x", "frobnicate", "search"}) {
    EXPECT_TRUE(app.Execute(line));
    app.Settle();
  }
  EXPECT_FALSE(app.Execute("quit"));
  const auto searches = Searches();
  ASSERT_EQ(searches.size(), 3u);
  EXPECT_THAT(searches[0], HasSubstr("query=%ea%b0%80&display=10&start=1&target=shop&sort=sim"));
  EXPECT_THAT(searches[1], HasSubstr("query=%ea%b0%80&display=50&start=21&target=shop&sort=dsc"));
  EXPECT_THAT(searches[2], HasSubstr("&start=1&"));
  EXPECT_EQ(app.searchesShown(), 3);
  EXPECT_THAT(err.str(), HasSubstr("display takes 10, 30, 50, 75 or 100\n"));
  EXPECT_THAT(err.str(), HasSubstr("sort takes sim, date, asc or dsc\n"));
  EXPECT_THAT(err.str(), HasSubstr("unknown command \"frobnicate\""));
  EXPECT_THAT(err.str(), HasSubstr("Warning: 검색어를 넣어주세요.\n"));
}

TEST_F(CliFixture, TheLastLineNeedsNoNewline) {
  server.Route("/search", HttpResponse::Body(Answer("Shop", 1, 0)));
  CliApp app(options, out, err, false);
  ASSERT_TRUE(app.Prepare());
  EXPECT_EQ(RunWithInput(app, "\n  \nsearch tv"), 0);
  EXPECT_EQ(Searches().size(), 1u);
  EXPECT_EQ(app.searchesShown(), 1);
}

// A script's commands all run, in order, although each page's thumbnails
// are still downloading when the next command comes.
TEST_F(CliFixture, CommandsDuringTheDownloadRunInTheirTurn) {
  HttpResponse slow = HttpResponse::Body("jpeg");
  slow.delayBeforeHeadersMs = 150;
  server.Route("/img/a/b/c/1.jpg", slow);
  AnswerWithOneImage("/img/a/b/c/1.jpg");
  CliApp app(options, out, err, false);
  ASSERT_TRUE(app.Prepare());
  EXPECT_EQ(RunWithInput(app, "search one\nnext\ndisplay 30\nsearch three\nprev\n"), 0);
  const auto searches = Searches();
  ASSERT_EQ(searches.size(), 4u);
  EXPECT_THAT(searches[0], HasSubstr("query=%6f%6e%65&display=10&start=1&"));
  EXPECT_THAT(searches[1], HasSubstr("query=%6f%6e%65&display=10&start=1&"));  // 1 + display 0
  EXPECT_THAT(searches[2], HasSubstr("query=%74%68%72%65%65&display=30&start=1&"));
  EXPECT_THAT(searches[3], HasSubstr("query=%74%68%72%65%65&display=30&start=1&"));
  EXPECT_EQ(app.searchesShown(), 4);
  EXPECT_EQ(err.str(), "");
  EXPECT_FALSE(app.list().Busy());
}

TEST_F(CliFixture, QuitWhileDownloadingLeavesAtOnce) {
  HttpResponse stalled = HttpResponse::Body(std::string(10000, 'x'));
  stalled.stallAt = 10;
  stalled.stallMs = 20000;
  server.Route("/img/a/b/c/1.jpg", stalled);
  AnswerWithOneImage("/img/a/b/c/1.jpg");
  const auto before = Clock::now();
  {
    CliApp app(options, out, err, false);
    ASSERT_TRUE(app.Prepare());
    EXPECT_EQ(RunWithInput(app, "search one\nsearch two\nquit\nsearch never\n"), 0);
    EXPECT_TRUE(app.list().Busy());
  }
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(2));
  EXPECT_EQ(Searches().size(), 2u);
  EXPECT_EQ(err.str(), "");
}

// Many commands while slow thumbnails download: no race, no deadlock, the
// last command runs, and leaving mid-download is quick.
TEST(CliStressTest, FiveHundredCommandsWhileThumbnailsDownload) {
  TempRoot root;
  CatalogueOptions catalogueOptions;
  catalogueOptions.imageDelayMs = 15;
  std::string why;
  const auto catalogue = EmbeddedCatalogue::Start(catalogueOptions, &why);
  ASSERT_TRUE(catalogue) << why;
  SetServiceEndpoint(Utf8ToUtf16(catalogue->Endpoint()));

  std::ostringstream out, err;
  CliOptions options;
  options.json = true;
  auto app = std::make_unique<CliApp>(options, out, err, false);
  ASSERT_TRUE(app->Prepare());
  const char* commands[] = {"search monitor", "next",         "prev",      "sort asc",
                            "display 30",     "search 가방",  "sort date", "next",
                            "display 10",     "search phone", "sort dsc",  "prev"};
  for (int i = 0; i < 499; ++i) {
    app->Execute(commands[i % std::size(commands)]);
    app->Pump(-1, i % 5 == 0 ? 10 : 0);
  }
  app->Execute("search 모니터");
  app->Settle();
  EXPECT_EQ(err.str(), "");
  EXPECT_GE(app->searchesShown(), 2);
  EXPECT_THAT(Utf16ToUtf8(app->screen().title()), HasSubstr("모니터"));
  EXPECT_EQ(app->state().pendingCommand, 0);

  // A page that is not in the cache yet, then leave while it downloads.
  app->Execute("display 100");
  app->Execute("search 화이트");
  app->Pump(-1, 50);
  ASSERT_TRUE(app->list().Busy());
  const auto before = Clock::now();
  app.reset();
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(1));
  SetServiceEndpoint(u"");
}

}  // namespace
}  // namespace quobble
