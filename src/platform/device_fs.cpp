#include "platform/device_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "platform/last_error.h"
#include "platform/text.h"

namespace quobble {

namespace {

std::string& RootStorage() {
  static std::string root;
  return root;
}

// The root folder, held open: every device path is opened beneath it.
int rootFd = -1;

bool Fail(int error) {
  SetLastError(static_cast<uint32_t>(error));
  return false;
}

// A device path beside `devicePath`: its name, cut so that name and suffix
// fit in one file name, then the suffix.
std::u16string NameBeside(std::u16string_view devicePath, const char* suffix) {
  const size_t slash = devicePath.rfind(u'\\');
  const std::u16string_view folder = devicePath.substr(0, slash + 1);
  const std::string name = Utf16ToUtf8(devicePath.substr(slash + 1));
  const size_t room = NAME_MAX - std::strlen(suffix);
  std::u16string path(folder);
  path += Utf8ToUtf16(CutUtf8(name, room));
  path += Utf8ToUtf16(suffix);
  return path;
}

// NameBeside with ".part-" and a suffix unique in this process and unlikely
// in any other: ".part-PID-COUNTER-ATTEMPT", in hex.
std::u16string UniqueNameBeside(std::u16string_view devicePath, unsigned attempt) {
  static std::atomic<uint64_t> counter{0};
  static const uint64_t salt = std::random_device()();
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".part-%x-%llx-%x", static_cast<unsigned>(::getpid()),
                static_cast<unsigned long long>(counter.fetch_add(1) ^ salt), attempt);
  return NameBeside(devicePath, suffix);
}

// Whether a file name ends as UniqueNameBeside ends the names it makes.
bool IsTemporaryName(std::string_view name) {
  const size_t part = name.rfind(".part-");
  if (part == std::string_view::npos) return false;
  int fields = 1;
  bool digit = false;
  for (const char c : name.substr(part + 6)) {
    if (c == '-' && digit) {
      ++fields;
      digit = false;
    } else if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
      digit = true;
    } else {
      return false;
    }
  }
  return fields == 3 && digit;
}

// RemoveStaleTemporaryFiles in the folder open at `fd` (which it closes),
// `depth` folders down.
int RemoveStaleIn(int fd, time_t before, int depth) {
  DIR* folder = ::fdopendir(fd);
  if (folder == nullptr) {
    ::close(fd);
    return 0;
  }
  int removed = 0;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(::dirfd(folder), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode) && depth < 64) {
      const int child =
          ::openat(::dirfd(folder), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) removed += RemoveStaleIn(child, before, depth + 1);
    } else if (S_ISREG(st.st_mode) && st.st_mtime < before && IsTemporaryName(name) &&
               ::unlinkat(::dirfd(folder), entry->d_name, 0) == 0) {
      ++removed;
    }
  }
  ::closedir(folder);
  return removed;
}

bool MakeHostFolders(const std::string& path) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    const size_t next = path.find('/', pos + 1);
    partial = path.substr(0, next);
    if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    pos = next;
  }
  return true;
}

// The components of a device path below the root, '/'-separated, or
// nothing when the path is refused. "\\" alone (the root) is ".".
std::optional<std::string> RelativePath(std::u16string_view devicePath) {
  if (devicePath.empty() || devicePath.front() != u'\\' || RootStorage().empty())
    return std::nullopt;
  std::string relative;
  size_t pos = 1;
  while (pos < devicePath.size()) {
    size_t next = devicePath.find(u'\\', pos);
    if (next == std::u16string_view::npos) next = devicePath.size();
    const std::u16string_view part = devicePath.substr(pos, next - pos);
    if (part.empty() || part == u"." || part == u".." ||
        part.find_first_of(std::u16string_view(u"/\0", 2)) != std::u16string_view::npos)
      return std::nullopt;
    if (!relative.empty()) relative += '/';
    relative += Utf16ToUtf8(part);
    pos = next + 1;
  }
  return relative.empty() ? std::string(".") : relative;
}

