#include "catalogue/catalogue_index.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/text.h"

namespace quobble::catalogue {
namespace {

Product Make(int64_t id, std::string title, int64_t low, std::string updated) {
  Product p;
  p.id = id;
  p.title = std::move(title);
  p.lowPrice = low;
  p.updated = std::move(updated);
  return p;
}

class CatalogueIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<Product> products = {
        // Listed out of id order on purpose: positions follow the id.
        Make(50, "Norvik Running Shoes 러닝화 운동화", 30000, "2025-05-01 00:00:00"),
        Make(10, "Kiri Leather SHOES 가죽 구두", 90000, "2026-01-01 00:00:00"),
        Make(20, "Lumo 노트북 Laptop 15.6인치", 900000, "2024-03-01 00:00:00"),
        Make(30, "Corvo 커피 원두 Coffee Beans 1kg", 0, "2026-01-01 00:00:00"),
        Make(40, "Aurel 사무용 의자 Office Chair", 90000, "2025-12-31 23:59:59"),
        Make(60, "Zephyra Ä-Serie ÉCLAIR TV 거치대", 45000, "2025-06-01 00:00:00"),
    };
    std::string error;
    index_ = CatalogueIndex::Build(std::move(products), error);
    ASSERT_TRUE(index_) << error;
  }

  std::vector<int64_t> Ids(std::u16string_view query, SortKey sort = SortKey::Sim) {
    std::string error;
    auto hits = index_->Search(SplitWords(query), sort, error);
    EXPECT_TRUE(hits) << error;
    std::vector<int64_t> ids;
    if (hits) {
      for (uint32_t pos : *hits) ids.push_back(index_->Products()[pos].id);
    }
    return ids;
  }

  std::unique_ptr<CatalogueIndex> index_;
};

using V = std::vector<int64_t>;

TEST_F(CatalogueIndexTest, EveryWordMustOccurInTheTitle) {
  struct Case {
    std::u16string query;
    V ids;
  } cases[] = {
      {u"shoes", {10, 50}},           // case-insensitive, ties by id
      {u"sHoEs 운동화", {50}},        // all words
      {u"운동화", {50}},              // Hangul substring
      {u"동화", {50}},                // two syllables: no trigram, still found
      {u"커피", {30}},                // the same for a two-syllable word alone
      {u"의", {40}},                  // one character
      {u"tv", {60}},                  // short Latin word, folded
      {u"TV 거치대", {60}},           // short word filters the trigram candidates
      {u"tv shoes", {}},              // short word that the candidates lack
      {u"éclair", {60}},              // Latin-1 capitals fold
      {u"ä-serie", {60}},             //
      {u"laptop 노트북 15.6", {20}},  // punctuation inside a word
      {u"chair\u3000office", {40}},   // ideographic space separates words
      {u"desk", {}},
      {u"   ", {}},  // no word, no hit
      {u"\"", {}},   // FTS syntax characters are only text
      {u"\"shoes\" OR", {}},
      {u"shoes shoes SHOES", {10, 50}},  // repeated words count once
  };
  for (const auto& c : cases) {
    V ids = Ids(c.query);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, c.ids) << Utf16ToUtf8(c.query);
  }
}

TEST_F(CatalogueIndexTest, SortOrdersBreakTiesById) {
  // "o" is in every title but one.
  EXPECT_EQ(Ids(u"o", SortKey::Date), (V{10, 30, 40, 50, 20}));
  EXPECT_EQ(Ids(u"o", SortKey::Asc), (V{30, 50, 10, 40, 20}));
  EXPECT_EQ(Ids(u"o", SortKey::Dsc), (V{20, 10, 40, 50, 30}));
  // The same through the trigram path.
  EXPECT_EQ(Ids(u"shoes", SortKey::Date), (V{10, 50}));
  EXPECT_EQ(Ids(u"shoes", SortKey::Asc), (V{50, 10}));
  EXPECT_EQ(Ids(u"shoes", SortKey::Dsc), (V{10, 50}));
}

