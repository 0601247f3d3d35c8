#include "catalogue/price_days.h"

#include <gtest/gtest.h>

#include <map>

namespace quobble::catalogue {
namespace {

TEST(PriceDays, DatesAreReadStrictly) {
  const std::pair<const char*, int64_t> good[] = {
      {"1970-01-01", 0}, {"2000-02-29", 11016}, {"2026-12-08", 20795}};
  for (const auto& [text, expected] : good) {
    int64_t day = -1;
    EXPECT_TRUE(ParseCatalogueDay(text, day)) << text;
    EXPECT_EQ(day, expected) << text;
    EXPECT_EQ(CatalogueDayText(day), text);
  }
  for (const char* bad : {"", "2026-1-08", "2026-13-01", "2026-02-29", "1900-02-29", "1969-12-31",
                          "2026-12-08x", "2026/12/08", "2026-00-10", "2026-04-31", "+026-12-08"}) {
    int64_t day = 0;
    EXPECT_FALSE(ParseCatalogueDay(bad, day)) << bad;
  }
}

// A year of days over a thousand products: the same every time it is
// computed, with most prices staying from one day to the next, some
// dropping, some rising and a few products missing.
TEST(PriceDays, PricesMoveTheSameWayInEveryRun) {
  std::vector<Product> catalogue;
  for (int64_t id = 1; id <= 1000; ++id) {
    Product p;
    p.id = id * 7919;
    p.lowPrice = 10000 + id * 10;
    p.highPrice = id % 3 == 0 ? 0 : p.lowPrice * 2;
    catalogue.push_back(p);
  }
  std::map<int64_t, int64_t> yesterday;
  int stayed = 0, dropped = 0, rose = 0, missing = 0;
  for (int64_t day = 20000; day < 20365; ++day) {
    auto products = catalogue;
    ApplyCatalogueDay(products, day);
    auto again = catalogue;
    ApplyCatalogueDay(again, day);
    ASSERT_EQ(products.size(), again.size());
    missing += static_cast<int>(catalogue.size() - products.size());
    std::map<int64_t, int64_t> today;
    for (size_t i = 0; i < products.size(); ++i) {
      const Product& p = products[i];
      ASSERT_EQ(p.lowPrice, again[i].lowPrice);
      ASSERT_EQ(p.lowPrice % 10, 0);
      ASSERT_TRUE(p.highPrice == 0 || p.highPrice >= p.lowPrice);
      today[p.id] = p.lowPrice;
      const auto before = yesterday.find(p.id);
      if (before == yesterday.end()) continue;
      if (p.lowPrice == before->second) ++stayed;
      if (p.lowPrice < before->second) ++dropped;
      if (p.lowPrice > before->second) ++rose;
    }
    yesterday = std::move(today);
  }
  const int compared = stayed + dropped + rose;
  EXPECT_GT(stayed, compared * 9 / 10);
  EXPECT_GT(dropped, compared / 100);
  EXPECT_GT(rose, compared / 100);
  EXPECT_GT(missing, 365 * 1000 / 100);
  EXPECT_LT(missing, 365 * 1000 / 20);
}

}  // namespace
}  // namespace quobble::catalogue