// Whether openat2 is known to be missing (an old kernel, or a sandbox that
// refuses it): then every component is opened on its own.
std::atomic<bool> noOpenat2{false};

// openat2 beneath the root, refusing links: the fd, or -1 with errno set
// (ENOSYS where the kernel lacks it). The kernel answers EAGAIN when a
// rename raced the lookup; a few more tries settle that.
int Openat2Beneath(const std::string& relative, int flags, mode_t mode) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  long fd = -1;
  for (int attempt = 0; attempt < 8; ++attempt) {
    fd = ::syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
    if (fd >= 0 || (errno != EINTR && errno != EAGAIN)) break;
  }
  return static_cast<int>(fd);
}

// The same by opening one component at a time with O_NOFOLLOW. The
// components are plain names (MapDevicePath refuses "." and ".."), so
// nothing but a link could lead out, and O_NOFOLLOW refuses each.
int WalkBeneath(const std::string& relative, int flags, mode_t mode) {
  int folder = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
  size_t start = 0;
  for (;;) {
    if (folder < 0) return -1;
    const size_t slash = relative.find('/', start);
    const std::string name = relative.substr(start, slash - start);
    const int next =
        slash == std::string::npos
            ? ::openat(folder, name.c_str(), flags | O_NOFOLLOW, mode)
            : ::openat(folder, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    ::close(folder);
    errno = error;
    if (slash == std::string::npos) return next;
    folder = next;
    start = slash + 1;
  }
}

// Opens `relative` beneath the root without following a link anywhere on the
// way, the last component included: a link planted in the data folder can
// neither lead outside it nor stand in for a file. -1 (errno set) on
// failure; ELOOP for a link.
int OpenBeneath(const std::string& relative, int flags, mode_t mode = 0) {
  if (rootFd < 0) {
    errno = ENOENT;
    return -1;
  }
  flags |= O_CLOEXEC;
  if (!noOpenat2.load(std::memory_order_relaxed)) {
    const int fd = Openat2Beneath(relative, flags, mode);
    if (fd >= 0 || errno != ENOSYS) return fd;
    noOpenat2.store(true, std::memory_order_relaxed);
  }
  return WalkBeneath(relative, flags, mode);
}

// The folder that holds a device path's last component, opened beneath the
// root, and that component's name. False (last error set) when refused or
// missing.
class ParentFolder {
 public:
  ParentFolder() = default;
  ~ParentFolder() {
    if (fd_ >= 0) ::close(fd_);
  }
  ParentFolder(const ParentFolder&) = delete;
  ParentFolder& operator=(const ParentFolder&) = delete;

  bool Open(std::u16string_view devicePath, int flags = O_PATH) {
    const auto relative = RelativePath(devicePath);
    if (!relative || *relative == ".") return Fail(ENOENT);
    const size_t slash = relative->rfind('/');
    name_ = slash == std::string::npos ? *relative : relative->substr(slash + 1);
    fd_ = OpenBeneath(slash == std::string::npos ? "." : relative->substr(0, slash),
                      flags | O_DIRECTORY);
    return fd_ >= 0 ? true : Fail(errno);
  }
  int fd() const { return fd_; }
  const char* name() const { return name_.c_str(); }

 private:
  int fd_ = -1;
  std::string name_;
};

}  // namespace

int RemoveStaleTemporaryFiles(std::u16string_view folderPath, int64_t olderThanSeconds) {
  const auto relative = RelativePath(folderPath);
  if (!relative) return 0;
  const int fd = OpenBeneath(*relative, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return 0;
  return RemoveStaleIn(fd, ::time(nullptr) - static_cast<time_t>(olderThanSeconds), 0);
}

void UseComponentWalkForTests(bool walk) {
  noOpenat2.store(walk, std::memory_order_relaxed);
}

std::string ResolveDeviceRoot(const char* rootArgument) {
  if (rootArgument != nullptr && *rootArgument != '\0') return rootArgument;
  if (const char* env = std::getenv("QUOBBLE_ROOT"); env != nullptr && *env != '\0') return env;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/')
    return std::string(xdg) + "/quobble";
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    // Never fall back to a shared folder such as /tmp: another user could
    // plant files there.
    const passwd* entry = ::getpwuid(::getuid());
    home = entry != nullptr ? entry->pw_dir : ".";
  }
  return std::string(home) + "/.local/share/quobble";
}

