#include "search/search_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "search/commands.h"
#include "tests/support/recording_screen.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_data.h"
#include "tests/support/test_http_server.h"

namespace quobble {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

std::string Answer(int total, int start, int display, const std::vector<std::string>& images) {
  std::vector<std::string> items;
  for (size_t i = 0; i < images.size(); ++i)
    items.push_back(RssItem("item " + std::to_string(i),
                            "<image>" + images[i] + "</image><lprice>100</lprice>"));
  return RssAnswer("Shop", total, start, display, items);
}

struct RunFixture : ::testing::Test {
  TempRoot root;
  TestHttpServer server;
  RecordingScreen screen;
  SearchState state;
  ProductList list{screen, std::u16string(kDataFolder)};

  RunFixture() {
    SetServiceEndpoint(Utf8ToUtf16(server.Url("")));
    state.dataFolder = kDataFolder;
    (void)CreateFolderPath(state.dataFolder);
    screen.SetQuery(u"abc");
  }
  ~RunFixture() override { SetServiceEndpoint(u""); }

  std::string Image(const std::string& name) { return server.Url("/img/a/b/" + name); }
  void AnswerWith(std::string body) {
    server.Route("/search", HttpResponse::Body(std::move(body)));
  }
  // The searches the service has seen, as their query strings.
  std::vector<std::string> Searches() {
    std::vector<std::string> out;
    for (const auto& r : server.Requests())
      if (r.target.rfind("/search?", 0) == 0) out.push_back(r.target.substr(8));
    return out;
  }
  void Finish(int count = 1) {
    ASSERT_TRUE(screen.WaitForDone(count));
    while (list.Busy()) std::this_thread::yield();
  }
  // Plays the UI thread's retry timer until it is stopped; returns when the
  // tick that ran the search came.
  Clock::time_point TickUntilStopped() {
    while (screen.timerRunning()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      RunTimerTick(screen, state, list, ID_RETRY_TIMER);
    }
    return Clock::now();
  }
};

TEST_F(RunFixture, ASearchReadsTheAnswerAndStartsTheThumbnails) {
  server.Route("/img/a/b/1.jpg", HttpResponse::Body("jpeg"));
  AnswerWith(Answer(30, 1, 10, {Image("1.jpg")}));
  EXPECT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), 0);
  Finish();
  ASSERT_THAT(Searches(), ElementsAre("key=" + Utf16ToUtf8(ApiKey()) +
                                      "&query=%61%62%63&display=10&start=1&target=shop&sort=sim"));
  EXPECT_EQ(state.pendingCommand, ID_SEARCH);
  EXPECT_EQ(state.total, 30);
  EXPECT_EQ(screen.title(), "Shop");
  EXPECT_EQ(screen.rowCount(), 1);
  EXPECT_EQ(Utf16ToUtf8(list.RecordAt(0)->ThumbPath()),
            Utf16ToUtf8(std::u16string(kDataFolder) + u"Images\\b\\1.jpg"));
  EXPECT_THAT(screen.Messages(), IsEmpty());
  const auto events = screen.Events();
  EXPECT_EQ(events.front(), "wait cursor");
  EXPECT_THAT(events, Contains("arrow cursor"));
}

// The service's headers travel with the answer's request, at the
// endpoint's own path, and with no thumbnail request, even one to the same
// host.
TEST_F(RunFixture, TheServiceHeadersGoWithTheSearchAlone) {
  SetServiceEndpoint(Utf8ToUtf16(server.Url("/api/v2/shop/")));
  SetServiceHeaders({"X-Client-Id: me", "X-Client-Secret: s3cret"});
  server.Route("/img/a/b/1.jpg", HttpResponse::Body("jpeg"));
  server.Route("/api/v2/shop", HttpResponse::Body(Answer(30, 1, 10, {Image("1.jpg")})));
  EXPECT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), 0);
  Finish();
  SetServiceHeaders({});
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_THAT(requests[0].target, ::testing::StartsWith("/api/v2/shop?key="));
  EXPECT_EQ(requests[0].Header("X-Client-Id"), "me");
  EXPECT_EQ(requests[0].Header("X-Client-Secret"), "s3cret");
  EXPECT_EQ(requests[1].target, "/img/a/b/1.jpg");
  EXPECT_EQ(requests[1].Header("X-Client-Id"), "");
  EXPECT_EQ(requests[1].Header("X-Client-Secret"), "");
}

