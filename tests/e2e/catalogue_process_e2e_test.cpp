// The service as users start it: a separate process that prints where it
// listens, logs each request and exits cleanly on SIGINT or SIGTERM.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/http_test_client.h"

namespace {

const std::string kCatalogue =
    quobble::TestExecutable("QUOBBLE_CATALOGUE_EXE", "/src/catalogue/quobble-catalogue");

// quobble-catalogue as a process; it speaks on standard error.
class Service : public quobble::ChildProcess {
 public:
  explicit Service(const std::vector<std::string>& args) : ChildProcess(kCatalogue, args) {}

  bool WaitFor(const std::string& text) { return WaitForError(text); }
  std::string Output() const { return out + err; }
  int Port() const {
    const std::string marker = "listening on http://127.0.0.1:";
    const size_t at = err.find(marker);
    return at == std::string::npos ? -1 : std::atoi(err.c_str() + at + marker.size());
  }
};

const char* kSearch =
    "/search?key=5d0c7e3b9a14f6820c3e7d9b1a5f4e27&query=%ec%9d%98%ec%9e%90&display=10&start=1"
    "&target=shop&sort=sim";

TEST(CatalogueProcess, AnswersThenStopsCleanlyOnEachSignal) {
  for (int sig : {SIGTERM, SIGINT}) {
    Service service({"--port", "0"});
    ASSERT_TRUE(service.WaitFor("listening on")) << service.Output();
    // The start-up line says how many files the process may open.
    EXPECT_NE(service.Output().find("open files: "), std::string::npos) << service.Output();
    const int port = service.Port();
    ASSERT_GT(port, 0) << service.Output();

    quobble::catalogue::http_test::HttpTestClient client(port);
    auto res = client.Get(kSearch);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("<total>"), std::string::npos);
    size_t at = res->body.find("/shop/img/");
    ASSERT_NE(at, std::string::npos);
    std::string image = res->body.substr(at, res->body.find('<', at) - at);
    auto picture = client.Get(image);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->status, 200);
    EXPECT_EQ(picture->Header("content-type"), "image/jpeg");

    // One log line per request, each with the status.
    ASSERT_TRUE(service.WaitFor(image + "\" 200")) << service.Output();
    EXPECT_NE(service.Output().find("\"GET /search?"), std::string::npos);

    // Stopping does not wait for a kept connection or a half-sent request.
    quobble::catalogue::http_test::HttpTestClient half(port);
    ASSERT_TRUE(half.Connect());
    ASSERT_TRUE(half.SendRaw("GET /search?key="));
    auto begin = std::chrono::steady_clock::now();
    service.Signal(sig);
    EXPECT_EQ(service.Wait(), 0) << service.Output();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
  }
}

TEST(CatalogueProcess, CommandLineMistakesAreReported) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* says;
  } cases[] = {
      {{"--help"}, 0, "Usage: quobble-catalogue [OPTION]..."},
      {{"--version"}, 0, "quobble-catalogue 1."},
      {{"--require-header", "no-colon"}, 2, "--require-header wants 'NAME: VALUE'"},
      {{"stray"}, 2, "unexpected argument stray"},
      {{"--bogus"}, 2, "unknown option --bogus"},
      {{"--port"}, 2, "--port needs a value"},
      {{"--port", "70000"}, 2, "--port wants a number"},
      {{"--max-per-address", "-1"}, 2, "--max-per-address wants a number from 0"},
      {{"--port", "0", "--catalogue", "/nonexistent/file.tsv"},
       1,
       "cannot open catalogue file /nonexistent/file.tsv"},
      {{"--port", "0", "--host", "256.1.1.1"}, 1, "cannot listen on 256.1.1.1"},
  };
  for (const auto& c : cases) {
    Service service(c.args);
    EXPECT_EQ(service.Wait(), c.exitCode) << c.args[0];
    EXPECT_NE(service.Output().find(c.says), std::string::npos) << service.Output();
  }
}

}  // namespace
