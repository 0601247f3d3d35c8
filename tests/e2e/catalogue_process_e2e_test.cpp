// The service as users start it: a separate process that prints where it
// listens, logs each request and exits cleanly on SIGINT or SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue/http_test_client.h"

extern char** environ;

namespace {

std::string Executable() {
  if (const char* exe = std::getenv("QUOBBLE_CATALOGUE_EXE")) return exe;
  const char* build = std::getenv("QUOBBLE_BUILD_DIR");
  return std::string(build ? build : ".") + "/src/catalogue/quobble-catalogue";
}

// A child process with its stderr (and stdout) read through a pipe.
class Service {
 public:
  explicit Service(std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<std::string> all = {Executable()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ~Service() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // Reads output until `text` shows up or the time runs out.
  bool WaitFor(const std::string& text, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (output_.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  // Waits for the exit; the exit status, or -1 when it did not exit by itself.
  int Wait(int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        while (ReadSome(100)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ReadSome(20);
    }
    return -1;
  }

  void Signal(int sig) { kill(pid_, sig); }
  const std::string& Output() const { return output_; }

  int Port() const {
    const std::string marker = "listening on http://127.0.0.1:";
    size_t at = output_.find(marker);
    return at == std::string::npos ? -1 : std::atoi(output_.c_str() + at + marker.size());
  }

 private:
  bool ReadSome(int timeoutMs) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[4096];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    output_.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
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
