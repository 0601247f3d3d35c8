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

// The query's words, split at white space and control characters, folded
// duplicates dropped, in their first order. Words keep their original case.
std::vector<std::u16string> SplitWords(std::u16string_view query);

// Positions (into Products()) of the products that match, in answer order.
using Hits = std::vector<uint32_t>;

// A small LRU map from text keys to shared hit lists, safe across threads.
class HitsCache {
 public:
  explicit HitsCache(size_t capacity) : capacity_(capacity) {}
  std::shared_ptr<const Hits> Get(const std::string& key);
  void Put(const std::string& key, std::shared_ptr<const Hits> hits);

 private:
  struct Entry {
    std::string key;
    std::shared_ptr<const Hits> hits;
  };
  size_t capacity_;
  std::mutex mutex_;
  std::list<Entry> order_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> entries_;
};

// The searchable catalogue: the products sorted by id, an FTS5 trigram index
// of their titles, lists of the titles holding each character and each pair
// of characters, and the orders of the date and price sorts.
//
// Each word of a query is looked up on its own: a word of three characters
// or more in the trigram index (SQLite FTS5); a shorter word has no trigram,
// so it is looked up in the character or character-pair lists, which hold
// exactly the titles containing it. The hits are the titles found for every
// word. `sim` ranks them by Okapi BM25 over the query's words (k1 1.2, b
// 0.75, title length in characters), computed here from each word's number
// of titles and its occurrences in each hit; the other orders come from
// precomputed ranks. Ties go to the lower id, so pages never overlap.
//
// Each server thread borrows a SQLite connection of its own; all of them read
// one shared, read-only image of the database built at start-up. Word lookups
// and whole answers are cached, so paging through a query costs a slice.
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
  std::u16string_view FoldedTitle(size_t position) const {
    return std::u16string_view(folded_).substr(foldedStart_[position],
                                               foldedStart_[position + 1] - foldedStart_[position]);
  }

  // Every product whose title holds each word, in the order asked for. Null
  // (and `error` set) only when the database fails.
  std::shared_ptr<const Hits> Search(const std::vector<std::u16string>& words, SortKey sort,
                                     std::string& error);

 private:
  explicit CatalogueIndex(size_t cacheEntries);
  bool BuildImage(std::string& error);
  void BuildShortWordLists();
  sqlite3* Acquire(std::string& error);
  void Release(sqlite3* db);
  // Positions (ascending) of the titles holding the folded word.
  std::shared_ptr<const Hits> WordHits(const std::u16string& foldedWord, std::string& error);
  bool MatchTrigrams(const std::u16string& foldedWord, Hits& out, std::string& error);
  void RankByRelevance(Hits& hits, const std::vector<std::u16string>& foldedWords,
                       const std::vector<size_t>& titlesPerWord) const;
  void SortHits(Hits& hits, SortKey sort) const;

  std::vector<Product> products_;
  // Every folded title back to back: ranking reads them in position order.
  std::u16string folded_;
  std::vector<uint32_t> foldedStart_;  // n + 1 offsets into folded_
  std::vector<uint32_t> length_;       // title length in characters
  double averageLength_ = 1;
  std::unordered_map<int64_t, uint32_t> byId_;
  std::unordered_map<uint64_t, Hits> shortWordHits_;  // one or two characters -> titles
  std::vector<uint32_t> rankOf_[4];  // per sort key: position -> place in the full order
  std::vector<uint32_t> order_[4];   // per sort key: the full order

  unsigned char* image_ = nullptr;  // serialized database, owned (sqlite3_malloc)
  int64_t imageSize_ = 0;
  std::mutex poolMutex_;
  std::vector<sqlite3*> idle_;

  HitsCache wordCache_;
  HitsCache answerCache_;
};

}  // namespace quobble::catalogue
