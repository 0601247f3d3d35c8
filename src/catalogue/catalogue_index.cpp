#include "catalogue/catalogue_index.h"

#include <algorithm>
#include <bit>
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

std::vector<char32_t> ToCodePoints(std::u16string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) out.push_back(NextCodePoint(s, i));
  return out;
}

// A pair's place in a title sits in the low bits of a list entry, the
// title's position above them.
constexpr int kPlaceBits = 8;
constexpr uint32_t kLastPlace = (1u << kPlaceBits) - 1;
constexpr size_t kMostTitles = size_t{1} << (32 - kPlaceBits);

uint64_t PairKey(char32_t first, char32_t second) {
  return (uint64_t{first} << 21) | second;
}

// Moves `at` to the first entry of `list` not below `target` (galloping from
// where it was: targets only grow) and says whether that entry is the target.
bool SeekPlace(const std::vector<uint32_t>& list, size_t& at, uint32_t target) {
  const size_t n = list.size();
  size_t low = at;
  size_t probe = at;
  size_t step = 1;
  while (probe < n && list[probe] < target) {
    low = probe + 1;
    probe += step;
    step *= 2;
  }
  const uint32_t* found =
      std::lower_bound(list.data() + low, list.data() + std::min(probe + 1, n), target);
  at = static_cast<size_t>(found - list.data());
  return at < n && list[at] == target;
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

// Sorts whole numbers below 2^24 (titles are fewer) in three passes of
// eight bits.
void RadixSort(std::vector<uint32_t>& values) {
  if (values.size() < 64) {
    std::sort(values.begin(), values.end());
    return;
  }
  std::vector<uint32_t> other(values.size());
  for (int shift = 0; shift < 24; shift += 8) {
    size_t count[257] = {};
    for (uint32_t v : values) ++count[((v >> shift) & 0xFF) + 1];
    for (int i = 0; i < 256; ++i) count[i + 1] += count[i];
    for (uint32_t v : values) other[count[(v >> shift) & 0xFF]++] = v;
    values.swap(other);
  }
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

CatalogueIndex::CatalogueIndex(size_t cacheEntries)
    : wordCache_(cacheEntries * 2), answerCache_(cacheEntries) {}

std::unique_ptr<CatalogueIndex> CatalogueIndex::Build(std::vector<Product> products,
                                                      std::string& error, size_t cacheEntries) {
  if (products.size() >= kMostTitles) {
    error = "more than " + std::to_string(kMostTitles - 1) + " products";
    return nullptr;
  }
  std::unique_ptr<CatalogueIndex> index(new CatalogueIndex(cacheEntries));
  std::sort(products.begin(), products.end(),
            [](const Product& a, const Product& b) { return a.id < b.id; });
  // Answers copy titles as they are; a catalogue file is checked whole, but
  // products handed over in memory may not be.
  for (Product& p : products) {
    if (!IsValidUtf8(p.title)) p.title = Utf16ToUtf8(Utf8ToUtf16(p.title));
  }
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
  index->BuildWordLists();
  return index;
}

void CatalogueIndex::BuildWordLists() {
  for (uint32_t pos = 0; pos + 1 < foldedStart_.size(); ++pos) {
    const std::vector<char32_t> cps = ToCodePoints(FoldedTitle(pos));
    for (size_t i = 0; i < cps.size(); ++i) {
      auto& match = charTitles_[cps[i]];
      if (!match) match = std::make_shared<WordMatch>();
      if (match->titles.empty() || match->titles.back() != pos) match->titles.push_back(pos);
      if (i + 1 < cps.size() && i <= kLastPlace) {
        pairPlaces_[PairKey(cps[i], cps[i + 1])].push_back(pos << kPlaceBits |
                                                           static_cast<uint32_t>(i));
      }
    }
    if (cps.size() > kLastPlace + 2) longTitles_.push_back(pos);
  }
}

CatalogueIndex::~CatalogueIndex() = default;

int64_t CatalogueIndex::Find(int64_t id) const {
  auto it = byId_.find(id);
  return it == byId_.end() ? -1 : static_cast<int64_t>(it->second);
}

void CatalogueIndex::MatchPairs(const std::vector<char32_t>& word, WordMatch& out) const {
  const size_t pairs = word.size() - 1;
  std::vector<std::pair<const std::vector<uint32_t>*, uint32_t>> lists;  // list, pair's offset
  for (size_t k = 0; k < pairs; ++k) {
    auto it = pairPlaces_.find(PairKey(word[k], word[k + 1]));
    if (it == pairPlaces_.end()) return;
    lists.emplace_back(&it->second, static_cast<uint32_t>(k));
  }
  std::sort(lists.begin(), lists.end(),
            [](const auto& a, const auto& b) { return a.first->size() < b.first->size(); });
  // Where the word would start, by its rarest pair; a start that leaves the
  // word before the title or past the places the lists hold is dropped
  // (long titles are read whole elsewhere).
  std::vector<uint32_t> starts;
  starts.reserve(lists[0].first->size());
  const uint32_t offset = lists[0].second;
  const uint32_t lastStart = kLastPlace - static_cast<uint32_t>(pairs - 1);
  for (uint32_t entry : *lists[0].first) {
    const uint32_t place = entry & kLastPlace;
    if (place >= offset && place - offset <= lastStart) starts.push_back(entry - offset);
  }
  // Then each other pair, rarer first, must follow at its offset.
  for (size_t k = 1; k < lists.size() && !starts.empty(); ++k) {
    const std::vector<uint32_t>& list = *lists[k].first;
    const uint32_t shift = lists[k].second;
    // A list much longer than the starts left is skipped through, not read.
    const bool gallop = list.size() > 16 * starts.size();
    size_t j = 0;
    size_t kept = 0;
    for (uint32_t start : starts) {
      const uint32_t target = start + shift;
      bool found;
      if (gallop) {
        found = SeekPlace(list, j, target);
      } else {
        while (j < list.size() && list[j] < target) ++j;
        found = j < list.size() && list[j] == target;
      }
      if (found) starts[kept++] = start;
    }
    starts.resize(kept);
  }
  for (uint32_t start : starts) {
    const uint32_t pos = start >> kPlaceBits;
    if (!out.titles.empty() && out.titles.back() == pos) {
      if (out.counts.back() < UINT16_MAX) ++out.counts.back();
    } else {
      out.titles.push_back(pos);
      out.counts.push_back(1);
    }
  }
}

// Titles too long for the place lists: their indexed part may miss an
// occurrence, so they are counted from the text instead.
void CatalogueIndex::MatchLongTitles(const std::u16string& foldedWord, WordMatch& out) const {
  WordMatch merged;
  size_t from = 0;
  for (uint32_t pos : longTitles_) {
    for (; from < out.titles.size() && out.titles[from] < pos; ++from) {
      merged.titles.push_back(out.titles[from]);
      merged.counts.push_back(out.counts[from]);
    }
    if (from < out.titles.size() && out.titles[from] == pos) ++from;
    const size_t n = CountOccurrences(FoldedTitle(pos), foldedWord);
    if (n == 0) continue;
    merged.titles.push_back(pos);
    merged.counts.push_back(static_cast<uint16_t>(std::min<size_t>(n, UINT16_MAX)));
  }
  merged.titles.insert(merged.titles.end(), out.titles.begin() + from, out.titles.end());
  merged.counts.insert(merged.counts.end(), out.counts.begin() + from, out.counts.end());
  out = std::move(merged);
}

std::shared_ptr<const WordMatch> CatalogueIndex::Match(const std::u16string& foldedWord) {
  const std::vector<char32_t> cps = ToCodePoints(foldedWord);
  if (cps.size() == 1) {
    // One character: its list; occurrences are counted when ranking.
    auto it = charTitles_.find(cps[0]);
    return it == charTitles_.end() ? std::make_shared<WordMatch>() : it->second;
  }
  const std::string key = Utf16ToUtf8(foldedWord);
  if (auto cached = wordCache_.Get(key)) return cached;
  auto match = std::make_shared<WordMatch>();
  MatchPairs(cps, *match);
  if (!longTitles_.empty()) MatchLongTitles(foldedWord, *match);
  wordCache_.Put(key, match);
  return match;
}

void CatalogueIndex::RankByRelevance(
    Hits& hits, const std::vector<std::u16string>& foldedWords,
    const std::vector<std::shared_ptr<const WordMatch>>& matches) const {
  constexpr double k1 = 1.2;
  constexpr double b = 0.75;
  const double n = static_cast<double>(products_.size());
  std::vector<double> idf;
  for (const auto& match : matches) {
    double c = static_cast<double>(match->titles.size());
    // As in common BM25 practice, a word in most titles still counts a little.
    idf.push_back(std::max(1e-6, std::log((n - c + 0.5) / (c + 0.5))));
  }
  // The hits are still in position order, as is every word's list, so each
  // hit's count is found by walking the lists alongside.
  std::vector<size_t> at(matches.size(), 0);
  // Score and position packed in one number that sorts as wanted: higher
  // scores first, ties by position (so by id). A float keeps the score's
  // first seven digits, more than any difference the formula makes; sorting
  // plain integers takes a third of the time of pairs.
  std::vector<uint64_t> keys;
  keys.reserve(hits.size());
  for (uint32_t pos : hits) {
    const double norm = k1 * (1 - b + b * length_[pos] / averageLength_);
    double score = 0;
    for (size_t i = 0; i < matches.size(); ++i) {
      const WordMatch& match = *matches[i];
      while (match.titles[at[i]] < pos) ++at[i];
      double f = match.counts.empty()
                     ? static_cast<double>(CountOccurrences(FoldedTitle(pos), foldedWords[i]))
                     : match.counts[at[i]];
      score += idf[i] * f * (k1 + 1) / (f + norm);
    }
    // Scores are positive, so their bits order as the numbers do.
    const uint32_t bits = std::bit_cast<uint32_t>(static_cast<float>(score));
    keys.push_back(uint64_t{~bits} << 32 | pos);
  }
  std::sort(keys.begin(), keys.end());
  for (size_t i = 0; i < hits.size(); ++i) hits[i] = static_cast<uint32_t>(keys[i]);
}

void CatalogueIndex::SortHits(Hits& hits, SortKey sort) const {
  // Each hit's place in the full order, sorted, is the order of the hits:
  // whole numbers below the catalogue's size, which a radix sort orders in
  // three passes (a comparison sort took ten times as long on 10,000 hits).
  const auto& rank = rankOf_[static_cast<int>(sort)];
  const auto& order = order_[static_cast<int>(sort)];
  for (uint32_t& pos : hits) pos = rank[pos];
  RadixSort(hits);
  for (uint32_t& place : hits) place = order[place];
}

std::shared_ptr<const Hits> CatalogueIndex::Search(const std::vector<std::u16string>& words,
                                                   SortKey sort, std::string& /*error*/) {
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
    // long hostile query costs few lookups).
    std::vector<std::shared_ptr<const WordMatch>> matches;
    std::vector<std::u16string> scoredWords;
    for (size_t i = 0; i < folded.size(); ++i) {
      matches.push_back(Match(folded[i]));
      scoredWords.push_back(folded[i]);
      const Hits& titles = matches.back()->titles;
      if (i == 0) {
        *hits = titles;
      } else {
        Hits both;
        std::set_intersection(hits->begin(), hits->end(), titles.begin(), titles.end(),
                              std::back_inserter(both));
        hits->swap(both);
      }
      if (hits->empty()) break;
    }
    if (sort == SortKey::Sim) {
      RankByRelevance(*hits, scoredWords, matches);
    } else {
      SortHits(*hits, sort);
    }
  }
  answerCache_.Put(answerKey, hits);
  return hits;
}

}  // namespace quobble::catalogue
