#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace quobble {

struct ThumbRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

// What the imaging side learnt of a decoded thumbnail; zero until decoded.
struct ImageInfo {
  int32_t width = 0;
  int32_t height = 0;
};

// A decoded thumbnail, owned by its record. The drawing layer derives from it
// (and keeps its pixels there), so the core needs no imaging library.
class RecordImage {
 public:
  virtual ~RecordImage() = default;
};

// One search hit. The worker thread writes only the thumbnail path, through
// SetThumbPath; the UI thread reads it with ThumbPath() and sees either the
// empty path or the whole one.
class ProductRecord {
 public:
  ProductRecord() = default;
  ProductRecord(const ProductRecord&) = delete;
  ProductRecord& operator=(const ProductRecord&) = delete;

  std::u16string title;
  std::u16string link;
  std::u16string imageUrl;
  int32_t lowPrice = 0;
  int32_t highPrice = 0;
  std::unique_ptr<RecordImage> image;  // UI thread only
  ImageInfo imageInfo;                 // UI thread only
  ThumbRect thumbRect;                 // UI thread only

  std::u16string ThumbPath() const {
    std::lock_guard lock(thumbMutex_);
    return thumbPath_;
  }
  void SetThumbPath(std::u16string path) {
    std::lock_guard lock(thumbMutex_);
    thumbPath_ = std::move(path);
  }

 private:
  mutable std::mutex thumbMutex_;
  std::u16string thumbPath_;
};

}  // namespace quobble
