#include "catalogue/catalogue_index.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "platform/text.h"

namespace quobble::catalogue {
namespace {

char16_t FoldUnit(char16_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c + 32) : c;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F) || (c >= 0xFF21 && c <= 0xFF3A)) {
    return static_cast<char16_t>(c + 32);
  }
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
  // Latin Extended-A pairs capitals and small letters side by side; the
  // parity flips after the three letters that have no pair.
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
    return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
    return (c % 2 == 1) ? static_cast<char16_t>(c + 1) : c;
  }
  if (c == 0x178) return 0xFF;
  return c;
}

// Control characters separate words too: no title is searched for them, and
// the full-text query syntax cannot carry a NUL.
bool IsSeparator(char16_t c) {
  return c <= ' ' || c == 0x7F || c == 0xA0 || c == 0x3000;
}

size_t CodePoints(std::u16string_view s) {
  size_t n = 0;
  for (char16_t c : s) {
    if (c < 0xDC00 || c > 0xDFFF) ++n;
  }
  return n;
}

// Trigram lookup needs three characters; shorter words use the character
// and character-pair lists.
bool IsLongWord(std::u16string_view word) {
  return CodePoints(word) >= 3;
}

std::vector<char32_t> ToCodePoints(std::u16string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) out.push_back(NextCodePoint(s, i));
  return out;
}

// Code points fit in 21 bits; a pair is kept apart from a single character
// by the bit above both.
uint64_t ShortKey(char32_t c) {
  return c;
}
uint64_t ShortKey(char32_t first, char32_t second) {
  return (uint64_t{1} << 63) | (uint64_t{first} << 21) | second;
}

// Occurrences of `word` in `text`, overlapping ones included. A plain loop:
// titles are short, and this runs for every hit of a ranked query.
size_t CountOccurrences(std::u16string_view text, std::u16string_view word) {
  if (word.empty() || word.size() > text.size()) return 0;
  const char16_t first = word[0];
  const size_t last = text.size() - word.size();
  size_t n = 0;
  for (size_t i = 0; i <= last; ++i) {
    if (text[i] == first && text.compare(i + 1, word.size() - 1, word.substr(1)) == 0) ++n;
  }
  return n;
}

// The character lists live as long as the index; callers get them unowned.
std::shared_ptr<const Hits> Unowned(const Hits& hits) {
  return std::shared_ptr<const Hits>(std::shared_ptr<const Hits>(), &hits);
}

std::string FtsPhrase(std::u16string_view word) {
  std::string phrase = "\"";
  for (char c : Utf16ToUtf8(word)) {
    if (c == '"') phrase += '"';
    phrase += c;
  }
  phrase += '"';
  return phrase;
}

std::string SqliteError(sqlite3* db, const char* what) {
  return std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

}  // namespace

std::u16string FoldCase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = FoldUnit(c);
  return out;
}

std::vector<std::u16string> SplitWords(std::u16string_view query) {
  std::vector<std::u16string> words;
  std::vector<std::u16string> folded;
  size_t i = 0;
  while (i < query.size()) {
    while (i < query.size() && IsSeparator(query[i])) ++i;
    size_t from = i;
    while (i < query.size() && !IsSeparator(query[i])) ++i;
    if (i == from) break;
    std::u16string word(query.substr(from, i - from));
    std::u16string f = FoldCase(word);
    if (std::find(folded.begin(), folded.end(), f) != folded.end()) continue;
    folded.push_back(std::move(f));
    words.push_back(std::move(word));
  }
  return words;
}

std::shared_ptr<const Hits> HitsCache::Get(const std::string& key) {
  if (capacity_ == 0) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return nullptr;
  order_.splice(order_.begin(), order_, it->second);
  return it->second->hits;
}

void HitsCache::Put(const std::string& key, std::shared_ptr<const Hits> hits) {
  if (capacity_ == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.count(key)) return;
  order_.push_front(Entry{key, std::move(hits)});
  entries_[key] = order_.begin();
  if (order_.size() > capacity_) {
    entries_.erase(order_.back().key);
    order_.pop_back();
  }
}

