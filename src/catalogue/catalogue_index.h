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

// A small LRU map from text keys to shared values, safe across threads.
template <typename T>
class LruCache {
 public:
  explicit LruCache(size_t capacity) : capacity_(capacity) {}
  std::shared_ptr<const T> Get(const std::string& key) {
    if (capacity_ == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return nullptr;
    order_.splice(order_.begin(), order_, it->second);
    return it->second->value;
  }
  void Put(const std::string& key, std::shared_ptr<const T> value) {
    if (capacity_ == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.count(key)) return;
    order_.push_front(Entry{key, std::move(value)});
    entries_[key] = order_.begin();
    if (order_.size() > capacity_) {
      entries_.erase(order_.back().key);
      order_.pop_back();
    }
  }

 private:
  struct Entry {
    std::string key;
    std::shared_ptr<const T> value;
  };
  size_t capacity_;
  std::mutex mutex_;
  std::list<Entry> order_;  // most recently used first
  std::unordered_map<std::string, typename std::list<Entry>::iterator> entries_;
};

// The titles holding one word, ascending, and how often each holds it
// (overlapping occurrences included); no counts when they were not taken.
struct WordMatch {
  Hits titles;
  std::vector<uint16_t> counts;
};

// The searchable catalogue, all in memory: the products sorted by id, their
// folded titles back to back, the titles holding each character, every place
// of each pair of characters, and the orders of the date and price sorts.
//
// Each word of a query is looked up on its own. A word of one character is
// its list. A longer word is the places where all its pairs follow each
// other: starting from its rarest pair, each place is checked against the
// other pairs' lists, so the answer is exact without reading any title, and
// the places give the number of occurrences in each title for free (a
// full-text engine's trigram lookup cost 0.2-0.3 us per hit, ten times this).
// The hits are the titles found for every word. `sim` ranks them by Okapi
// BM25 over the query's words (k1 1.2, b 0.75, title length in characters),
// computed here from each word's number of titles and its occurrences in
// each hit; the other orders come from precomputed ranks. Ties go to the
// lower id, so pages never overlap.
//
// Everything is read-only after Build(), so any number of threads search at
// once. Word lookups and whole answers are cached, so paging through a query
// costs a slice.
class CatalogueIndex {
 public:
  static std::unique_ptr<CatalogueIndex> Build(std::vector<Product> products, std::string& error,
                                               size_t cacheEntries = 256);
  ~CatalogueIndex();
  CatalogueIndex(const CatalogueIndex&) = delete;
  CatalogueIndex& operator=(const CatalogueIndex&) = delete;

  // Sorted by id; every title valid UTF-8 (one that was not is cleaned).
  const std::vector<Product>& Products() const { return products_; }
  // Position of the product with this id, or -1.
  int64_t Find(int64_t id) const;
  // The folded title of the product at `position` (for highlighting).
  std::u16string_view FoldedTitle(size_t position) const {
    return std::u16string_view(folded_).substr(foldedStart_[position],
                                               foldedStart_[position + 1] - foldedStart_[position]);
  }

  // Every product whose title holds each word, in the order asked for. Never
  // null since the index moved into memory; `error` is kept for callers that
  // still handle a failed lookup.
  std::shared_ptr<const Hits> Search(const std::vector<std::u16string>& words, SortKey sort,
                                     std::string& error);

 private:
  explicit CatalogueIndex(size_t cacheEntries);
  void BuildWordLists();
  // The titles holding the folded word.
  std::shared_ptr<const WordMatch> Match(const std::u16string& foldedWord);
  void MatchPairs(const std::vector<char32_t>& word, WordMatch& out) const;
  void MatchLongTitles(const std::u16string& foldedWord, WordMatch& out) const;
  void RankByRelevance(Hits& hits, const std::vector<std::u16string>& foldedWords,
                       const std::vector<std::shared_ptr<const WordMatch>>& matches) const;
  void SortHits(Hits& hits, SortKey sort) const;

  std::vector<Product> products_;
  // Every folded title back to back: ranking reads them in position order.
  std::u16string folded_;
  std::vector<uint32_t> foldedStart_;  // n + 1 offsets into folded_
  std::vector<uint32_t> length_;       // title length in characters
  double averageLength_ = 1;
  std::unordered_map<int64_t, uint32_t> byId_;
  // Character -> the titles holding it (no counts).
  std::unordered_map<char32_t, std::shared_ptr<WordMatch>> charTitles_;
  // Character pair -> its places: the title's position above kPlaceBits, the
  // pair's place in the title (in characters) below, ascending.
  std::unordered_map<uint64_t, std::vector<uint32_t>> pairPlaces_;
  // Titles with pairs beyond the last place the lists can hold; such titles
  // are read whole at every lookup (none in any catalogue we ship).
  std::vector<uint32_t> longTitles_;
  std::vector<uint32_t> rankOf_[4];  // per sort key: position -> place in the full order
  std::vector<uint32_t> order_[4];   // per sort key: the full order

  LruCache<WordMatch> wordCache_;
  LruCache<Hits> answerCache_;
};

}  // namespace quobble::catalogue
