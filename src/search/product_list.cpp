#include "search/product_list.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/device_fs.h"
#include "platform/internet.h"
#include "platform/text.h"
#include "search/download.h"
#include "search/search_state.h"

namespace quobble {

namespace {

// Position just past the `count`-th '/' of `url`, or npos when it has fewer.
size_t AfterSlash(std::u16string_view url, int count) {
  size_t pos = 0;
  for (int found = 0; found < count; ++found) {
    const size_t slash = url.find(u'/', pos);
    if (slash == std::u16string_view::npos) return std::u16string_view::npos;
    pos = slash + 1;
  }
  return pos;
}

// File systems take names of at most 255 bytes, and paths of a few KB.
constexpr size_t kMaxComponentBytes = 255;
constexpr size_t kMaxCacheNameBytes = 1024;

// A name too long for the file system: its start, then "~" and a hash of the
// whole, so that two long names that start alike stay apart.
std::u16string ShortenComponent(const std::string& utf8) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : utf8) hash = (hash ^ c) * 1099511628211ull;
  char tail[20];
  std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
  return Utf8ToUtf16(std::string(CutUtf8(utf8, kMaxComponentBytes - std::strlen(tail))) + tail);
}

// One folder or file name of the cache, made from the address's own text.
// Only '/' in the address makes a folder: a '\' (the device's separator) and
// characters no name may hold become '_', and "." or ".." become "_" or "__",
// so that whatever a server writes, the name stays inside the cache folder.
std::u16string CacheComponent(std::u16string_view part) {
  std::u16string out(part);
  for (char16_t& c : out)
    if (c == u'\\' || c < 0x20 || c == 0x7F) c = u'_';
  if (out == u"." || out == u"..") out.assign(out.size(), u'_');
  if (const std::string utf8 = Utf16ToUtf8(out); utf8.size() > kMaxComponentBytes)
    return ShortenComponent(utf8);
  return out;
}

}  // namespace

std::u16string ThumbnailCacheName(std::u16string_view imageUrl) {
  size_t begin = AfterSlash(imageUrl, 5);
  // Addresses on a shallower path ("http://host/dir/name.jpg") are cached
  // under their path on the host.
  if (begin == std::u16string_view::npos) begin = AfterSlash(imageUrl, 3);
  if (begin == std::u16string_view::npos || begin >= imageUrl.size()) return {};
  // A name that ends in '/' names a folder: there is no file to keep.
  if (imageUrl.back() == u'/') return {};

  std::u16string name;
  const std::u16string_view rest = imageUrl.substr(begin);
  size_t pos = 0;
  while (pos <= rest.size()) {
    size_t next = rest.find(u'/', pos);
    if (next == std::u16string_view::npos) next = rest.size();
    // "a//b" has an empty component, which the device refuses: skip it.
    if (next > pos) {
      if (!name.empty()) name += u'\\';
      name += CacheComponent(rest.substr(pos, next - pos));
    }
    pos = next + 1;
  }
  // So deep a name is no picture anyone serves; creating it would fail.
  if (Utf16ToUtf8(name).size() > kMaxCacheNameBytes) return {};
  return name;
}

ProductList::ProductList(SearchScreen& screen, std::u16string dataFolder)
    : screen_(screen), dataFolder_(std::move(dataFolder)) {}

ProductList::~ProductList() {
  StopWorker();
}

bool ProductList::ResetList() {
  if (Busy()) {
    screen_.StartRetryTimer();
    stop_.store(true, std::memory_order_release);
    return false;
  }
  if (thread_.joinable()) thread_.join();
  ClearRecords();
  screen_.SetRowCount(0);
  return true;
}

bool ProductList::StartThumbnailFetch() {
  screen_.SetRowCount(static_cast<int>(records_.size()));
  // One worker at a time; joining a running one here could wait for ever on
  // a worker that waits for this (UI) thread.
  if (Busy()) return false;
  if (thread_.joinable()) thread_.join();
  // A stop asked for just as the previous run ended belongs to that run; it
  // must not end this one before its first record.
  stop_.store(false, std::memory_order_release);
  busy_.store(true, std::memory_order_release);
  try {
    thread_ = std::thread([this] {
      FetchThumbnails();
      // The worker's last act: from here on the list is the UI thread's.
      stop_.store(false, std::memory_order_release);
      busy_.store(false, std::memory_order_release);
    });
  } catch (const std::system_error&) {
    busy_.store(false, std::memory_order_release);
    return false;
  }
  return true;
}