CatalogueIndex::CatalogueIndex(size_t cacheEntries)
    : wordCache_(cacheEntries * 2), answerCache_(cacheEntries) {}

std::unique_ptr<CatalogueIndex> CatalogueIndex::Build(std::vector<Product> products,
                                                      std::string& error, size_t cacheEntries) {
  std::unique_ptr<CatalogueIndex> index(new CatalogueIndex(cacheEntries));
  std::sort(products.begin(), products.end(),
            [](const Product& a, const Product& b) { return a.id < b.id; });
  index->products_ = std::move(products);
  const auto& ps = index->products_;
  const size_t n = ps.size();
  index->foldedStart_.reserve(n + 1);
  index->length_.reserve(n);
  index->byId_.reserve(n);
  double totalLength = 0;
  for (uint32_t i = 0; i < n; ++i) {
    std::u16string folded = FoldCase(Utf8ToUtf16(ps[i].title));
    index->foldedStart_.push_back(static_cast<uint32_t>(index->folded_.size()));
    index->folded_ += folded;
    index->length_.push_back(static_cast<uint32_t>(CodePoints(folded)));
    totalLength += index->length_.back();
    index->byId_.emplace(ps[i].id, i);
  }
  index->foldedStart_.push_back(static_cast<uint32_t>(index->folded_.size()));
  if (n > 0) index->averageLength_ = std::max(1.0, totalLength / static_cast<double>(n));
  // Positions already follow the id, so a stable sort leaves ties in id order.
  auto rank = [&](SortKey key, auto less) {
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), less);
    auto& rankOf = index->rankOf_[static_cast<int>(key)];
    rankOf.resize(n);
    for (uint32_t place = 0; place < n; ++place) rankOf[order[place]] = place;
    index->order_[static_cast<int>(key)] = std::move(order);
  };
  rank(SortKey::Sim, [](uint32_t, uint32_t) { return false; });
  rank(SortKey::Date, [&](uint32_t a, uint32_t b) { return ps[a].updated > ps[b].updated; });
  rank(SortKey::Asc, [&](uint32_t a, uint32_t b) { return ps[a].lowPrice < ps[b].lowPrice; });
  rank(SortKey::Dsc, [&](uint32_t a, uint32_t b) { return ps[a].lowPrice > ps[b].lowPrice; });
  index->BuildShortWordLists();
  if (!index->BuildImage(error)) return nullptr;
  return index;
}

void CatalogueIndex::BuildShortWordLists() {
  for (uint32_t pos = 0; pos + 1 < foldedStart_.size(); ++pos) {
    std::vector<char32_t> cps = ToCodePoints(FoldedTitle(pos));
    auto add = [&](uint64_t key) {
      Hits& list = shortWordHits_[key];
      if (list.empty() || list.back() != pos) list.push_back(pos);
    };
    for (size_t i = 0; i < cps.size(); ++i) {
      add(ShortKey(cps[i]));
      if (i + 1 < cps.size()) add(ShortKey(cps[i], cps[i + 1]));
    }
  }
}

CatalogueIndex::~CatalogueIndex() {
  for (sqlite3* db : idle_) sqlite3_close(db);
  sqlite3_free(image_);
}

int64_t CatalogueIndex::Find(int64_t id) const {
  auto it = byId_.find(id);
  return it == byId_.end() ? -1 : static_cast<int64_t>(it->second);
}

