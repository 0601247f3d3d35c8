#pragma once
#include <string>

namespace quobble {

// A fresh device root in a temporary folder for the life of a test; removed
// with everything in it afterwards.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  // The host path of a device path below this root ("\a\b" -> ROOT/a/b).
  std::string Host(const std::u16string& devicePath) const;

 private:
  std::string path_;
};

}  // namespace quobble
