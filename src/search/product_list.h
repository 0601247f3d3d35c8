#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "search/product_record.h"
#include "search/search_screen.h"

namespace quobble {

// The page's records and the thumbnail worker that fills in their thumbnail
// paths. Records change only while the worker is not busy.
class ProductList {
 public:
  static constexpr int kRowHeight = 122;
  static constexpr uint32_t kDividerColor = 0xD2D2D2;  // RGB(210, 210, 210)

  ProductList(SearchScreen& screen, std::u16string dataFolder);
  // Stops the worker and waits for it: it never outlives the list.
  virtual ~ProductList();
  ProductList(const ProductList&) = delete;
  ProductList& operator=(const ProductList&) = delete;

  // False while the worker runs (it is asked to stop and the retry timer is
  // started); else drops the records, sets the row count to 0, true.
  [[nodiscard]] bool ResetList();
  // Row count := records, then the worker starts. False when no thread could
  // be started (the page then simply has no thumbnails) or one still runs.
  bool StartThumbnailFetch();
  // The worker's body; runs on the worker thread, which lowers the busy and
  // stop flags once it returns.
  virtual void FetchThumbnails();

  bool Busy() const { return busy_.load(std::memory_order_acquire); }
  // Shutdown: asks the worker to stop, aborts its download in flight, and
  // waits for it. `pump` runs between checks so that a UI thread can keep
  // serving the worker's calls meanwhile.
  void StopWorker(const std::function<void()>& pump = {});

  size_t RecordCount() const { return records_.size(); }
  // Null when `index` is outside the page.
  ProductRecord* RecordAt(size_t index);
  const ProductRecord* RecordAt(size_t index) const;
  void AppendRecord(std::unique_ptr<ProductRecord> record);
  void ClearRecords();

  const std::u16string& DataFolder() const { return dataFolder_; }

 protected:
  // The screen the worker reports to, for a variant's own worker body.
  SearchScreen& Screen() const { return screen_; }

 private:
  SearchScreen& screen_;
  std::u16string dataFolder_;
  std::vector<std::unique_ptr<ProductRecord>> records_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> stop_{false};
  // Set only at shutdown: aborts the download in flight, silences messages.
  std::atomic<bool> shutdown_{false};
  std::thread thread_;
};

// Creates every missing ancestor folder of `path`, top down; the text after
// the last '\' is a file name and is not created.
bool CreateFolderPath(std::u16string_view path);

// The cache name (below "Images\") of a thumbnail address: the text after
// its fifth '/', or after its third on a shallower path, '/' turned into '\'.
// Empty when the address names no file, or a path too deep to create (the
// record then has no thumbnail). Never holds an empty, "." or ".." component,
// whatever the address holds; a component longer than a file name may be is
// cut and ends in "~" and a hash of the whole.
std::u16string ThumbnailCacheName(std::u16string_view imageUrl);

}  // namespace quobble
