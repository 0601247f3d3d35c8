#include "tests/support/temp_root.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/device_fs.h"

namespace quobble {

TempRoot::TempRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quobble-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  SetDeviceRoot(path_);
}

TempRoot::~TempRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempRoot::Host(const std::u16string& devicePath) const {
  auto host = MapDevicePath(devicePath);
  return host ? *host : std::string();
}

}  // namespace quobble