TEST(CatalogueRelevance, DenserTitlesAndRarerWordsRankFirstTiesById) {
  std::vector<Product> products = {
      Make(5, "chair desk", 0, "2025-01-01 00:00:00"),
      Make(1, "chair with a very long title about many other things and more words here desk", 0,
           "2025-01-01 00:00:00"),
      Make(2, "chair chair desk", 0, "2025-01-01 00:00:00"),
      Make(4, "chair desk", 0, "2025-01-01 00:00:00"),
      Make(3, "lamp desk 의자", 0, "2025-01-01 00:00:00"),
      Make(6, "lamp", 0, "2025-01-01 00:00:00"),
      Make(7, "lamp", 0, "2025-01-01 00:00:00"),
  };
  std::string error;
  auto index = CatalogueIndex::Build(std::move(products), error);
  ASSERT_TRUE(index) << error;
  auto ids = [&](std::u16string_view q) {
    V out;
    auto hits = index->Search(SplitWords(q), SortKey::Sim, error);
    EXPECT_TRUE(hits) << error;
    for (uint32_t pos : *hits) out.push_back(index->Products()[pos].id);
    return out;
  };
  // Two occurrences beat one; equal titles keep id order; the long title last.
  EXPECT_EQ(ids(u"chair"), (V{2, 4, 5, 1}));
  // "의자" is in one title only, so it outweighs "desk" in every title.
  EXPECT_EQ(ids(u"desk 의자"), (V{3}));
  EXPECT_EQ(ids(u"lamp"), (V{6, 7, 3}));
}

TEST(CatalogueLongTitles, WordsArePlacedAndCountedAnywhereInATitle) {
  // Past the 256 places the pair lists hold, a title is read whole.
  std::string filler(300, 'x');
  std::vector<Product> products = {
      Make(1, "aaaa lamp", 0, "2025-01-01 00:00:00"),
      Make(2, "aaa aaa lamp", 0, "2025-01-01 00:00:00"),
      Make(3, filler + " lamp aaaa " + filler + "lamp aaa", 0, "2025-01-01 00:00:00"),
      Make(4, "lamp " + filler, 0, "2025-01-01 00:00:00"),
      Make(5, "abab", 0, "2025-01-01 00:00:00"),
  };
  std::string error;
  auto index = CatalogueIndex::Build(std::move(products), error);
  ASSERT_TRUE(index) << error;
  struct Case {
    std::u16string query;
    V ids;
  } cases[] = {
      // Overlapping occurrences count: "aaaa" holds "aaa" twice, as do the
      // two "aaa" of title 2; title 3 holds it three times, but is long.
      {u"aaa", {1, 2, 3}}, {u"lamp", {1, 2, 3, 4}}, {u"aaaa", {1, 3}},
      {u"xl", {3}},  // only past the first 256 places of title 3
      {u"bab", {5}},       {u"aba", {5}},           {u"abba", {}},
  };
  for (const auto& c : cases) {
    V ids;
    for (uint32_t pos : *index->Search(SplitWords(c.query), SortKey::Sim, error)) {
      ids.push_back(index->Products()[pos].id);
    }
    if (c.query != u"aaa") std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, c.ids) << Utf16ToUtf8(c.query);
  }
}

TEST_F(CatalogueIndexTest, RepeatedSearchesShareTheCachedResult) {
  std::string error;
  auto a = index_->Search(SplitWords(u"shoes 운동화"), SortKey::Asc, error);
  auto b = index_->Search(SplitWords(u"운동화 SHOES"), SortKey::Asc, error);
  auto c = index_->Search(SplitWords(u"shoes 운동화"), SortKey::Dsc, error);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_NE(a.get(), c.get());
  EXPECT_EQ(index_->Find(40), 3);
  EXPECT_EQ(index_->Find(41), -1);
}

TEST(CatalogueText, FoldCaseKeepsLengthAndFoldsLatinOnly) {
  EXPECT_EQ(FoldCase(u"ABC xyZ ÀÉÞ × Ŀ Ÿ Ω Я Ё ＡＢ 운동화"),
            u"abc xyz àéþ × ŀ ÿ ω я ё ａｂ 운동화");
  EXPECT_EQ(SplitWords(u"  a\tB  b c\u00a0d "),
            (std::vector<std::u16string>{u"a", u"B", u"c", u"d"}));
}

}  // namespace
}  // namespace quobble::catalogue
