#include "startup/client_start.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/internet.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_data.h"

namespace quobble {
namespace {

namespace fs = std::filesystem;

// What a crash left behind goes when a client starts: its temporary
// downloads older than an hour, anywhere under the data folder, and the
// spare answers of an older version. Younger downloads (another client's,
// in flight), other files and links stay.
TEST(ClientStart, RemovesWhatEarlierRunsLeftBehind) {
  TempRoot root;
  const fs::path data = fs::path(root.path()) / "VOVo Vidav" / "quobble";
  fs::create_directories(data / "Images" / "p3");
  const fs::path outside = root.path() + "-outside.part-1-2-3";
  const auto plant = [](const fs::path& path, int hoursOld) {
    std::ofstream(path) << "x";
    const timeval when[2] = {{::time(nullptr) - hoursOld * 3600, 0},
                             {::time(nullptr) - hoursOld * 3600, 0}};
    ASSERT_EQ(::utimes(path.c_str(), when), 0);
  };
  plant(data / "GoodsDataTemp.xml", 2);
  plant(data / "GoodsDataTemp.xml.next", 0);
  plant(data / "GoodsDataTemp.xml.previous", 0);
  plant(data / "GoodsDataTemp.xml.part-1f-2a-0", 2);
  plant(data / "Images" / "p3" / "a.jpg.part-1f-2b-1", 2);
  plant(data / "Images" / "p3" / "b.jpg.part-1f-2c-0", 0);  // in flight
  plant(data / "Images" / "p3" / "c.jpg.part-old", 2);      // not ours
  plant(data / "Images" / "p3" / "d.jpg", 2);
  plant(outside, 2);
  fs::create_symlink(outside, data / "Images" / "e.jpg.part-1-2-3");

  ClientSettings settings;
  settings.root = root.path();
  StartOptions options;
  options.needsService = false;
  ASSERT_TRUE(StartClient(settings, options).rootUsable);

  std::vector<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(data))
    if (!entry.is_directory()) left.push_back(entry.path().lexically_relative(data).string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"GoodsDataTemp.xml", "Images/e.jpg.part-1-2-3",
                                            "Images/p3/b.jpg.part-1f-2c-0",
                                            "Images/p3/c.jpg.part-old", "Images/p3/d.jpg"}));
  EXPECT_TRUE(fs::exists(outside));
  fs::remove(outside);
}

TEST(ClientOptions, TimeoutIsAWholeNumberOfSeconds) {
  const struct {
    const char* value;
    int seconds;  // 0: refused
  } cases[] = {{"1", 1}, {"90", 90}, {"3600", 3600}, {"0", 0}, {"3601", 0}, {"1.5", 0}, {"x", 0}};
  for (const auto& c : cases) {
    ClientSettings settings;
    std::ostringstream out, err;
    const ParsedCommandLine parsed =
        ParseCommandLine({"prog", "Usage: prog", "", ""}, ClientOptionTable(settings),
                         {"--timeout", c.value}, out, err);
    EXPECT_EQ(parsed.run, c.seconds != 0) << c.value << ": " << err.str();
    EXPECT_EQ(settings.timeoutSeconds, c.seconds) << c.value;
  }
}

}  // namespace
}  // namespace quobble