bool CatalogueIndex::BuildImage(std::string& error) {
  sqlite3* db = nullptr;
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
    error = SqliteError(db, "cannot open the index database");
    sqlite3_close(db);
    return false;
  }
  auto fail = [&](const char* what) {
    error = SqliteError(db, what);
    sqlite3_close(db);
    return false;
  };
  if (sqlite3_exec(db,
                   "CREATE VIRTUAL TABLE titles USING fts5(title, "
                   "tokenize = 'trigram case_sensitive 0');"
                   "BEGIN;",
                   nullptr, nullptr, nullptr) != SQLITE_OK) {
    return fail("cannot create the title index");
  }
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT INTO titles(rowid, title) VALUES (?1, ?2)", -1, &insert,
                         nullptr) != SQLITE_OK) {
    return fail("cannot prepare the title index");
  }
  for (size_t i = 0; i < products_.size(); ++i) {
    sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(i));
    const std::string& title = products_[i].title;
    sqlite3_bind_text(insert, 2, title.data(), static_cast<int>(title.size()), SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) {
      sqlite3_finalize(insert);
      return fail("cannot index a title");
    }
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  // One merged segment makes every lookup a single b-tree walk.
  if (sqlite3_exec(db, "COMMIT; INSERT INTO titles(titles) VALUES ('optimize');", nullptr, nullptr,
                   nullptr) != SQLITE_OK) {
    return fail("cannot finish the title index");
  }
  sqlite3_int64 size = 0;
  image_ = sqlite3_serialize(db, "main", &size, 0);
  imageSize_ = size;
  if (!image_) return fail("cannot serialize the title index");
  sqlite3_close(db);
  return true;
}

