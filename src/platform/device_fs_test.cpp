#include "platform/device_fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/text.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_data.h"

namespace quobble {
namespace {

namespace fs = std::filesystem;

TEST(DeviceFs, RefusesPathsThatCouldLeaveTheRoot) {
  TempRoot root;
  for (const char16_t* bad : {u"", u"relative\\x", u"\\a\\..\\..\\etc", u"\\..", u"\\.\\x",
                              u"\\a\\\\b", u"\\a/../../b", u"\\a\\b/c"}) {
    EXPECT_FALSE(MapDevicePath(bad).has_value()) << Utf16ToUtf8(bad);
    EXPECT_FALSE(CreateDeviceFolder(bad));
    EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ENOENT));
    DeviceFile f;
    EXPECT_FALSE(f.CreateAlways(bad));
  }
  const std::u16string withNul(u"\\a\0b", 4);
  EXPECT_FALSE(MapDevicePath(withNul).has_value());
  EXPECT_EQ(*MapDevicePath(u"\\VOVo Vidav\\quobble\\"), root.path() + "/VOVo Vidav/quobble");
  EXPECT_EQ(*MapDevicePath(u"\\a\\\uAC00.jpg"), root.path() + "/a/\xEA\xB0\x80.jpg");
}

TEST(DeviceFs, FileExistsOnlyForReadableFiles) {
  TempRoot root;
  ASSERT_TRUE(CreateDeviceFolder(u"\\dir"));
  EXPECT_FALSE(CreateDeviceFolder(u"\\dir"));
  EXPECT_EQ(GetLastError(), static_cast<uint32_t>(EEXIST));
  EXPECT_TRUE(DevicePathExists(u"\\dir"));
  EXPECT_FALSE(DeviceFileExists(u"\\dir"));
  EXPECT_FALSE(DeviceFileExists(u"\\dir\\none"));
  EXPECT_FALSE(DevicePathExists(u"\\dir\\none"));

  DeviceFile out;
  ASSERT_TRUE(out.CreateAlways(u"\\dir\\f.bin"));
  ASSERT_TRUE(out.Write("hello", 5));
  ASSERT_TRUE(out.Close());
  EXPECT_TRUE(DeviceFileExists(u"\\dir\\f.bin"));

  DeviceFile in;
  ASSERT_TRUE(in.OpenForRead(u"\\dir\\f.bin"));
  char buf[16];
  EXPECT_EQ(in.Read(buf, sizeof buf), 5);
  EXPECT_EQ(in.Read(buf, sizeof buf), 0);
  in.Close();

  // Replaced, not appended.
  ASSERT_TRUE(out.CreateAlways(u"\\dir\\f.bin"));
  ASSERT_TRUE(out.Write("x", 1));
  ASSERT_TRUE(out.Close());
  EXPECT_EQ(fs::file_size(root.path() + "/dir/f.bin"), 1u);

  EXPECT_TRUE(DeleteDeviceFile(u"\\dir\\f.bin"));
  EXPECT_FALSE(DeviceFileExists(u"\\dir\\f.bin"));
  EXPECT_FALSE(DeleteDeviceFile(u"\\dir\\f.bin"));
  EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ENOENT));
}

// Links planted beneath the root, to a folder and to a file outside it, are
// never followed, whether the kernel resolves the path (openat2) or each
// component is opened on its own: nothing outside is read, written or
// counted, and the links themselves can be replaced and removed.
TEST(DeviceFs, PlantedLinksAreNeverFollowed) {
  for (const bool walk : {false, true}) {
    SCOPED_TRACE(walk ? "component walk" : "openat2");
    UseComponentWalkForTests(walk);
    TempRoot root;
    const fs::path outside = root.path() + "-outside";
    fs::create_directories(outside);
    std::ofstream(outside / "secret") << "keep";
    ASSERT_TRUE(CreateDeviceFolder(u"\\Images"));
    fs::create_directory_symlink(outside, root.path() + "/Images/b");
    fs::create_symlink(outside / "secret", root.path() + "/Images/x.jpg");

    DeviceFile file;
    std::u16string created;
    EXPECT_FALSE(DeviceFileExists(u"\\Images\\x.jpg"));
    EXPECT_FALSE(file.OpenForRead(u"\\Images\\x.jpg"));
    EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ELOOP));
    EXPECT_FALSE(file.CreateAlways(u"\\Images\\x.jpg"));
    EXPECT_FALSE(file.CreateAlways(u"\\Images\\b\\new.jpg"));
    EXPECT_FALSE(file.CreateBeside(u"\\Images\\b\\new.jpg", created));
    EXPECT_FALSE(CreateDeviceFolder(u"\\Images\\b\\sub"));
    EXPECT_FALSE(DeviceFileExists(u"\\Images\\b\\secret"));
    EXPECT_FALSE(DeleteDeviceFile(u"\\Images\\b\\secret"));
    std::string read;
    EXPECT_FALSE(ReadDeviceFile(u"\\Images\\b\\secret", 100, read));
    EXPECT_EQ(fs::directory_iterator(outside)->path().filename(), "secret");
    EXPECT_EQ(ReadHostFile((outside / "secret").string()), "keep");

    // A download renamed over the link replaces the link, not its target.
    ASSERT_TRUE(file.CreateBeside(u"\\Images\\x.jpg", created));
    ASSERT_TRUE(file.Write("jpeg", 4) && file.Close());
    ASSERT_TRUE(RenameDeviceFile(created, u"\\Images\\x.jpg"));
    EXPECT_TRUE(DeviceFileExists(u"\\Images\\x.jpg"));
    EXPECT_TRUE(DeleteDeviceFile(u"\\Images\\b"));
    EXPECT_EQ(ReadHostFile((outside / "secret").string()), "keep");
    fs::remove_all(outside);
  }
  UseComponentWalkForTests(false);
}

TEST(DeviceFs, RootComesFromArgumentThenEnvironment) {
  EXPECT_EQ(ResolveDeviceRoot("/x/y"), "/x/y");
  ::setenv("QUOBBLE_ROOT", "/from/env", 1);
  EXPECT_EQ(ResolveDeviceRoot(nullptr), "/from/env");
  ::unsetenv("QUOBBLE_ROOT");
  ::setenv("XDG_DATA_HOME", "/xdg", 1);
  EXPECT_EQ(ResolveDeviceRoot(""), "/xdg/quobble");
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(ResolveDeviceRoot(nullptr), "/home/u/.local/share/quobble");
}

}  // namespace
}  // namespace quobble

namespace quobble {
namespace {

TEST(DeviceFs, PlantedFifoOrFileRootFailsInsteadOfHanging) {
  TempRoot root;
  ASSERT_EQ(::mkfifo((root.path() + "/pipe").c_str(), 0600), 0);
  DeviceFile f;
  EXPECT_FALSE(f.OpenForRead(u"\\pipe"));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_FALSE(f.CreateAlways(u"\\pipe"));
  EXPECT_FALSE(DeviceFileExists(u"\\pipe"));

  const std::string file = root.path() + "/plain";
  std::ofstream(file) << "x";
  EXPECT_FALSE(SetDeviceRoot(file));
  EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ENOTDIR));
  SetDeviceRoot(root.path());
}

}  // namespace
}  // namespace quobble