// The query is cut to its 127 units at a character boundary: a pair that
// straddles the limit goes whole, never half of it as U+FFFD.
TEST_F(RunFixture, TheQueryLimitNeverSplitsACharacter) {
  AnswerWith(Answer(30, 1, 10, {}));
  const std::u16string head(126, u'a');
  const struct {
    std::u16string query;
    std::string encodedTail;  // what the query's encoding ends with
  } cases[] = {
      {head + u"\U0001F600", "%61"},            // the pair would take units 127-128
      {head + u"b\U0001F600", "%61%62"},        // the pair starts past the limit
      {u"\U0001F600" + head.substr(2), "%61"},  // 125 units: all of it
  };
  for (const auto& c : cases) {
    screen.SetQuery(c.query);
    ASSERT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), 0);
    Finish(static_cast<int>(&c - cases) + 1);
    const std::string search = Searches().back();
    const std::string query = search.substr(search.find("&query=") + 7);
    const std::string encoded = query.substr(0, query.find('&'));
    EXPECT_TRUE(encoded.ends_with(c.encodedTail)) << encoded;
    EXPECT_EQ(encoded.find("%ef%bf%bd"), std::string::npos);
  }
}

TEST_F(RunFixture, FailuresLeaveTheListEmptyAndTheLabelsAsTheyWere) {
  AnswerWith(Answer(30, 1, 10, {"", ""}));
  ASSERT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), 0);
  Finish();
  const struct {
    HttpResponse answer;
    std::vector<std::string> messages;
  } cases[] = {
      {HttpResponse::Status(500),
       {"error: [DownloadFile] HttpQueryInfo(", "Error: XML DownloadFile Error"}},
      {HttpResponse::Body(""), {"Error: Invalid XML File (parse_file failed)."}},
  };
  for (const auto& c : cases) {
    screen.ClearEvents();
    server.Route("/search", c.answer);
    EXPECT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), -1);
    EXPECT_EQ(list.RecordCount(), 0u);
    EXPECT_EQ(screen.rowCount(), 0);
    EXPECT_EQ(screen.totalText(), "30");
    EXPECT_EQ(screen.rangeText(), "1~11");
    EXPECT_EQ(state.total, 30);
    const auto messages = screen.Messages();
    ASSERT_EQ(messages.size(), c.messages.size());
    for (size_t i = 0; i < messages.size(); ++i)
      EXPECT_THAT(messages[i], ::testing::StartsWith(c.messages[i]));
    const auto events = screen.Events();
    EXPECT_EQ(events[events.size() - 2], "arrow cursor");  // before the last message
  }
}

// Each search reads only the answer it downloaded, however much shorter it
// is than the answers before it: an empty body is an unparsable answer, and
// a body the server cut short (no length, clean close) gives its own rows.
TEST_F(RunFixture, AShortAnswerAfterLongOnesShowsOnlyItsOwnRows) {
  const std::vector<std::string> noImages(100, "");
  state.pageSize = 100;
  for (int i = 0; i < 3; ++i) {
    AnswerWith(Answer(1000, 1, 100, noImages));
    ASSERT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), 0);
    Finish(i + 1);
    ASSERT_EQ(list.RecordCount(), 100u);
  }
  // What an older version left beside the answer must not be read either.
  std::ofstream(*MapDevicePath(std::u16string(kDataFolder) + u"GoodsDataTemp.xml.next"))
      << Answer(1000, 1, 100, noImages);

  screen.ClearEvents();
  AnswerWith("");
  EXPECT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), -1);
  EXPECT_EQ(list.RecordCount(), 0u);
  EXPECT_THAT(screen.Messages(), ElementsAre("Error: Invalid XML File (parse_file failed)."));

  const std::string full = Answer(1000, 1, 100, noImages);
  const size_t cut = full.find("<item>", full.size() / 3);
  HttpResponse shortAnswer = HttpResponse::Body(full.substr(0, cut));
  shortAnswer.framing = HttpResponse::Framing::kClose;
  server.Route("/search", shortAnswer);
  size_t ownRows = 0;
  for (size_t at = full.find("<item>"); at < cut; at = full.find("<item>", at + 1)) ++ownRows;
  ASSERT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), 0);
  Finish(4);
  EXPECT_EQ(list.RecordCount(), ownRows);
  EXPECT_LT(ownRows, 100u);
}

TEST_F(RunFixture, AnEmptyQueryClearsTheListBeforeTheWarning) {
  AnswerWith(Answer(30, 1, 10, {"", ""}));
  ASSERT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), 0);
  Finish();
  screen.ClearEvents();
  screen.SetQuery(u"");
  EXPECT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), -1);
  EXPECT_THAT(screen.Events(), ElementsAre("wait cursor", "rows 0", "read query", "arrow cursor",
                                           "message Warning: 검색어를 넣어주세요."));
  EXPECT_EQ(Searches().size(), 1u);
}

TEST_F(RunFixture, AnAnswerWithoutAChannelIsAnEmptyPage) {
  screen.SetTitleText(u"before");
  AnswerWith("<?xml version=\"1.0\"?><result><errorMessage>Invalid key</errorMessage></result>");
  EXPECT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), 0);
  Finish();
  EXPECT_THAT(screen.Messages(), IsEmpty());
  EXPECT_EQ(screen.title(), "before");
  EXPECT_EQ(list.RecordCount(), 0u);
}

