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

TEST(DeviceFs, DoesNotFollowAPlantedLinkWhenCreating) {
  TempRoot root;
  const std::string outside = root.path() + "-outside";
  std::ofstream(outside) << "keep";
  fs::create_symlink(outside, root.path() + "/link");
  DeviceFile out;
  EXPECT_FALSE(out.CreateAlways(u"\\link"));
  std::ifstream in(outside);
  std::string content;
  in >> content;
  EXPECT_EQ(content, "keep");
  fs::remove(outside);
}

// Writers that share a target's spares write over a spare only while no
// other writer can; a writer that finds them taken uses a file of its own.
// Each writer reads its own body back just before publishing it.
TEST(DeviceFs, ASpareIsOnlyEverWrittenByOneWriter) {
  TempRoot root;
  const std::u16string target = u"\\answer.xml";
  std::vector<std::string> faults(2);
  std::vector<int> spares(2, 0);
  auto writer = [&](int id) {
    for (int round = 0; round < 1500 && faults[id].empty(); ++round) {
      const std::string body =
          std::string(100 + 37 * (round % 50) + id, static_cast<char>('a' + id)) +
          std::to_string(round);
      DeviceFile file;
      FileLock lock;
      std::u16string path;
      const bool spare = file.OpenSpareBeside(target, path, lock);
      if (!spare && !file.CreateBeside(target, path)) {
        faults[id] = "no file: " + std::to_string(GetLastError());
        break;
      }
      spares[id] += spare ? 1 : 0;
      std::string back;
      if (!file.Write(body.data(), body.size()) || !file.Close() ||
          !ReadDeviceFile(path, 1 << 20, back) || back != body) {
        faults[id] = "round " + std::to_string(round) + " read back " +
                     std::to_string(back.size()) + " bytes, not its own";
      } else if (!(spare ? PublishSpare(target) : RenameDeviceFile(path, target))) {
        faults[id] = "publish: " + std::to_string(GetLastError());
      }
    }
  };
  std::thread other(writer, 1);
  writer(0);
  other.join();
  EXPECT_EQ(faults, std::vector<std::string>(2));
  // The spares were taken often (about two rounds in three here), the
  // writer's own file the rest of the time.
  EXPECT_GT(spares[0] + spares[1], 300);
}

// The spare written is never the file that was the target until the last
// publication (that rename may not be on storage yet), but the one of the
// publication before; it is cut to the new body. One writer at a time; a
// spare that is also the target under a second name is never written over.
TEST(DeviceFs, SparesRotateAndAreCutToTheBody) {
  TempRoot root;
  const std::u16string target = u"\\t.xml";
  auto inode = [&](const std::u16string& path) {
    struct stat st {};
    return ::stat(root.Host(path).c_str(), &st) == 0 ? st.st_ino : ino_t{0};
  };
  const std::vector<std::string> bodies = {std::string(9000, 'x'), std::string(100, 'y'),
                                           std::string(7000, 'z'), "short"};
  ino_t justReplaced = 0;
  for (const std::string& body : bodies) {
    DeviceFile file;
    FileLock lock;
    std::u16string path;
    ASSERT_TRUE(file.OpenSpareBeside(target, path, lock));
    EXPECT_EQ(path, u"\\t.xml.next");
    EXPECT_NE(inode(path), justReplaced);
    DeviceFile second;
    FileLock secondLock;
    std::u16string secondPath;
    EXPECT_FALSE(second.OpenSpareBeside(target, secondPath, secondLock));
    EXPECT_EQ(GetLastError(), static_cast<uint32_t>(EWOULDBLOCK));
    ASSERT_TRUE(file.Write(body.data(), body.size()));
    ASSERT_TRUE(file.Close());
    justReplaced = inode(target);
    ASSERT_TRUE(PublishSpare(target));
    EXPECT_EQ(ReadHostFile(root.Host(target)), body);
  }
  EXPECT_EQ(ReadHostFile(root.Host(u"\\t.xml.previous")), bodies[2]);
  EXPECT_EQ(ReadHostFile(root.Host(u"\\t.xml.next")), bodies[1]);

  fs::remove(root.Host(u"\\t.xml.next"));
  fs::create_hard_link(root.Host(target), root.Host(u"\\t.xml.next"));
  DeviceFile file;
  FileLock lock;
  std::u16string path;
  EXPECT_FALSE(file.OpenSpareBeside(target, path, lock));
  EXPECT_EQ(GetLastError(), static_cast<uint32_t>(EMLINK));
  EXPECT_EQ(ReadHostFile(root.Host(target)), "short");
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
