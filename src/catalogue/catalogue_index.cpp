#include "catalogue/catalogue_index.h"

#include <sqlite3.h>

#include <algorithm>
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

bool IsSpace(char16_t c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0xA0 || c == 0x3000;
}

size_t CodePoints(std::u16string_view s) {
  size_t n = 0;
  for (char16_t c : s) {
    if (c < 0xDC00 || c > 0xDFFF) ++n;
  }
  return n;
}

// Trigram lookup needs three characters; anything shorter is a filter.
bool IsLongWord(std::u16string_view word) {
  return CodePoints(word) >= 3;
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
    while (i < query.size() && IsSpace(query[i])) ++i;
    size_t from = i;
    while (i < query.size() && !IsSpace(query[i])) ++i;
    if (i == from) break;
    std::u16string word(query.substr(from, i - from));
    std::u16string f = FoldCase(word);
    if (std::find(folded.begin(), folded.end(), f) != folded.end()) continue;
    folded.push_back(std::move(f));
    words.push_back(std::move(word));
  }
  return words;
}

std::unique_ptr<CatalogueIndex> CatalogueIndex::Build(std::vector<Product> products,
                                                      std::string& error, size_t cacheEntries) {
  std::unique_ptr<CatalogueIndex> index(new CatalogueIndex());
  index->cacheEntries_ = cacheEntries;
  std::sort(products.begin(), products.end(),
            [](const Product& a, const Product& b) { return a.id < b.id; });
  index->products_ = std::move(products);
  const auto& ps = index->products_;
  const size_t n = ps.size();
  index->folded_.reserve(n);
  index->byId_.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    index->folded_.push_back(FoldCase(Utf8ToUtf16(ps[i].title)));
    index->byId_.emplace(ps[i].id, i);
  }
  // Full orders; positions already follow the id, so ties fall back to it.
  auto makeOrder = [&](auto less) {
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), less);
    return order;
  };
  index->order_[static_cast<int>(SortKey::Sim)] =
      makeOrder([](uint32_t, uint32_t) { return false; });
  index->order_[static_cast<int>(SortKey::Date)] =
      makeOrder([&](uint32_t a, uint32_t b) { return ps[a].updated > ps[b].updated; });
  index->order_[static_cast<int>(SortKey::Asc)] =
      makeOrder([&](uint32_t a, uint32_t b) { return ps[a].lowPrice < ps[b].lowPrice; });
  index->order_[static_cast<int>(SortKey::Dsc)] =
      makeOrder([&](uint32_t a, uint32_t b) { return ps[a].lowPrice > ps[b].lowPrice; });
  for (int k = 0; k < 4; ++k) {
    index->rankOf_[k].resize(n);
    for (uint32_t place = 0; place < n; ++place) index->rankOf_[k][index->order_[k][place]] = place;
  }
  if (!index->BuildImage(error)) return nullptr;
  return index;
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
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
    error = SqliteError(db, "cannot open the index database");
    sqlite3_close(db);
    return nullptr;
  }
  // Read-only and not freed on close: every connection reads the same image.
  int rc =
      sqlite3_deserialize(db, "main", image_, imageSize_, imageSize_, SQLITE_DESERIALIZE_READONLY);
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

bool CatalogueIndex::MatchLongWords(const std::vector<std::u16string>& words, bool ranked,
                                    Hits& out, std::string& error) {
  std::string match;
  for (const auto& w : words) {
    if (!IsLongWord(w)) continue;
    if (!match.empty()) match += " AND ";
    match += FtsPhrase(w);
  }
  sqlite3* db = Acquire(error);
  if (!db) return false;
  const char* sql = ranked ? "SELECT rowid FROM titles WHERE titles MATCH ?1 ORDER BY rank, rowid"
                           : "SELECT rowid FROM titles WHERE titles MATCH ?1";
  sqlite3_stmt* stmt = nullptr;
  bool ok = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_bind_text(stmt, 1, match.data(), static_cast<int>(match.size()), SQLITE_STATIC);
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
  return ok;
}

void CatalogueIndex::SortHits(Hits& hits, SortKey sort) const {
  const auto& rank = rankOf_[static_cast<int>(sort)];
  std::sort(hits.begin(), hits.end(), [&](uint32_t a, uint32_t b) { return rank[a] < rank[b]; });
}

std::shared_ptr<const Hits> CatalogueIndex::Search(const std::vector<std::u16string>& words,
                                                   SortKey sort, std::string& error) {
  std::vector<std::u16string> folded;
  for (const auto& w : words) folded.push_back(FoldCase(w));
  std::vector<std::u16string> key(folded);
  std::sort(key.begin(), key.end());
  std::string cacheKey(1, static_cast<char>('0' + static_cast<int>(sort)));
  for (const auto& w : key) cacheKey += '\x1f' + Utf16ToUtf8(w);
  if (cacheEntries_ > 0) {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    auto it = cache_.find(cacheKey);
    if (it != cache_.end()) {
      cacheOrder_.splice(cacheOrder_.begin(), cacheOrder_, it->second);
      return it->second->hits;
    }
  }

  auto hits = std::make_shared<Hits>();
  if (!words.empty()) {
    bool anyLong = std::any_of(words.begin(), words.end(),
                               [](const std::u16string& w) { return IsLongWord(w); });
    if (anyLong) {
      if (!MatchLongWords(words, sort == SortKey::Sim, *hits, error)) return nullptr;
      if (sort != SortKey::Sim) SortHits(*hits, sort);
    } else {
      *hits = order_[static_cast<int>(sort)];
    }
    std::vector<const std::u16string*> shortWords;
    for (const auto& f : folded) {
      if (!IsLongWord(f)) shortWords.push_back(&f);
    }
    if (!shortWords.empty()) {
      std::erase_if(*hits, [&](uint32_t pos) {
        const std::u16string& title = folded_[pos];
        for (const std::u16string* w : shortWords) {
          if (title.find(*w) == std::u16string::npos) return true;
        }
        return false;
      });
    }
  }
  std::shared_ptr<const Hits> result = std::move(hits);
  if (cacheEntries_ > 0) {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    if (!cache_.count(cacheKey)) {
      cacheOrder_.push_front(CacheEntry{cacheKey, result});
      cache_[cacheKey] = cacheOrder_.begin();
      if (cacheOrder_.size() > cacheEntries_) {
        cache_.erase(cacheOrder_.back().key);
        cacheOrder_.pop_back();
      }
    }
  }
  return result;
}

}  // namespace quobble::catalogue