TEST_F(RunFixture, ASearchDuringTheDownloadRunsOnceTheWorkerHasStopped) {
  HttpResponse slow = HttpResponse::Body("jpeg");
  slow.delayBeforeHeadersMs = 300;
  server.Route("/img/a/b/slow.jpg", slow);
  AnswerWith(Answer(100, 1, 10, {Image("slow.jpg"), Image("slow.jpg")}));
  ASSERT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), 0);
  ASSERT_TRUE(server.WaitForRequests(2));

  screen.ClearEvents();
  screen.SetQuery(u"second");
  EXPECT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), -1);
  EXPECT_THAT(screen.Events(), ElementsAre("wait cursor", "timer start"));
  EXPECT_EQ(list.RecordCount(), 2u);

  // The UI thread's timer, with the worker's end noted as it happens.
  std::thread watcher([&] { screen.WaitForDone(1); });
  Clock::time_point workerDone{};
  while (screen.timerRunning()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (workerDone == Clock::time_point{} && screen.doneCount() >= 1) workerDone = Clock::now();
    RunTimerTick(screen, state, list, ID_RETRY_TIMER);
  }
  const auto ran = Clock::now();
  watcher.join();
  EXPECT_LE(ran - workerDone, std::chrono::milliseconds(450));
  EXPECT_EQ(state.pendingCommand, 0);
  EXPECT_THAT(screen.Messages(), IsEmpty());
  const auto searches = Searches();
  ASSERT_EQ(searches.size(), 2u);
  EXPECT_THAT(searches[1], HasSubstr("query=%73%65%63%6f%6e%64"));
  EXPECT_EQ(list.RecordCount(), 2u);
  Finish(2);
}

// A screen that waits for the answer on a thread of its own, as a window
// does, and stops the wait once the request has reached the server.
class StoppingScreen : public RecordingScreen {
 public:
  explicit StoppingScreen(TestHttpServer& server) : server_(server) {}
  bool AwaitWork(const std::function<void(const std::atomic<bool>&)>& work) override {
    std::atomic<bool> stop{false};
    const size_t seen = server_.Requests().size();
    std::thread wait([&] { work(stop); });
    server_.WaitForRequests(seen + 1);
    stop.store(true);
    wait.join();
    return false;
  }

 private:
  TestHttpServer& server_;
};

// A stop while the answer downloads ends the search at once, says nothing,
// and keeps the answer file that was there.
TEST_F(RunFixture, AStoppedWaitShowsNothingAndKeepsTheOldAnswer) {
  AnswerWith(Answer(30, 1, 10, {"", ""}));
  ASSERT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), 0);
  Finish();
  const std::string before = ReadHostFile(root.Host(AnswerFilePath(state.dataFolder)));

  StoppingScreen stopping(server);
  stopping.SetQuery(u"abc");
  ProductList stoppingList(stopping, std::u16string(kDataFolder));
  HttpResponse slow = HttpResponse::Body(Answer(30, 1, 10, {""}));
  slow.delayBeforeHeadersMs = 10'000;
  server.Route("/search", slow);
  const auto start = Clock::now();
  EXPECT_EQ(RunPagingCommand(stopping, state, stoppingList, ID_SEARCH), -1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_THAT(stopping.Messages(), IsEmpty());
  EXPECT_EQ(stopping.Events().back(), "arrow cursor");
  EXPECT_EQ(stoppingList.RecordCount(), 0u);
  EXPECT_EQ(ReadHostFile(root.Host(AnswerFilePath(state.dataFolder))), before);
}

TEST_F(RunFixture, OnlyTheLastOfSeveralDeferredCommandsRuns) {
  HttpResponse slow = HttpResponse::Body("jpeg");
  slow.delayBeforeHeadersMs = 300;
  server.Route("/img/a/b/slow.jpg", slow);
  AnswerWith(Answer(100, 1, 10, {Image("slow.jpg")}));
  ASSERT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), 0);
  ASSERT_TRUE(server.WaitForRequests(2));

  EXPECT_EQ(RunPagingCommand(screen, state, list, ID_SEARCH), -1);
  EXPECT_EQ(RunPagingCommand(screen, state, list, ID_NEXT_PAGE), 0);
  TickUntilStopped();
  const auto searches = Searches();
  ASSERT_EQ(searches.size(), 2u);
  EXPECT_THAT(searches[1], HasSubstr("&start=11&"));
  Finish(2);
}

TEST_F(RunFixture, TimerTicksThatRunNothing) {
  EXPECT_FALSE(RunTimerTick(screen, state, list, 7));
  EXPECT_THAT(screen.Events(), IsEmpty());
  screen.StartRetryTimer();
  EXPECT_TRUE(RunTimerTick(screen, state, list, ID_RETRY_TIMER));  // nothing pending
  EXPECT_FALSE(screen.timerRunning());
  EXPECT_THAT(Searches(), IsEmpty());
}

}  // namespace
}  // namespace quobble
