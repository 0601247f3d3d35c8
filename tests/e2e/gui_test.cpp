// The desktop app launched as a process on the offscreen platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "platform/command_line.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"

namespace quobble {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kApp = TestExecutable("QUOBBLE_APP_EXE", "/src/ui/quobble");

class GuiProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Path("run"));
    ::chmod(Path("run").c_str(), 0700);
  }

  std::string Path(const char* name) const { return (fs::path(folder_.path()) / name).string(); }

  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& arguments) {
    return std::make_unique<ChildProcess>(
        kApp, arguments,
        std::vector<std::string>{"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + Path("run"),
                                 "XDG_CONFIG_HOME=" + Path("config"),
                                 "XDG_STATE_HOME=" + Path("state"),
                                 "QUOBBLE_ROOT=" + Path("root")});
  }

  // The running instance is ready once its local server listens.
  bool WaitUntilServing(ChildProcess& process, int timeoutMs = 15000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      if (fs::exists(Path("run") + "/quobble")) return true;
      if (process.Wait(0) != -1) return false;  // it ended
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  TempRoot folder_;
};

TEST_F(GuiProcessTest, SecondLaunchEndsWithOneWhileTheFirstRuns) {
  auto first = Start({});
  ASSERT_TRUE(WaitUntilServing(*first)) << first->err;
  // The first started the built-in catalogue without complaint.
  first->Drain(50);
  EXPECT_EQ(first->err.find("could not start"), std::string::npos) << first->err;

  auto second = Start({"--root", Path("elsewhere"), "한글"});
  EXPECT_EQ(second->Finish("", 10000), 1) << second->err;
  EXPECT_FALSE(fs::exists(Path("elsewhere")));
  EXPECT_EQ(first->Wait(0), -1);  // still running
}

TEST_F(GuiProcessTest, StaleLockOfAKilledInstanceIsTakenOver) {
  auto first = Start({});
  ASSERT_TRUE(WaitUntilServing(*first));
  first->Signal(SIGKILL);
  ASSERT_EQ(first->Wait(5000), 128 + SIGKILL);
  ASSERT_TRUE(fs::exists(Path("run") + "/quobble.lock"));

  // Not a second instance: it takes the lock over and keeps running.
  auto second = Start({});
  const std::string pid = std::to_string(second->Pid());
  bool owned = false;
  for (int waited = 0; waited < 15000 && !owned; waited += 20) {
    std::ifstream lock(Path("run") + "/quobble.lock");
    std::string line;
    owned = std::getline(lock, line) && line == pid;
    if (!owned) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(owned);
  EXPECT_EQ(second->Wait(500), -1);  // still running
}

// A stop signal closes the window the orderly way: the instance lock and the
// local server go with it, and the exit status names the signal.
TEST_F(GuiProcessTest, AStopSignalClosesCleanly) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    auto app = Start({});
    ASSERT_TRUE(WaitUntilServing(*app)) << app->err;
    app->Signal(signal);
    EXPECT_EQ(app->Wait(10'000), 128 + signal) << app->err;
    EXPECT_FALSE(fs::exists(Path("run") + "/quobble.lock"));
    EXPECT_FALSE(fs::exists(Path("run") + "/quobble"));
  }
}

// Without a display the app still answers --help and --version, and
// otherwise says in one line why it cannot open a window.
TEST_F(GuiProcessTest, WithoutADisplayItAnswersOrSaysWhy) {
  const std::vector<std::string> noDisplay = {
      "QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY=", "XDG_RUNTIME_DIR=" + Path("run")};
  ChildProcess version(kApp, {"--version"}, noDisplay);
  EXPECT_EQ(version.Finish(), 0);
  EXPECT_EQ(version.out, "quobble " + std::string(ProgramVersion()) + "\n");
  ChildProcess help(kApp, {"--help"}, noDisplay);
  EXPECT_EQ(help.Finish(), 0);
  EXPECT_THAT(help.out, ::testing::StartsWith("Usage: quobble"));

  ChildProcess window(kApp, {}, noDisplay);
  EXPECT_EQ(window.Finish("", 10'000), 1);
  EXPECT_EQ(window.err,
            "quobble: cannot open a window: no display is set (DISPLAY and WAYLAND_DISPLAY are "
            "empty); run it in a desktop session, or use quobble-cli in a terminal\n");
}

}  // namespace
}  // namespace quobble
