#pragma once
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalogue/catalogue_data.h"

struct sqlite3;

namespace quobble::catalogue {

enum class SortKey { Sim, Date, Asc, Dsc };

// Folds Latin (ASCII, Latin-1, Latin Extended-A, full-width), Greek and
// Cyrillic capitals to small letters, one UTF-16 unit for one, so positions
// in the folded text are positions in the original. Hangul has no case.
std::u16string FoldCase(std::u16string_view text);

// The query's words, split at white space, folded duplicates dropped, in
// their first order. Words keep their original case.
std::vector<std::u16string> SplitWords(std::u16string_view query);

// Positions (into Products()) of the products that match, in answer order.
using Hits = std::vector<uint32_t>;

// The searchable catalogue: the products sorted by id, an FTS5 trigram index
// of their titles, and the orders of the date and price sorts.
//
// Words of three characters or more are looked up in the trigram index; a
// shorter word has no trigram, so it filters the candidate rows (or, when the
// query has no longer word, every row) by a folded substring test. Each
// server thread borrows a connection of its own; all of them read one shared,
// read-only image of the database built at start-up.
class CatalogueIndex {
 public:
  static std::unique_ptr<CatalogueIndex> Build(std::vector<Product> products, std::string& error,
                                               size_t cacheEntries = 256);
  ~CatalogueIndex();
  CatalogueIndex(const CatalogueIndex&) = delete;
  CatalogueIndex& operator=(const CatalogueIndex&) = delete;

  const std::vector<Product>& Products() const { return products_; }
  // Position of the product with this id, or -1.
  int64_t Find(int64_t id) const;
  // The folded title of the product at `position` (for highlighting).
  const std::u16string& FoldedTitle(size_t position) const { return folded_[position]; }

  // Every product whose title holds each word. Null (and `error` set) only
  // when the database fails.
  std::shared_ptr<const Hits> Search(const std::vector<std::u16string>& words, SortKey sort,
                                     std::string& error);

 private:
  CatalogueIndex() = default;
  bool BuildImage(std::string& error);
  sqlite3* Acquire(std::string& error);
  void Release(sqlite3* db);
  bool MatchLongWords(const std::vector<std::u16string>& words, bool ranked, Hits& out,
                      std::string& error);
  void SortHits(Hits& hits, SortKey sort) const;

  std::vector<Product> products_;
  std::vector<std::u16string> folded_;
  std::unordered_map<int64_t, uint32_t> byId_;
  std::vector<uint32_t> rankOf_[4];  // per sort key: position -> place in the full order
  std::vector<uint32_t> order_[4];   // per sort key: the full order, for queries of short words

  unsigned char* image_ = nullptr;  // serialized database, owned (sqlite3_malloc)
  int64_t imageSize_ = 0;
  std::mutex poolMutex_;
  std::vector<sqlite3*> idle_;

  struct CacheEntry {
    std::string key;
    std::shared_ptr<const Hits> hits;
  };
  size_t cacheEntries_ = 0;
  std::mutex cacheMutex_;
  std::list<CacheEntry> cacheOrder_;  // most recently used first
  std::unordered_map<std::string, std::list<CacheEntry>::iterator> cache_;
};

}  // namespace quobble::catalogue
