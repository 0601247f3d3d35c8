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
// trailing backslash names the folder itself.

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
// Puts the spare that OpenSpareBeside opened in the place of `devicePath`
// in one step, as RenameDeviceFile would. The target's old file becomes
// NAME.previous, and the one that was there becomes the next spare: nothing
// is freed. Call with the spare's lock held. False (last error set) when the
// spare could not take the target's place.
bool PublishSpare(std::u16string_view devicePath);

// The whole content of a device file into `out`; false (last error set) when
// it cannot be read or holds more than `limit` bytes (EFBIG).
[[nodiscard]] bool ReadDeviceFile(std::u16string_view devicePath, size_t limit, std::string& out);

// An exclusive lock on a folder, for writers that agree to take it, held
// until released or destroyed.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  void Release();
  bool Held() const { return fd_ >= 0; }

 private:
  friend class DeviceFile;
  int fd_ = -1;
};

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
  // Opens the spare kept beside `devicePath` (NAME.next, made when
  // missing), to be written over from its start and put in the target's
  // place with PublishSpare: a file that is replaced again and again then
  // reuses the blocks of older versions instead of freeing some and
  // allocating others each time, which costs more than the writing. `lock`
  // takes the folder: hold it until PublishSpare. Close() cuts the file to
  // what was written. False (last error set) when the spare cannot be had
  // at once, as when another writer holds the folder: CreateBeside is the
  // way then.
  [[nodiscard]] bool OpenSpareBeside(std::u16string_view devicePath, std::u16string& sparePath,
                                     FileLock& lock);
  // Bytes read, 0 at the end, -1 on failure.
  [[nodiscard]] int64_t Read(void* buffer, size_t size);
  // The file's size in bytes, -1 on failure.
  [[nodiscard]] int64_t Size() const;
  // Writes all of `size` bytes or fails.
  [[nodiscard]] bool Write(const void* buffer, size_t size);
  // Asks the system to start writing what has been written so far to
  // storage, without waiting: a Close() that comes after some other work
  // then waits for less. Advisory; a failure shows in Close().
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
  bool spare_ = false;
};

}  // namespace quobble
