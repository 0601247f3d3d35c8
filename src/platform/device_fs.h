#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quobble {

// The device file system. The core names files with device paths: absolute,
// backslash-separated ("\VOVo Vidav\quobble\Images\p3\name.jpg"). They map
// onto a host folder, the device root; this is the only code that touches the
// host file system for device files.
//
// A path that is not absolute, or that has an empty, "." or ".." component, a
// '/' or a NUL, is refused: the operation fails as for a missing folder
// (last error ENOENT), so no device path can reach outside the root. A single
// trailing backslash names the folder itself. No symbolic link beneath the
// root is ever followed: a path through one fails (ELOOP or ENOTDIR), and
// deleting or renaming over one acts on the link itself.

// The root: `--root DIR` (passed in), else QUOBBLE_ROOT, else
// $XDG_DATA_HOME/quobble, else ~/.local/share/quobble.
std::string ResolveDeviceRoot(const char* rootArgument);
// Sets the root for the whole process and creates it if missing. Call once at
// start-up, before any other thread runs.
bool SetDeviceRoot(const std::string& hostFolder);
const std::string& DeviceRoot();

// The host path for a device path, or nothing when the path is refused.
std::optional<std::string> MapDevicePath(std::u16string_view devicePath);

bool CreateDeviceFolder(std::u16string_view devicePath);
// A file (not a folder) that can be opened for reading.
bool DeviceFileExists(std::u16string_view devicePath);
// A file or folder.
bool DevicePathExists(std::u16string_view devicePath);
bool DeleteDeviceFile(std::u16string_view devicePath);
// Puts `from` in the place of `to` in one step: a reader of `to` sees the old
// file or the new one, never a mix.
bool RenameDeviceFile(std::u16string_view from, std::u16string_view to);
// Waits until the entries of the folder that holds `devicePath` (a rename
// into it, say) are on storage.
bool SyncDeviceFolderOf(std::u16string_view devicePath);

// Deletes, in the folder and every folder below it, the temporary files that
// CreateBeside makes (NAME.part-…) whose last change is older than
// `olderThanSeconds`: what a crash or a power cut left behind. Files of a
// download still going on are younger. Links are neither followed nor
// deleted. The number of files deleted.
int RemoveStaleTemporaryFiles(std::u16string_view folderPath, int64_t olderThanSeconds);

// Opens every component of a device path on its own (as where the kernel
// lacks openat2) instead of resolving it in one call, for tests.
void UseComponentWalkForTests(bool walk);

// The whole content of a device file into `out`; false (last error set) when
// it cannot be read or holds more than `limit` bytes (EFBIG).
[[nodiscard]] bool ReadDeviceFile(std::u16string_view devicePath, size_t limit, std::string& out);

// One open device file. Every failure sets the last error code (errno).
class DeviceFile {
 public:
  DeviceFile() = default;
  ~DeviceFile();
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;

  [[nodiscard]] bool OpenForRead(std::u16string_view devicePath);
  // Creates the file, replacing one that exists. Written through: Close()
  // returns only once the data is on storage.
  [[nodiscard]] bool CreateAlways(std::u16string_view devicePath);
  // Creates a new file beside `devicePath` (in its folder), named after it
  // with a suffix no other file has, cut to fit the file system; its device
  // path goes to `createdPath`. Written through like CreateAlways.
  [[nodiscard]] bool CreateBeside(std::u16string_view devicePath, std::u16string& createdPath);
  // Bytes read, 0 at the end, -1 on failure.
  [[nodiscard]] int64_t Read(void* buffer, size_t size);
  // The file's size in bytes, -1 on failure.
  [[nodiscard]] int64_t Size() const;
  // Writes all of `size` bytes or fails.
  [[nodiscard]] bool Write(const void* buffer, size_t size);
  // Starts what has been written on its way to storage without waiting, so
  // that a Close() after other work waits for less. A hint: a failure shows
  // in Close().
  void StartWriteback();
  // Syncs a file opened for writing, then closes. False when either failed.
  bool Close();
  // Closes without syncing, for a file about to be deleted.
  void Abandon();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  bool EnsureRegularFile();
  int fd_ = -1;
  bool writing_ = false;
};

}  // namespace quobble