bool SetDeviceRoot(const std::string& hostFolder) {
  std::string root = hostFolder;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root.empty()) return Fail(ENOENT);
  RootStorage() = root;
  if (rootFd >= 0) ::close(rootFd);
  rootFd = -1;
  if (!MakeHostFolders(root)) return Fail(errno);
  // The root itself is the user's choice, links and all; only what lies
  // beneath it is opened without following links.
  rootFd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  return rootFd >= 0 ? true : Fail(errno == ENOTDIR ? ENOTDIR : errno);
}

const std::string& DeviceRoot() {
  return RootStorage();
}

std::optional<std::string> MapDevicePath(std::u16string_view devicePath) {
  const auto relative = RelativePath(devicePath);
  if (!relative) return std::nullopt;
  return *relative == "." ? RootStorage() : RootStorage() + "/" + *relative;
}

bool CreateDeviceFolder(std::u16string_view devicePath) {
  ParentFolder parent;
  if (!parent.Open(devicePath)) return false;
  return ::mkdirat(parent.fd(), parent.name(), 0755) == 0 ? true : Fail(errno);
}

bool DeviceFileExists(std::u16string_view devicePath) {
  const auto relative = RelativePath(devicePath);
  if (!relative) return Fail(ENOENT);
  const int fd = OpenBeneath(*relative, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return Fail(errno);
  struct stat st {};
  const bool isFile = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return isFile ? true : Fail(EISDIR);
}

bool DevicePathExists(std::u16string_view devicePath) {
  ParentFolder parent;
  if (!parent.Open(devicePath)) return false;
  struct stat st {};
  return ::fstatat(parent.fd(), parent.name(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? true : Fail(errno);
}

bool DeleteDeviceFile(std::u16string_view devicePath) {
  ParentFolder parent;
  if (!parent.Open(devicePath)) return false;
  return ::unlinkat(parent.fd(), parent.name(), 0) == 0 ? true : Fail(errno);
}

bool RenameDeviceFile(std::u16string_view from, std::u16string_view to) {
  ParentFolder fromParent;
  if (!fromParent.Open(from)) return false;
  // A temporary file is renamed within its folder: that folder is opened
  // once.
  if (from.substr(0, from.rfind(u'\\')) == to.substr(0, to.rfind(u'\\'))) {
    const auto relative = RelativePath(to);
    if (!relative || *relative == ".") return Fail(ENOENT);
    const std::string name = relative->substr(relative->rfind('/') + 1);
    return ::renameat(fromParent.fd(), fromParent.name(), fromParent.fd(), name.c_str()) == 0
               ? true
               : Fail(errno);
  }
  ParentFolder toParent;
  if (!toParent.Open(to)) return false;
  return ::renameat(fromParent.fd(), fromParent.name(), toParent.fd(), toParent.name()) == 0
             ? true
             : Fail(errno);
}

bool SyncDeviceFolderOf(std::u16string_view devicePath) {
  ParentFolder parent;
  if (!parent.Open(devicePath, O_RDONLY)) return false;
  return ::fsync(parent.fd()) == 0 ? true : Fail(errno);
}

DeviceFile::~DeviceFile() {
  // A failure the caller is about to report must keep its error code.
  const uint32_t error = GetLastError();
  Close();
  SetLastError(error);
}

bool DeviceFile::EnsureRegularFile() {
  struct stat st {};
  int error = 0;
  if (::fstat(fd_, &st) != 0) {
    error = errno;
  } else if (S_ISDIR(st.st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(st.st_mode)) {
    error = EINVAL;
  }
  if (error == 0) return true;
  ::close(fd_);
  fd_ = -1;
  writing_ = false;
  return Fail(error);
}

bool DeviceFile::OpenForRead(std::u16string_view devicePath) {
  Close();
  const auto relative = RelativePath(devicePath);
  if (!relative) return Fail(ENOENT);
  // O_NONBLOCK: a FIFO planted at the path must not hang the caller; it has
  // no effect on the regular files we accept.
  fd_ = OpenBeneath(*relative, O_RDONLY | O_NONBLOCK);
  if (fd_ < 0) return Fail(errno);
  writing_ = false;
  return EnsureRegularFile();
}

bool DeviceFile::CreateAlways(std::u16string_view devicePath) {
  Close();
  const auto relative = RelativePath(devicePath);
  if (!relative) return Fail(ENOENT);
  fd_ = OpenBeneath(*relative, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0644);
  if (fd_ < 0) return Fail(errno);
  writing_ = true;
  return EnsureRegularFile();
}

bool DeviceFile::CreateBeside(std::u16string_view devicePath, std::u16string& createdPath) {
  Close();
  if (devicePath.empty() || devicePath.back() == u'\\') return Fail(ENOENT);
  for (unsigned attempt = 0; attempt < 8; ++attempt) {
    const std::u16string path = UniqueNameBeside(devicePath, attempt);
    const auto relative = RelativePath(path);
    if (!relative) return Fail(ENOENT);
    fd_ = OpenBeneath(*relative, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd_ < 0 && errno == EEXIST) continue;
    if (fd_ < 0) return Fail(errno);
    writing_ = true;
    createdPath = path;
    return true;
  }
  return Fail(EEXIST);
}

int64_t DeviceFile::Read(void* buffer, size_t size) {
  if (fd_ < 0) {
    Fail(EBADF);
    return -1;
  }
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return n;
    if (errno != EINTR) {
      Fail(errno);
      return -1;
    }
  }
}

bool ReadDeviceFile(std::u16string_view devicePath, size_t limit, std::string& out) {
  DeviceFile file;
  if (!file.OpenForRead(devicePath)) return false;
  const int64_t size = file.Size();
  if (size < 0) return false;
  if (static_cast<uint64_t>(size) > limit) return Fail(EFBIG);
  out.resize(static_cast<size_t>(size));
  size_t have = 0;
  // The size is a hint: the file may change while it is read.
  for (;;) {
    if (have == out.size()) {
      if (have >= limit) break;
      out.resize(std::min(limit, have + 4096));
    }
    const int64_t n = file.Read(out.data() + have, out.size() - have);
    if (n < 0) return false;
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  out.resize(have);
  char probe;
  if (have >= limit && file.Read(&probe, 1) > 0) return Fail(EFBIG);
  return true;
}

int64_t DeviceFile::Size() const {
  struct stat st {};
  if (fd_ < 0) {
    Fail(EBADF);
    return -1;
  }
  if (::fstat(fd_, &st) != 0) {
    Fail(errno);
    return -1;
  }
  return st.st_size;
}

bool DeviceFile::Write(const void* buffer, size_t size) {
  if (fd_ < 0) return Fail(EBADF);
  const char* p = static_cast<const char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void DeviceFile::StartWriteback() {
  if (fd_ >= 0 && writing_) (void)::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void DeviceFile::Abandon() {
  if (fd_ >= 0) (void)::close(fd_);
  fd_ = -1;
  writing_ = false;
}

bool DeviceFile::Close() {
  if (fd_ < 0) return true;
  bool ok = true;
  int error = 0;
  if (writing_ && ::fdatasync(fd_) != 0) {
    ok = false;
    error = errno;
  }
  if (::close(fd_) != 0 && ok) {
    ok = false;
    error = errno;
  }
  fd_ = -1;
  writing_ = false;
  return ok ? true : Fail(error);
}

}  // namespace quobble