sqlite3* CatalogueIndex::Acquire(std::string& error) {
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (!idle_.empty()) {
      sqlite3* db = idle_.back();
      idle_.pop_back();
      return db;
    }
  }
  sqlite3* db = nullptr;
  // A pooled connection serves one thread at a time, so SQLite's own
  // per-call locking would only cost time.
  if (sqlite3_open_v2(":memory:", &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    error = SqliteError(db, "cannot open the index database");
    sqlite3_close(db);
    return nullptr;
  }
  // Read-only and not freed on close: every connection reads the same image.
  int rc =
      sqlite3_deserialize(db, "main", image_, imageSize_, imageSize_, SQLITE_DESERIALIZE_READONLY);
  // Memory mapping lets the pager read pages in place instead of copying them.
  if (rc == SQLITE_OK) {
    rc = sqlite3_exec(db, "PRAGMA mmap_size = 1073741824", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) {
    error = SqliteError(db, "cannot load the index database");
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

void CatalogueIndex::Release(sqlite3* db) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  idle_.push_back(db);
}

bool CatalogueIndex::MatchTrigrams(const std::u16string& foldedWord, Hits& out,
                                   std::string& error) {
  sqlite3* db = Acquire(error);
  if (!db) return false;
  const std::string phrase = FtsPhrase(foldedWord);
  sqlite3_stmt* stmt = nullptr;
  bool ok = sqlite3_prepare_v2(db, "SELECT rowid FROM titles WHERE titles MATCH ?1", -1, &stmt,
                               nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_bind_text(stmt, 1, phrase.data(), static_cast<int>(phrase.size()), SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      sqlite3_int64 row = sqlite3_column_int64(stmt, 0);
      if (row >= 0 && static_cast<uint64_t>(row) < products_.size()) {
        out.push_back(static_cast<uint32_t>(row));
      }
    }
    ok = rc == SQLITE_DONE;
  }
  if (!ok) error = SqliteError(db, "title lookup failed");
  sqlite3_finalize(stmt);
  Release(db);
  std::sort(out.begin(), out.end());
  return ok;
}

std::shared_ptr<const Hits> CatalogueIndex::WordHits(const std::u16string& foldedWord,
                                                     std::string& error) {
  if (!IsLongWord(foldedWord)) {
    static const Hits kNone;
    std::vector<char32_t> cps = ToCodePoints(foldedWord);
    uint64_t key = cps.size() == 1 ? ShortKey(cps[0]) : ShortKey(cps[0], cps[1]);
    auto it = shortWordHits_.find(key);
    return Unowned(it == shortWordHits_.end() ? kNone : it->second);
  }
  const std::string key = Utf16ToUtf8(foldedWord);
  if (auto cached = wordCache_.Get(key)) return cached;
  auto hits = std::make_shared<Hits>();
  if (!MatchTrigrams(foldedWord, *hits, error)) return nullptr;
  wordCache_.Put(key, hits);
  return hits;
}

void CatalogueIndex::RankByRelevance(Hits& hits, const std::vector<std::u16string>& foldedWords,
                                     const std::vector<size_t>& titlesPerWord) const {
  constexpr double k1 = 1.2;
  constexpr double b = 0.75;
  const double n = static_cast<double>(products_.size());
  std::vector<double> idf;
  for (size_t count : titlesPerWord) {
    double c = static_cast<double>(count);
    // As in common BM25 practice, a word in most titles still counts a little.
    idf.push_back(std::max(1e-6, std::log((n - c + 0.5) / (c + 0.5))));
  }
  std::vector<std::pair<double, uint32_t>> scored;
  scored.reserve(hits.size());
  for (uint32_t pos : hits) {
    const double norm = k1 * (1 - b + b * length_[pos] / averageLength_);
    double score = 0;
    for (size_t i = 0; i < foldedWords.size(); ++i) {
      double f = static_cast<double>(CountOccurrences(FoldedTitle(pos), foldedWords[i]));
      score += idf[i] * f * (k1 + 1) / (f + norm);
    }
    scored.emplace_back(score, pos);
  }
  std::sort(scored.begin(), scored.end(), [](const auto& a, const auto& c) {
    return a.first != c.first ? a.first > c.first : a.second < c.second;
  });
  for (size_t i = 0; i < hits.size(); ++i) hits[i] = scored[i].second;
}

void CatalogueIndex::SortHits(Hits& hits, SortKey sort) const {
  const size_t n = products_.size();
  // Many hits: one pass over the full order beats a sort that looks up a
  // rank for every comparison.
  if (hits.size() > n / 32) {
    std::vector<bool> hit(n, false);
    for (uint32_t pos : hits) hit[pos] = true;
    hits.clear();
    for (uint32_t pos : order_[static_cast<int>(sort)]) {
      if (hit[pos]) hits.push_back(pos);
    }
    return;
  }
  const auto& rank = rankOf_[static_cast<int>(sort)];
  std::sort(hits.begin(), hits.end(), [&](uint32_t a, uint32_t b) { return rank[a] < rank[b]; });
}

std::shared_ptr<const Hits> CatalogueIndex::Search(const std::vector<std::u16string>& words,
                                                   SortKey sort, std::string& error) {
  std::vector<std::u16string> folded;
  for (const auto& w : words) {
    std::u16string f = FoldCase(w);
    if (!f.empty() && std::find(folded.begin(), folded.end(), f) == folded.end()) {
      folded.push_back(std::move(f));
    }
  }
  std::sort(folded.begin(), folded.end());
  std::string answerKey(1, static_cast<char>('0' + static_cast<int>(sort)));
  for (const auto& w : folded) answerKey += '\x1f' + Utf16ToUtf8(w);
  if (auto cached = answerCache_.Get(answerKey)) return cached;

  auto hits = std::make_shared<Hits>();
  if (!folded.empty()) {
    // Words are looked up one at a time and the hits narrowed as they come,
    // so a query of many words stops at the first that leaves nothing (a
    // long hostile query costs few lookups). Short words go first: their
    // lists are in memory.
    std::vector<const std::u16string*> byCost;
    for (const auto& w : folded) byCost.push_back(&w);
    std::stable_partition(byCost.begin(), byCost.end(),
                          [](const std::u16string* w) { return !IsLongWord(*w); });
    std::vector<size_t> titlesPerWord;
    std::vector<std::u16string> scoredWords;
    for (size_t i = 0; i < byCost.size(); ++i) {
      auto list = WordHits(*byCost[i], error);
      if (!list) return nullptr;
      titlesPerWord.push_back(list->size());
      scoredWords.push_back(*byCost[i]);
      if (i == 0) {
        *hits = *list;
      } else {
        Hits both;
        std::set_intersection(hits->begin(), hits->end(), list->begin(), list->end(),
                              std::back_inserter(both));
        hits->swap(both);
      }
      if (hits->empty()) break;
    }
    if (sort == SortKey::Sim) {
      RankByRelevance(*hits, scoredWords, titlesPerWord);
    } else {
      SortHits(*hits, sort);
    }
  }
  answerCache_.Put(answerKey, hits);
  return hits;
}

}  // namespace quobble::catalogue
