// quobble-cli as users run it: a process of its own against a quobble-catalogue
// process (or the catalogue it starts inside itself), with a device root of
// its own.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_root.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

std::string Exe(const char* variable, const char* relative) {
  if (const char* exe = std::getenv(variable)) return exe;
  const char* build = std::getenv("QUOBBLE_BUILD_DIR");
  return std::string(build ? build : ".") + relative;
}

// A child process with its three standard streams on pipes.
class Child {
 public:
  Child(const std::string& exe, const std::vector<std::string>& args,
        const std::vector<std::string>& env = {}) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all = {exe};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The environment, less what would redirect the client, plus `env`.
    std::vector<std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string var = *e;
      if (var.rfind("QUOBBLE_ENDPOINT=", 0) != 0 && var.rfind("QUOBBLE_ROOT=", 0) != 0)
        vars.push_back(var);
    }
    vars.insert(vars.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_})
      if (fd >= 0) ::close(fd);
  }

  // Writes `input`, closes standard input, reads both outputs to their end
  // and waits for the exit. The exit status, or -1 when it had to be killed.
  int Finish(const std::string& input = "", int timeoutMs = 30000) {
    (void)!::write(in_, input.data(), input.size());
    ::close(in_);
    in_ = -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while ((out_ >= 0 || err_ >= 0) && Clock::now() < deadline) ReadSome(50);
    int status = 0;
    while (Clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ::usleep(10000);
    }
    return -1;
  }

  // Reads standard error until `text` shows up.
  bool WaitForError(const std::string& text, int timeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (err.find(text) == std::string::npos) {
      if (Clock::now() >= deadline || err_ < 0) return false;
      ReadSome(50);
    }
    return true;
  }

  // Reads what arrives until nothing has for `quietMs`.
  void Drain(int quietMs) {
    for (size_t before = out.size() + err.size();; before = out.size() + err.size()) {
      ReadSome(quietMs);
      if (out.size() + err.size() == before) return;
    }
  }

  std::string out, err;

 private:
  void ReadSome(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0) return;
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out_ : err_;
      if (fd < 0 || fds[i].revents == 0) continue;
      char buffer[8192];
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(fd);
        fd = -1;
      } else {
        (i == 0 ? out : err).append(buffer, static_cast<size_t>(n));
      }
    }
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
};

const std::string kCli = Exe("QUOBBLE_CLI_EXE", "/src/cli/quobble-cli");
const std::string kCatalogue = Exe("QUOBBLE_CATALOGUE_EXE", "/src/catalogue/quobble-catalogue");

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
    catalogue_ = new Child(kCatalogue, {"--port", "0"});
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
    Child child(kCli, all);
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
  static inline Child* catalogue_ = nullptr;
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
  Child unreachable(kCli, {"--root", root_.path(), "--endpoint", "http://127.0.0.1:1", "tv"});
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
