#include "catalogue/thumbnail.h"

#include <turbojpeg.h>

#include <cmath>
#include <vector>

namespace quobble::catalogue {
namespace {

uint64_t Mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

struct Rgb {
  unsigned char r, g, b;
};

Rgb FromHue(double hue, double saturation, double value) {
  double c = value * saturation;
  double h = std::fmod(hue, 360.0) / 60.0;
  double x = c * (1 - std::fabs(std::fmod(h, 2.0) - 1));
  double r = 0, g = 0, b = 0;
  if (h < 1) {
    r = c, g = x;
  } else if (h < 2) {
    r = x, g = c;
  } else if (h < 3) {
    g = c, b = x;
  } else if (h < 4) {
    g = x, b = c;
  } else if (h < 5) {
    r = x, b = c;
  } else {
    r = c, b = x;
  }
  double m = value - c;
  auto byte = [](double v) { return static_cast<unsigned char>(std::lround(v * 255)); };
  return {byte(r + m), byte(g + m), byte(b + m)};
}

}  // namespace

std::string RenderThumbnail(int64_t id) {
  const uint64_t h = Mix(static_cast<uint64_t>(id));
  const double hue = static_cast<double>(h % 360);
  const Rgb base = FromHue(hue, 0.55, 0.95);
  const Rgb accent = FromHue(hue + 120 + static_cast<double>((h >> 12) % 120), 0.75, 0.6);
  const int pattern = static_cast<int>((h >> 24) % 4);
  const int period = 8 + static_cast<int>((h >> 28) % 16);
  const int n = kThumbnailSize;
  std::vector<unsigned char> pixels(static_cast<size_t>(n * n * 3));
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      bool on = false;
      switch (pattern) {
        case 0:  // stripes
          on = (x / period) % 2 == 0;
          break;
        case 1:  // checks
          on = ((x / period) + (y / period)) % 2 == 0;
          break;
        case 2: {  // rings
          int dx = x - n / 2, dy = y - n / 2;
          on = static_cast<int>(std::sqrt(dx * dx + dy * dy)) / period % 2 == 0;
          break;
        }
        default:  // diagonals
          on = ((x + y) / period) % 2 == 0;
          break;
      }
      const Rgb& c = on ? accent : base;
      unsigned char* px = &pixels[static_cast<size_t>((y * n + x) * 3)];
      px[0] = c.r;
      px[1] = c.g;
      px[2] = c.b;
    }
  }
  tjhandle encoder = tjInitCompress();
  if (!encoder) return {};
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  int rc = tjCompress2(encoder, pixels.data(), n, 0, n, TJPF_RGB, &jpeg, &size, TJSAMP_420, 85,
                       TJFLAG_FASTDCT);
  std::string out;
  if (rc == 0 && jpeg) out.assign(reinterpret_cast<const char*>(jpeg), size);
  tjFree(jpeg);
  tjDestroy(encoder);
  return out;
}

std::shared_ptr<const std::string> ThumbnailCache::Get(int64_t id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(id);
    if (it != entries_.end()) {
      order_.splice(order_.begin(), order_, it->second);
      return it->second->second;
    }
  }
  // Rendered outside the lock: two threads may both render a new picture,
  // which costs a little time but never blocks the others.
  std::string jpeg = RenderThumbnail(id);
  if (jpeg.empty()) return nullptr;
  auto shared = std::make_shared<const std::string>(std::move(jpeg));
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.count(id)) return entries_[id]->second;
  order_.emplace_front(id, shared);
  entries_[id] = order_.begin();
  if (order_.size() > capacity_) {
    entries_.erase(order_.back().first);
    order_.pop_back();
  }
  return shared;
}

}  // namespace quobble::catalogue
