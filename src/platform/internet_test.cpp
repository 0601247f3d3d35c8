#include "platform/internet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/text.h"
#include "tests/support/test_data.h"
#include "tests/support/test_http_server.h"

namespace quobble {
namespace {

using Framing = HttpResponse::Framing;

constexpr uint32_t kStatusNumber = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;
constexpr uint32_t kLengthNumber = HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER;
constexpr uint32_t kReload = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

// Closes whatever it holds, in the order it was given.
struct Handles {
  std::vector<HINTERNET> open;
  HINTERNET Keep(HINTERNET h) {
    if (h != nullptr) open.push_back(h);
    return h;
  }
  ~Handles() {
    for (auto it = open.rbegin(); it != open.rend(); ++it) InternetCloseHandle(*it);
  }
};

// A GET of `path` on `server`, reloaded as the downloads ask.
HINTERNET Open(HINTERNET session, const TestHttpServer& server, const std::string& path) {
  return InternetOpenUrlW(session, server.WideUrl(path).c_str(), nullptr, 0, kReload, 0);
}

HINTERNET OpenSession() {
  return InternetOpenW(u"QUOBBLE", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
}

struct Body {
  bool ok = true;
  uint32_t error = 0;
  std::string bytes;
  uint32_t largestRead = 0;
};

Body ReadAll(HINTERNET request, uint32_t toRead = 4096) {
  Body body;
  std::vector<char> buffer(toRead);
  for (;;) {
    uint32_t got = 12345;
    if (!InternetReadFile(request, buffer.data(), toRead, &got)) {
      body.ok = false;
      body.error = GetLastError();
      return body;
    }
    if (got == 0) return body;
    body.largestRead = std::max(body.largestRead, got);
    body.bytes.append(buffer.data(), got);
  }
}

TEST(Internet, SendsPlainGetWithAgent) {
  TestHttpServer server;
  server.Route("/search", HttpResponse::Body("x"));
  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  ASSERT_NE(session, nullptr);
  HINTERNET request = h.Keep(
      InternetOpenUrlW(session, server.WideUrl("/search?key=k&query=%EC%B9%B4&display=10").c_str(),
                       nullptr, 0, kReload, 0));
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(ReadAll(request).bytes, "x");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine, "GET /search?key=k&query=%EC%B9%B4&display=10 HTTP/1.1");
  EXPECT_EQ(requests[0].Header("User-Agent"), "QUOBBLE");
  EXPECT_EQ(requests[0].Header("Host"), "127.0.0.1:" + std::to_string(server.port()));
}

struct BodyCase {
  const char* name;
  Framing framing;
  size_t size;
  uint32_t toRead;
  friend void PrintTo(const BodyCase& c, std::ostream* os) { *os << c.name; }
};

class InternetBody : public testing::TestWithParam<BodyCase> {};

// Every framing yields the body byte for byte, never more than asked per
// read, and a length only when one was announced.
TEST_P(InternetBody, ReadsWholeBodyInBoundedPieces) {
  const BodyCase& c = GetParam();
  TestHttpServer server;
  HttpResponse response = HttpResponse::Body(Pattern(c.size));
  response.framing = c.framing;
  response.chunkSize = 1000;
  server.Route("/f", response);

  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  HINTERNET request = h.Keep(InternetOpenUrlW(session, server.WideUrl("/f").c_str(), nullptr, 0,
                                              INTERNET_FLAG_RESYNCHRONIZE, 0));
  ASSERT_NE(request, nullptr);

  uint32_t status = 0, length = 0xDEADBEEF, size = 4;
  ASSERT_TRUE(HttpQueryInfoW(request, kStatusNumber, &status, &size, nullptr));
  EXPECT_EQ(status, 200u);
  size = 4;
  const bool hasLength = HttpQueryInfoW(request, kLengthNumber, &length, &size, nullptr);
  if (c.framing == Framing::kContentLength) {
    EXPECT_TRUE(hasLength);
    EXPECT_EQ(length, c.size);
  } else {
    EXPECT_FALSE(hasLength);
    EXPECT_EQ(length, 0xDEADBEEF) << "buffer must stay untouched";
  }

  const Body body = ReadAll(request, c.toRead);
  EXPECT_TRUE(body.ok) << body.error;
  EXPECT_EQ(body.bytes, response.body);
  EXPECT_LE(body.largestRead, c.toRead);
}

INSTANTIATE_TEST_SUITE_P(
    Framings, InternetBody,
    testing::Values(BodyCase{"LengthEmpty", Framing::kContentLength, 0, 4096},
                    BodyCase{"LengthLarge", Framing::kContentLength, 100'000, 4096},
                    BodyCase{"LengthTinyReads", Framing::kContentLength, 10'000, 7},
                    BodyCase{"CloseEmpty", Framing::kClose, 0, 4096},
                    BodyCase{"CloseLarge", Framing::kClose, 50'000, 4096},
                    BodyCase{"ChunkedEmpty", Framing::kChunked, 0, 4096},
                    BodyCase{"ChunkedLarge", Framing::kChunked, 50'000, 100}),
    [](const auto& info) { return std::string(info.param.name); });

struct FaultCase {
  const char* name;
  HttpResponse response;
  bool opens;  // the headers arrive; else InternetOpenUrlW fails
  friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

HttpResponse Faulty(Framing framing, size_t size) {
  HttpResponse r = HttpResponse::Body(Pattern(size));
  r.framing = framing;
  return r;
}

std::vector<FaultCase> FaultCases() {
  std::vector<FaultCase> cases;
  {
    HttpResponse r = Faulty(Framing::kContentLength, 3000);
    r.announcedLength = 10'000;
    cases.push_back({"ShortBody", r, true});
  }
  {
    HttpResponse r = Faulty(Framing::kChunked, 9000);
    r.cutAfter = 8500;
    cases.push_back({"TruncatedChunk", r, true});
  }
  {
    HttpResponse r = Faulty(Framing::kChunked, 8192);
    r.cutAfter = 8192;  // every chunk whole, the last one never comes
    cases.push_back({"MissingLastChunk", r, true});
  }
  {
    HttpResponse r = Faulty(Framing::kClose, 20'000);
    r.cutAfter = 5000;
    r.reset = true;
    cases.push_back({"ResetWithoutLength", r, true});
  }
  {
    HttpResponse r;
    r.resetBeforeHeaders = true;
    cases.push_back({"ResetBeforeHeaders", r, false});
  }
  return cases;
}

class InternetFault : public testing::TestWithParam<FaultCase> {};

// A broken answer is a failure with a code, never a clean end.
TEST_P(InternetFault, FailsWithCode) {
  TestHttpServer server;
  server.Route("/f", GetParam().response);
  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  SetLastError(0);
  HINTERNET request = h.Keep(Open(session, server, "/f"));
  if (!GetParam().opens) {
    EXPECT_EQ(request, nullptr);
    EXPECT_NE(GetLastError(), 0u);
    return;
  }
  ASSERT_NE(request, nullptr);
  const Body body = ReadAll(request);
  EXPECT_FALSE(body.ok);
  EXPECT_NE(body.error, 0u);
  EXPECT_LT(body.bytes.size(), GetParam().response.body.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(Faults, InternetFault, testing::ValuesIn(FaultCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Internet, RefusedConnectionFailsWithCurlCode) {
  int port;
  {
    TestHttpServer gone;  // a port that was just free
    port = gone.port();
  }
  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  const std::u16string url = Utf8ToUtf16("http://127.0.0.1:" + std::to_string(port) + "/x");
  SetLastError(0);
  EXPECT_EQ(InternetOpenUrlW(session, url.c_str(), nullptr, 0, kReload, 0), nullptr);
  EXPECT_EQ(GetLastError(), 7u);  // couldn't connect
}

TEST(Internet, RefusesOtherSchemes) {
  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  for (const char16_t* url : {u"file:///etc/passwd", u"ftp://127.0.0.1/x", u"not a url"}) {
    SetLastError(0);
    EXPECT_EQ(InternetOpenUrlW(session, url, nullptr, 0, kReload, 0), nullptr);
    EXPECT_NE(GetLastError(), 0u);
  }
}

// A length beyond the 4-byte answer is no length at all, and the body that
// falls short of it still fails.
TEST(Internet, LengthBeyondFourBytesIsNotAnswered) {
  TestHttpServer server;
  HttpResponse r = HttpResponse::Body(Pattern(5000));
  r.announcedLength = 5'000'000'000;
  server.Route("/huge", r);
  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  HINTERNET request = h.Keep(Open(session, server, "/huge"));
  ASSERT_NE(request, nullptr);
  uint32_t length = 0, size = 4;
  EXPECT_FALSE(HttpQueryInfoW(request, kLengthNumber, &length, &size, nullptr));
  EXPECT_EQ(length, 0u);
  EXPECT_FALSE(ReadAll(request).ok);
}

TEST(Internet, NonSuccessStatusIsReportedNotFailed) {
  TestHttpServer server;  // unrouted: 404
  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  HINTERNET request = h.Keep(Open(session, server, "/none"));
  ASSERT_NE(request, nullptr);
  uint32_t status = 0, size = 4;
  ASSERT_TRUE(HttpQueryInfoW(request, kStatusNumber, &status, &size, nullptr));
  EXPECT_EQ(status, 404u);
}

TEST(Internet, FollowsRedirectsUpToFive) {
  TestHttpServer server;
  for (int i = 0; i < 6; ++i)
    server.Route("/r" + std::to_string(i), HttpResponse::Redirect("/r" + std::to_string(i + 1)));
  server.Route("/r6", HttpResponse::Body("arrived"));

  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  HINTERNET request = h.Keep(Open(session, server, "/r1"));
  ASSERT_NE(request, nullptr);
  uint32_t status = 0, size = 4;
  ASSERT_TRUE(HttpQueryInfoW(request, kStatusNumber, &status, &size, nullptr));
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(ReadAll(request).bytes, "arrived");

  SetLastError(0);
  EXPECT_EQ(Open(session, server, "/r0"), nullptr);
  EXPECT_EQ(GetLastError(), 47u);  // too many redirects
}

// Headers given with a request (the service's credentials) go to the
// request's own scheme, host and port only: along redirects that stay there,
// never to another host, and not back again once they left. The redirect
// limit and the protocol rule hold as without headers.
TEST(Internet, RequestHeadersNeverLeaveTheirOrigin) {
  TestHttpServer origin, other;
  origin.Route("/same", HttpResponse::Redirect("/final"));
  origin.Route("/away", HttpResponse::Redirect(other.Url("/elsewhere")));
  origin.Route("/final", HttpResponse::Body("here"));
  other.Route("/elsewhere", HttpResponse::Redirect(origin.Url("/final")));
  for (int i = 0; i < 6; ++i)
    origin.Route("/r" + std::to_string(i), HttpResponse::Redirect("/r" + std::to_string(i + 1)));
  origin.Route("/ftp", HttpResponse::Redirect("ftp://127.0.0.1/x"));
  const std::u16string headers = u"X-Api-Key: secret\r\nX-Client: quobble\r\n";

  const struct {
    const char* path;
    uint32_t error;                                                   // 0: fetched
    std::vector<std::pair<const TestHttpServer*, std::string>> seen;  // (server, X-Api-Key)
  } cases[] = {
      {"/same", 0, {{&origin, "secret"}, {&origin, "secret"}}},
      {"/away", 0, {{&origin, "secret"}, {&other, ""}, {&origin, ""}}},
      {"/r0", 47, {}},  // too many redirects
      {"/ftp", 1, {}},  // unsupported protocol
  };
  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const size_t before[2] = {origin.Requests().size(), other.Requests().size()};
    SetLastError(0);
    HINTERNET request = InternetOpenUrlW(session, origin.WideUrl(c.path).c_str(), headers.c_str(),
                                         static_cast<uint32_t>(headers.size()), kReload, 0);
    if (c.error != 0) {
      EXPECT_EQ(request, nullptr);
      EXPECT_EQ(GetLastError(), c.error);
      continue;
    }
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(ReadAll(request).bytes, "here");
    InternetCloseHandle(request);
    // The requests in the order they were made, on whichever server.
    std::vector<std::pair<const TestHttpServer*, std::string>> seen;
    size_t next[2] = {before[0], before[1]};
    const auto o = origin.Requests(), x = other.Requests();
    for (const auto& [server, key] : c.seen) {
      const bool isOrigin = server == &origin;
      const auto& list = isOrigin ? o : x;
      size_t& at = next[isOrigin ? 0 : 1];
      ASSERT_LT(at, list.size());
      seen.emplace_back(server, list[at++].Header("X-Api-Key"));
    }
    EXPECT_EQ(seen, c.seen);
    EXPECT_EQ(next[0], o.size());
    EXPECT_EQ(next[1], x.size());
  }
}

// The origin is compared as URLs compare it: a redirect to the same host
// written in other letters stays with the service and keeps its headers.
TEST(Internet, RequestHeadersFollowARedirectToTheSameHostInOtherLetters) {
  TestHttpServer server;
  const std::string port = std::to_string(server.port());
  server.Route("/a", HttpResponse::Redirect("http://LocalHost:" + port + "/b"));
  server.Route("/b", HttpResponse::Body("here"));
  const std::u16string headers = u"X-Api-Key: secret\r\n";
  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  HINTERNET request =
      h.Keep(InternetOpenUrlW(session, Utf8ToUtf16("http://localhost:" + port + "/a").c_str(),
                              headers.c_str(), static_cast<uint32_t>(headers.size()), kReload, 0));
  ASSERT_NE(request, nullptr) << GetLastError();
  EXPECT_EQ(ReadAll(request).bytes, "here");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].target, "/b");
  EXPECT_EQ(requests[1].Header("X-Api-Key"), "secret");
}

TEST(Internet, SessionsOneAfterAnotherShareOneConnection) {
  TestHttpServer server;
  server.Route("/a", HttpResponse::Body(Pattern(10'000)));
  for (int i = 0; i < 3; ++i) {
    HINTERNET session = OpenSession();
    HINTERNET request = Open(session, server, "/a");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(ReadAll(request).bytes.size(), 10'000u);
    EXPECT_TRUE(InternetCloseHandle(request));
    EXPECT_TRUE(InternetCloseHandle(session));
  }
  EXPECT_EQ(server.Requests().size(), 3u);
  EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST(Internet, RequestOutlivesItsSession) {
  TestHttpServer server;
  server.Route("/a", HttpResponse::Body(Pattern(9000)));
  HINTERNET session = OpenSession();
  HINTERNET request = Open(session, server, "/a");
  ASSERT_NE(request, nullptr);
  EXPECT_TRUE(InternetCloseHandle(session));
  EXPECT_EQ(ReadAll(request).bytes.size(), 9000u);
  EXPECT_TRUE(InternetCloseHandle(request));
}

TEST(Internet, ClosingMidBodyDropsTheConnection) {
  TestHttpServer server;
  server.Route("/big", HttpResponse::Body(Pattern(200'000)));
  server.Route("/small", HttpResponse::Body("s"));
  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  HINTERNET big = Open(session, server, "/big");
  ASSERT_NE(big, nullptr);
  char buffer[100];
  uint32_t got = 0;
  ASSERT_TRUE(InternetReadFile(big, buffer, sizeof buffer, &got));
  InternetCloseHandle(big);
  // The next request must not inherit the rest of the unread body.
  HINTERNET small = h.Keep(Open(session, server, "/small"));
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(ReadAll(small).bytes, "s");
}

// The bound is far below the stall so a slow machine cannot make it flaky;
// what matters is that the abort does not wait for the server.
constexpr auto kPromptly = std::chrono::seconds(5);
constexpr int kStallMs = 30'000;

TEST(Internet, AbortFlagEndsWaitForHeaders) {
  TestHttpServer server;
  HttpResponse r = HttpResponse::Body("late");
  r.delayBeforeHeadersMs = kStallMs;
  server.Route("/late", r);

  std::atomic<bool> abort{false};
  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  InternetSetAbortFlag(session, &abort);
  std::thread stopper([&] {
    server.WaitForRequests(1);
    abort = true;
  });
  const auto start = std::chrono::steady_clock::now();
  SetLastError(0);
  EXPECT_EQ(Open(session, server, "/late"), nullptr);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_EQ(GetLastError(), 42u);
  EXPECT_LT(elapsed, kPromptly);
}

// A server that answers a byte now and then is never silent long enough to
// stall, but the request has a deadline for its whole: headers that come too
// late, and a body that drips past it, both fail with curl's timeout code.
TEST(Internet, ARequestEndsAtItsDeadlineWhateverTrickles) {
  TestHttpServer server;
  HttpResponse late = HttpResponse::Body("late");
  late.delayBeforeHeadersMs = kStallMs;
  server.Route("/late", late);
  HttpResponse drip = HttpResponse::Body(Pattern(100));
  drip.dripMs = 100;
  server.Route("/drip", drip);
  SetInternetTimeout(1);
  Handles h;
  HINTERNET session = h.Keep(OpenSession());
  for (const char* path : {"/late", "/drip"}) {
    SCOPED_TRACE(path);
    const auto start = std::chrono::steady_clock::now();
    SetLastError(0);
    HINTERNET request = Open(session, server, path);
    Body body;
    if (request == nullptr) {
      body.ok = false;
      body.error = GetLastError();
    } else {
      body = ReadAll(request);
      InternetCloseHandle(request);
    }
    EXPECT_FALSE(body.ok);
    EXPECT_EQ(body.error, 28u);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
  }
  SetInternetTimeout(kDefaultInternetTimeoutSeconds);
}

// The UI thread and the thumbnail worker download at the same time, each
// reusing its own connections.
TEST(Internet, ThreadsDownloadAtOnce) {
  TestHttpServer server;
  const std::string payload = Pattern(20'000);
  server.Route("/p", HttpResponse::Body(payload));
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        HINTERNET session = OpenSession();
        HINTERNET request = Open(session, server, "/p");
        if (request != nullptr && ReadAll(request).bytes == payload) ++good;
        if (request != nullptr) InternetCloseHandle(request);
        InternetCloseHandle(session);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 40);
  EXPECT_EQ(server.ConnectionCount(), 4) << "each thread picks its idle connection up again";
}

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

bool FetchesWhole(const TestHttpServer& server, const char* path, size_t size) {
  HINTERNET session = OpenSession();
  HINTERNET request = Open(session, server, path);
  const bool ok = request != nullptr && ReadAll(request).bytes.size() == size;
  if (request != nullptr) InternetCloseHandle(request);
  InternetCloseHandle(session);
  return ok;
}

// Handles kept between requests must neither pile up nor outlive the thread
// that made them (the thumbnail worker is a thread that ends); a thread
// reuses its one connection and never takes another thread's.
TEST(InternetHandleReuse, RequestsAndThreadsLeaveNoDescriptorsBehind) {
  TestHttpServer server;
  server.Route("/a", HttpResponse::Body(Pattern(30'000)));
  // The server runs in this process: its side of a connection is counted
  // once it has seen the client go, leaving this thread's one open.
  ASSERT_TRUE(FetchesWhole(server, "/a", 30'000));
  std::thread([&] { EXPECT_TRUE(FetchesWhole(server, "/a", 30'000)); }).join();
  ASSERT_TRUE(server.WaitForOpenConnections(1));
  const size_t before = OpenDescriptors();

  for (int i = 0; i < 20; ++i) ASSERT_TRUE(FetchesWhole(server, "/a", 30'000));
  EXPECT_EQ(OpenDescriptors(), before);

  for (int t = 0; t < 8; ++t)
    std::thread([&] { EXPECT_TRUE(FetchesWhole(server, "/a", 30'000)); }).join();
  ASSERT_TRUE(server.WaitForOpenConnections(1));
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(server.ConnectionCount(), 1 + 1 + 8);
}

TEST(InternetHandleReuse, TwoRequestsOpenAtOnceOnOneThread) {
  TestHttpServer server;
  const std::string first = Pattern(100'000);
  const std::string second = Pattern(70'000).substr(1);
  server.Route("/1", HttpResponse::Body(first));
  server.Route("/2", HttpResponse::Body(second));
  for (const bool firstClosedFirst : {true, false}) {
    HINTERNET session = OpenSession();
    HINTERNET one = Open(session, server, "/1");
    HINTERNET two = Open(session, server, "/2");
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    std::string gotOne, gotTwo;
    char buffer[3000];
    for (bool more = true; more;) {
      more = false;
      uint32_t got = 0;
      ASSERT_TRUE(InternetReadFile(one, buffer, sizeof buffer, &got));
      gotOne.append(buffer, got);
      more = more || got > 0;
      ASSERT_TRUE(InternetReadFile(two, buffer, sizeof buffer, &got));
      gotTwo.append(buffer, got);
      more = more || got > 0;
    }
    EXPECT_EQ(gotOne, first);
    EXPECT_EQ(gotTwo, second);
    InternetCloseHandle(session);
    InternetCloseHandle(firstClosedFirst ? one : two);
    InternetCloseHandle(firstClosedFirst ? two : one);
    EXPECT_TRUE(FetchesWhole(server, "/2", second.size()));
  }
}

// A request abandoned mid-body, or one that failed, must not hand a stale
// state to the next request of the thread.
TEST(InternetHandleReuse, NextRequestIsCleanAfterFailureOrAbandon) {
  TestHttpServer server;
  server.Route("/big", HttpResponse::Body(Pattern(200'000)));
  server.Route("/small", HttpResponse::Body("s"));
  HINTERNET session = OpenSession();
  HINTERNET big = Open(session, server, "/big");
  ASSERT_NE(big, nullptr);
  char buffer[100];
  uint32_t got = 0;
  ASSERT_TRUE(InternetReadFile(big, buffer, sizeof buffer, &got));
  InternetCloseHandle(big);
  EXPECT_TRUE(FetchesWhole(server, "/small", 1));

  std::atomic<bool> abort{true};
  InternetSetAbortFlag(session, &abort);
  EXPECT_EQ(Open(session, server, "/small"), nullptr);
  EXPECT_EQ(GetLastError(), 42u);
  InternetCloseHandle(session);
  EXPECT_TRUE(FetchesWhole(server, "/small", 1));
}

// Not what our callers do, but the handles allow it: the thread that opened a
// request ends, and the request is read and closed afterwards.
TEST(InternetHandleReuse, RequestOutlivesItsThread) {
  TestHttpServer server;
  const std::string payload = Pattern(50'000);
  server.Route("/p", HttpResponse::Body(payload));
  HINTERNET session = nullptr;
  HINTERNET request = nullptr;
  std::thread([&] {
    session = OpenSession();
    request = Open(session, server, "/p");
  }).join();
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(ReadAll(request).bytes, payload);
  EXPECT_TRUE(InternetCloseHandle(request));
  EXPECT_TRUE(InternetCloseHandle(session));
}

}  // namespace
}  // namespace quobble
