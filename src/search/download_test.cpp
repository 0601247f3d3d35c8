#include "search/download.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_data.h"
#include "tests/support/test_http_server.h"

namespace quobble {
namespace {

using Framing = HttpResponse::Framing;

const std::u16string kTarget = u"\\out.bin";

struct Sink : MessageSink {
  std::vector<std::u16string> texts;
  std::vector<std::string> Utf8() const {
    std::vector<std::string> out;
    for (const auto& text : texts) out.push_back(Utf16ToUtf8(text));
    return out;
  }
  void ShowMessage(const std::u16string& text, const std::u16string& caption) override {
    EXPECT_EQ(caption, u"error");
    texts.push_back(text);
  }
};

class DownloadTest : public testing::Test {
 protected:
  DownloadTest() {
    session_ = InternetOpenW(u"QUOBBLE", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  }
  ~DownloadTest() override { InternetCloseHandle(session_); }

  int Fetch(const std::string& path, const DownloadNotify& notify = {},
            const std::atomic<bool>* cancel = nullptr, const std::u16string& target = kTarget) {
    return DownloadFile(session_, target, server_.WideUrl(path), 1, notify, cancel, sink_);
  }
  std::string Url(const std::string& path) const { return server_.Url(path); }
  std::string TargetHost() const { return root_.Host(kTarget); }
  bool TargetExists() const { return std::filesystem::exists(TargetHost()); }
  std::string TargetContent() const { return ReadHostFile(TargetHost()); }
  void PlantTarget(const std::string& content) { std::ofstream(TargetHost()) << content; }
  void EnqueuePattern(Framing framing) {
    HttpResponse r = HttpResponse::Body(Pattern(10'000));
    r.framing = framing;
    server_.Enqueue(r);
  }
  std::vector<std::string> FilesInRoot() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_.path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempRoot root_;
  TestHttpServer server_;
  Sink sink_;
  HINTERNET session_ = nullptr;
};

TEST_F(DownloadTest, NonSuccessStatusLeavesExistingFileAlone) {
  PlantTarget("previous");
  server_.Route("/missing", HttpResponse::Status(404, "nothing here"));
  EXPECT_EQ(Fetch("/missing"), 0);
  EXPECT_EQ(sink_.Utf8(), std::vector<std::string>{"[DownloadFile] HttpQueryInfo(" +
                                                   Url("/missing") + ") = 404 "});
  EXPECT_EQ(TargetContent(), "previous");
}

// The messages name the address with its secrets masked, and a request that
// runs out of time says so in plain words, with or without a length; the
// target stays as it was.
TEST_F(DownloadTest, MessagesMaskSecretsAndNameATimeout) {
  PlantTarget("previous");
  server_.Route("/missing", HttpResponse::Status(404));
  EXPECT_EQ(Fetch("/missing?key=s3cret&query=a"), 0);
  HttpResponse drip = HttpResponse::Body(Pattern(100));
  drip.dripMs = 100;
  HttpResponse dripNoLength = drip;
  dripNoLength.framing = Framing::kClose;
  server_.Route("/drip", drip);
  server_.Route("/drip-no-length", dripNoLength);
  SetInternetTimeout(1);
  EXPECT_EQ(Fetch("/drip?key=s3cret"), 0);
  EXPECT_EQ(Fetch("/drip-no-length"), 0);
  SetInternetTimeout(kDefaultInternetTimeoutSeconds);
  EXPECT_EQ(sink_.Utf8(),
            (std::vector<std::string>{
                "[DownloadFile] HttpQueryInfo(" + Url("/missing?key=\u2026&query=a") + ") = 404 ",
                "[DownloadFile] " + Url("/drip?key=\u2026") + " timed out (Error Code = 28)",
                "[DownloadFile] dwFileSize != dwRecv Download Failed",
                "[DownloadFile] " + Url("/drip-no-length") + " timed out (Error Code = 28)"}));
  EXPECT_EQ(TargetContent(), "previous");
}

// The search reads its own temporary file: it is whole and readable once
// fetched, and the target changes only at Publish. A download dropped after
// Fetch leaves nothing behind.
TEST_F(DownloadTest, FetchedFileIsReadableBeforeItIsFinishedAndPublished) {
  for (const bool publish : {true, false}) {
    SCOPED_TRACE(publish);
    PlantTarget("previous");
    server_.Enqueue(HttpResponse::Body(Pattern(70'001)));
    {
      FileDownload download(session_, kTarget, server_.WideUrl("/a"), sink_);
      ASSERT_EQ(download.Fetch(1, {}, nullptr), 1);
      EXPECT_EQ(ReadHostFile(root_.Host(download.TemporaryPath())), Pattern(70'001));
      EXPECT_EQ(TargetContent(), "previous");
      if (publish) {
        EXPECT_TRUE(download.Finish());
        EXPECT_TRUE(download.Publish());
      }
    }
    EXPECT_EQ(TargetContent(), publish ? Pattern(70'001) : "previous");
    EXPECT_EQ(FilesInRoot(), std::vector<std::string>{"out.bin"});
    EXPECT_TRUE(sink_.texts.empty());
  }
}

// No announced length: whatever arrives up to a clean end is the file.
TEST_F(DownloadTest, AcceptsAnySizeWithoutLength) {
  for (const Framing framing : {Framing::kClose, Framing::kChunked}) {
    for (const size_t size : {size_t{0}, size_t{1}, size_t{4096}, size_t{70'001}}) {
      SCOPED_TRACE(testing::Message()
                   << "framing " << static_cast<int>(framing) << " size " << size);
      PlantTarget("stale content");
      HttpResponse r = HttpResponse::Body(Pattern(size));
      r.framing = framing;
      server_.Enqueue(r);
      EXPECT_EQ(Fetch("/any"), 1);
      EXPECT_TRUE(sink_.texts.empty());
      EXPECT_EQ(TargetContent(), r.body);
    }
  }
}

TEST_F(DownloadTest, NotifiesEachWrite) {
  server_.Route("/ten", HttpResponse::Body(Pattern(10'000)));
  std::vector<std::pair<int, int64_t>> calls;
  EXPECT_EQ(Fetch("/ten", [&](int code, int64_t bytes) { calls.emplace_back(code, bytes); }), 1);
  ASSERT_FALSE(calls.empty());
  int64_t sum = 0;
  for (const auto& [code, bytes] : calls) {
    EXPECT_EQ(code, 3);
    EXPECT_GT(bytes, 0);
    EXPECT_LE(bytes, 4096);
    sum += bytes;
  }
  EXPECT_EQ(sum, 10'000);
  EXPECT_EQ(TargetContent(), Pattern(10'000));
}

// Whatever breaks the body, the file that was there stays as it was and no
// partial file is left beside it (a partial thumbnail would count as cached
// for good). A body over the limit is refused the same way, whether its
// length is announced or it simply streams on.
TEST_F(DownloadTest, BrokenOrOversizedBodyLeavesThePreviousFileAlone) {
  struct Case {
    const char* name;
    HttpResponse response;
    std::vector<std::string> messages;
    uint64_t limit = kAnswerLimit;
  };
  HttpResponse shortBody = HttpResponse::Body(Pattern(3000));
  shortBody.announcedLength = 10'000;
  HttpResponse chunked = HttpResponse::Body(Pattern(9000));
  chunked.framing = Framing::kChunked;
  chunked.cutAfter = 8500;
  HttpResponse reset = HttpResponse::Body(Pattern(20'000));
  reset.framing = Framing::kClose;
  reset.cutAfter = 6000;
  reset.reset = true;
  HttpResponse streaming = HttpResponse::Body(Pattern(50'000));
  streaming.framing = Framing::kClose;
  const std::string tooLarge =
      "[DownloadFile] " + Url("/b") + " is larger than 20000 bytes: refused";
  const std::vector<Case> cases = {
      {"short", shortBody, {"[DownloadFile] dwFileSize != dwRecv Download Failed"}},
      {"chunked",
       chunked,
       {"[DownloadFile] InternetReadFile(" + Url("/b") + ") Failed (Error Code = 18)"}},
      {"reset",
       reset,
       {"[DownloadFile] InternetReadFile(" + Url("/b") + ") Failed (Error Code = 56)"}},
      {"announced too large", HttpResponse::Body(Pattern(50'000)), {tooLarge}, 20'000},
      {"streams on", streaming, {tooLarge}, 20'000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sink_.texts.clear();
    PlantTarget("previous");
    server_.Enqueue(c.response);
    EXPECT_EQ(
        DownloadFile(session_, kTarget, server_.WideUrl("/b"), 1, {}, nullptr, sink_, c.limit), 0);
    EXPECT_EQ(sink_.Utf8(), c.messages);
    EXPECT_EQ(TargetContent(), "previous");
    EXPECT_EQ(FilesInRoot(), std::vector<std::string>{"out.bin"});
  }
}

TEST_F(DownloadTest, CancelBeforeStartDeletesFile) {
  const std::atomic<bool> cancel{true};
  for (const Framing framing : {Framing::kContentLength, Framing::kClose}) {
    SCOPED_TRACE(static_cast<int>(framing));
    sink_.texts.clear();
    EnqueuePattern(framing);
    int calls = 0;
    EXPECT_EQ(Fetch(
                  "/c", [&](int, int64_t) { ++calls; }, &cancel),
              0);
    std::vector<std::string> expected = {"[DownloadFile] User canceled downloading"};
    if (framing == Framing::kContentLength)
      expected.push_back("[DownloadFile] dwFileSize != dwRecv Download Failed");
    EXPECT_EQ(sink_.Utf8(), expected);
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(TargetExists());
  }
}

TEST_F(DownloadTest, UncreatableTargetIsReported) {
  server_.Route("/x", HttpResponse::Body("data"));
  EXPECT_EQ(Fetch("/x", {}, nullptr, u"\\no such folder\\out.bin"), 0);
  EXPECT_EQ(sink_.Utf8(),
            std::vector<std::string>{"[DownloadFile] CreateFile(\\no such folder\\out.bin) Failed, "
                                     "Error Code = 2"});
}

TEST_F(DownloadTest, RefusedConnectionIsReported) {
  int port;
  {
    TestHttpServer gone;
    port = gone.port();
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/x";
  EXPECT_EQ(DownloadFile(session_, kTarget, Utf8ToUtf16(url), 1, {}, nullptr, sink_), 0);
  EXPECT_EQ(sink_.Utf8(), std::vector<std::string>{"[DownloadFile] InternetOpenUrl(" + url +
                                                   ") Failed (Error Code = 7)"});
  EXPECT_FALSE(TargetExists());
}

// The file system refuses more bytes part-way (a file size limit stands in
// for a full disk).
TEST_F(DownloadTest, FailedWriteDeletesFile) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto* oldHandler = signal(SIGXFSZ, SIG_IGN);
  for (const Framing framing : {Framing::kContentLength, Framing::kClose}) {
    SCOPED_TRACE(static_cast<int>(framing));
    sink_.texts.clear();
    EnqueuePattern(framing);
    rlimit limited = old;
    limited.rlim_cur = 5000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const int result = Fetch("/w");
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(result, 0);
    std::vector<std::string> expected = {
        "[DownloadFile] WriteFile(\\out.bin) Failed, Error Code = 27"};  // EFBIG
    if (framing == Framing::kContentLength)
      expected.push_back("[DownloadFile] dwFileSize != dwRecv Download Failed");
    EXPECT_EQ(sink_.Utf8(), expected);
    EXPECT_FALSE(TargetExists());
  }
  signal(SIGXFSZ, oldHandler);
}

TEST_F(DownloadTest, AbortFlagEndsStalledDownload) {
  HttpResponse r = HttpResponse::Body(Pattern(10'000));
  r.framing = Framing::kClose;
  r.stallAt = 4096;
  r.stallMs = 30'000;
  server_.Route("/slow", r);
  std::atomic<bool> abort{false};
  InternetSetAbortFlag(session_, &abort);
  std::thread stopper([&] {
    server_.WaitForRequests(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    abort = true;
  });
  PlantTarget("previous");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Fetch("/slow"), 0);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  stopper.join();
  // Far below the stall, so only a download that waited for the server fails.
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  EXPECT_EQ(TargetContent(), "previous");
  EXPECT_EQ(FilesInRoot(), std::vector<std::string>{"out.bin"});
  EXPECT_EQ(sink_.Utf8(), std::vector<std::string>{"[DownloadFile] InternetReadFile(" +
                                                   Url("/slow") + ") Failed (Error Code = 42)"});
}

// Long texts are cut to the 255 characters of the message buffer: the URL is
// shortened, the fixed words and the code survive, no surrogate pair is split.
TEST_F(DownloadTest, LongMessageIsCutAtCharacterBoundary) {
  server_.Route("/", HttpResponse::Status(500));
  for (size_t pad = 150; pad < 154; ++pad) {
    sink_.texts.clear();
    std::u16string url = server_.WideUrl("/?") + std::u16string(pad, u'a');
    for (int i = 0; i < 40; ++i) url += u"\U0001F600";
    EXPECT_EQ(DownloadFile(session_, kTarget, url, 1, {}, nullptr, sink_), 0);
    ASSERT_EQ(sink_.texts.size(), 1u);
    const std::u16string& text = sink_.texts[0];
    EXPECT_LE(text.size(), 255u);
    EXPECT_TRUE(text.starts_with(u"[DownloadFile] HttpQueryInfo(http://127.0.0.1:"));
    EXPECT_TRUE(text.ends_with(u"\u2026) = 500 ")) << Utf16ToUtf8(text);
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text) << "split surrogate pair";
  }
}

}  // namespace
}  // namespace quobble
