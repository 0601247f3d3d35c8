#include "catalogue/catalogue_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace quobble::catalogue {
namespace {

constexpr const char* kHeader =
    "id\ttitle\tlprice\thprice\tmallName\tmaker\tbrand\tproductType\tcategory1\tcategory2\t"
    "category3\tcategory4\tupdated\n";

std::string Line(std::string id, std::string title = "Desk", std::string low = "100",
                 std::string updated = "2025-01-02 03:04:05") {
  return id + "\t" + title + "\t" + low + "\t0\tMall\tMaker\tBrand\t1\tA\tB\t\t\t" + updated + "\n";
}

TEST(CatalogueData, RefusesMalformedLinesNamingTheLine) {
  struct Case {
    const char* name;
    std::string body;
    const char* expected;
  } cases[] = {
      {"missing field", "1\tDesk\t100\n", "line 2: expected 13 fields"},
      {"id not a number", Line("x1"), "line 2: id must be"},
      {"id zero", Line("0"), "line 2: id must be"},
      {"id too long", Line("1234567890123456"), "line 2: id must be"},
      {"id twice", Line("7") + Line("7"), "line 3: id 7 appears twice"},
      {"empty title", Line("1", ""), "line 2: empty title"},
      {"negative price", Line("1", "Desk", "-5"), "line 2: lprice"},
      {"price beyond 32 bits", Line("1", "Desk", "2147483648"), "line 2: lprice"},
      {"bad date", Line("1", "Desk", "100", "2025-1-2"), "line 2: updated"},
      {"invalid UTF-8", Line("1", "De\xff"), "not valid UTF-8"},
  };
  for (const auto& c : cases) {
    std::vector<Product> products;
    std::string error;
    EXPECT_FALSE(ParseCatalogue(kHeader + c.body, products, error)) << c.name;
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": " << error;
  }
}

TEST(CatalogueData, HeaderMustNameIdAndTitle) {
  std::vector<Product> products;
  std::string error;
  EXPECT_FALSE(ParseCatalogue("name\tprice\nDesk\t1\n", products, error));
  EXPECT_FALSE(ParseCatalogue("", products, error));
  EXPECT_TRUE(ParseCatalogue("title\tid\nDesk\t3\r\n\n", products, error)) << error;
  ASSERT_EQ(products.size(), 1u);
  EXPECT_EQ(products[0].id, 3);
  EXPECT_EQ(products[0].title, "Desk");
}

TEST(CatalogueData, FormatRoundTrips) {
  Product p;
  p.id = 42;
  p.title = "Black & White \"Pro\" <의자>";
  p.lowPrice = 0;
  p.highPrice = 2147483647;
  p.mallName = "쿼블마켓";
  p.productType = 3;
  p.category[0] = "가구";
  p.category[3] = "x";
  p.updated = "2026-12-07 10:00:00";
  std::vector<Product> back;
  std::string error;
  ASSERT_TRUE(ParseCatalogue(FormatCatalogue({p}), back, error)) << error;
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].title, p.title);
  EXPECT_EQ(back[0].highPrice, p.highPrice);
  EXPECT_EQ(back[0].mallName, p.mallName);
  EXPECT_EQ(back[0].productType, 3);
  EXPECT_EQ(back[0].category[3], "x");
  EXPECT_EQ(back[0].updated, p.updated);
}

TEST(CatalogueData, BundledCatalogueIsLargeAndVaried) {
  std::vector<Product> products;
  std::string error;
  ASSERT_TRUE(ParseCatalogue(BundledCatalogueText(), products, error)) << error;
  EXPECT_GE(products.size(), 2000u);
  std::set<std::string> categories, malls, makers;
  size_t zeroLow = 0, zeroHigh = 0, longTitles = 0;
  for (const auto& p : products) {
    categories.insert(p.category[0]);
    malls.insert(p.mallName);
    makers.insert(p.maker);
    zeroLow += p.lowPrice == 0;
    zeroHigh += p.highPrice == 0;
    longTitles += p.title.size() > 150;
  }
  EXPECT_GE(categories.size(), 6u);
  EXPECT_GE(malls.size(), 10u);
  EXPECT_GE(makers.size(), 10u);
  EXPECT_GT(zeroLow, 0u);
  EXPECT_GT(zeroHigh, 0u);
  EXPECT_GT(longTitles, 0u);
  for (const char* special : {"&", "\"", "<", ">"}) {
    EXPECT_TRUE(std::any_of(products.begin(), products.end(), [&](const Product& p) {
      return p.title.find(special) != std::string::npos;
    })) << special;
  }
}

}  // namespace
}  // namespace quobble::catalogue
