#pragma once
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quobble::catalogue {

inline constexpr int kThumbnailSize = 120;

// A JPEG picture for a product: colours and pattern follow from the id, so
// the same product always looks the same and neighbours look different.
// Empty on an encoder failure.
std::string RenderThumbnail(int64_t id);

// Encoded thumbnails, most recently used kept.
class ThumbnailCache {
 public:
  explicit ThumbnailCache(size_t capacity = 2048) : capacity_(capacity) {}
  // Null when the picture could not be made.
  std::shared_ptr<const std::string> Get(int64_t id);

 private:
  size_t capacity_;
  std::mutex mutex_;
  std::list<std::pair<int64_t, std::shared_ptr<const std::string>>> order_;
  std::unordered_map<int64_t, decltype(order_)::iterator> entries_;
};

}  // namespace quobble::catalogue