void ProductList::FetchThumbnails() {
  // Once the worker is asked to stop, its download was aborted on purpose,
  // and at shutdown nobody is left to dismiss a message.
  MessagesUntilStopped messages(screen_, stop_);
  const auto closing = [this] { return shutdown_.load(std::memory_order_acquire); };
  const auto stopping = [this] { return stop_.load(std::memory_order_acquire); };
  const size_t total = records_.size();
  size_t done = 0;

  for (const auto& record : records_) {
    if (stop_.load(std::memory_order_acquire)) {
      stop_.store(false, std::memory_order_release);
      break;
    }
    // A stop (a new search, or shutdown) aborts the download in flight: a
    // slow server must not hold the next page back. The aborted thumbnail
    // is fetched again when its page is shown again.
    const InternetSession session(kInternetAgent, &stop_);
    if (session.get() == nullptr) {
      if (!closing()) screen_.ArrowCursor();
      messages.ShowMessage(u"InternetOpen Failed", u"Error");
      break;
    }
    const std::u16string name = ThumbnailCacheName(record->imageUrl);
    if (!name.empty()) {
      std::u16string target = dataFolder_ + u"Images\\" + name;
      // A cached file has all its folders already: one open is all it costs.
      if (!DeviceFileExists(target)) {
        if (!CreateFolderPath(target)) messages.ShowMessage(u"CreateDirectory Error", u"Error");
        if (DownloadFile(session.get(), target, record->imageUrl, 1, {}, nullptr, messages,
                         kThumbnailLimit) == 0) {
          if (!stopping()) screen_.ArrowCursor();
          messages.ShowMessage(u"XML DownloadFile Error", u"Error");
          break;
        }
      }
      record->SetThumbPath(std::move(target));
    }

    ++done;
    const int percent =
        static_cast<int>(static_cast<float>(done) / static_cast<float>(total) * 100.0f);
    if (!closing()) screen_.Progress(percent);
  }

  if (!closing()) screen_.ProgressDone();
}

void ProductList::StopWorker(const std::function<void()>& pump) {
  if (!thread_.joinable()) return;
  stop_.store(true, std::memory_order_release);
  shutdown_.store(true, std::memory_order_release);
  // The worker may be waiting for the UI thread to handle one of its calls;
  // keep serving them until it has ended.
  if (pump) {
    while (Busy()) {
      pump();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  thread_.join();
  stop_.store(false, std::memory_order_release);
  shutdown_.store(false, std::memory_order_release);
}

ProductRecord* ProductList::RecordAt(size_t index) {
  return index < records_.size() ? records_[index].get() : nullptr;
}

const ProductRecord* ProductList::RecordAt(size_t index) const {
  return index < records_.size() ? records_[index].get() : nullptr;
}

void ProductList::AppendRecord(std::unique_ptr<ProductRecord> record) {
  if (record) records_.push_back(std::move(record));
}

void ProductList::ClearRecords() {
  records_.clear();
}

bool CreateFolderPath(std::u16string_view path) {
  // Mostly the folder is there already (a thumbnail beside others): one
  // look instead of one for every ancestor.
  const size_t last = path.rfind(u'\\');
  if (last != std::u16string_view::npos && last != 0 && DevicePathExists(path.substr(0, last)))
    return true;
  bool result = true;
  size_t pos = 0;
  while (result) {
    const size_t slash = path.find(u'\\', pos);
    if (slash == std::u16string_view::npos) break;
    if (slash != 0) {
      const std::u16string_view prefix = path.substr(0, slash);
      if (!DevicePathExists(prefix)) result = CreateDeviceFolder(prefix);
    }
    pos = slash + 1;
  }
  return result;
}

}  // namespace quobble
