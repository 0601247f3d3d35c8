// Feeds arbitrary answers down the client's reading path: the parse of the
// answer file, the feed reader with its clean-ups, the price texts and the
// thumbnail cache names. Every cache name must stay inside the cache folder
// and be a name the file system takes, whatever the answer holds.

#include <linux/limits.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "search/feed_reader.h"
#include "search/product_list.h"
#include "search/search_state.h"
#include "xml/xml_document.h"

using namespace quobble;

namespace {

// Shows nothing and accepts every row.
class QuietScreen : public SilentScreen {
 public:
  std::u16string ReadQuery() override { return u"q"; }
};

std::string cacheFolder;  // host path of the cache, with a trailing '/'

void CheckCacheName(const std::u16string& imageUrl) {
  const std::u16string name = ThumbnailCacheName(imageUrl);
  if (name.empty()) return;  // no thumbnail for this record
  const auto host = MapDevicePath(std::u16string(kDataFolder) + u"Images\\" + name);
  if (!host || host->compare(0, cacheFolder.size(), cacheFolder) != 0) __builtin_trap();
  if (host->size() >= PATH_MAX) __builtin_trap();
  size_t start = cacheFolder.size();
  while (start <= host->size()) {
    size_t end = host->find('/', start);
    if (end == std::string::npos) end = host->size();
    const std::string_view part = std::string_view(*host).substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.size() > NAME_MAX) __builtin_trap();
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/quobble-answer-fuzz-XXXXXX";
  if (mkdtemp(folder) == nullptr || !SetDeviceRoot(folder)) return 1;
  cacheFolder = std::string(folder) + "/VOVo Vidav/quobble/Images/";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Through the file, as a search reads its answer (written without the
  // device layer's sync, which would cost more than the rest together).
  const std::u16string path = u"\\answer.xml";
  std::FILE* file = std::fopen(MapDevicePath(path)->c_str(), "wb");
  if (file == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) return 0;
  XmlDocument document;
  if (document.parse_file(path.c_str(), KeepOptions) == 0) return 0;

  QuietScreen screen;
  SearchState state;
  ProductList list(screen, std::u16string(kDataFolder));
  ReadResultFeed(XmlNodeRef(document.root), state, screen, list);
  for (size_t i = 0; i < list.RecordCount(); ++i) {
    const ProductRecord& record = *list.RecordAt(i);
    const std::u16string low = FormatThousands(record.lowPrice);
    const std::u16string high = FormatThousands(record.highPrice);
    if (low.empty() || high.empty()) __builtin_trap();
    CheckCacheName(record.imageUrl);
  }
  return 0;
}
