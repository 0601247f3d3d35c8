#include "catalogue/search_answer.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "platform/text.h"

namespace quobble::catalogue {
namespace {

const std::string kKey(kDefaultServiceKey);

TEST(SearchRequestParsing, ValidationFollowsItsOrder) {
  struct Case {
    std::string query;
    int code;  // 0: accepted
  } cases[] = {
      // Each failure is reported even when a later parameter is also wrong.
      {"query=a&target=shop", 20},
      {"key=wrong&query=a&target=shop", 20},
      {"key=" + kKey + "x&query=a&target=shop", 20},
      {"key=" + kKey + "&query=a&target=book&display=0", 100},
      {"key=" + kKey + "&query=a&display=0", 100},
      {"key=" + kKey + "&target=shop&display=0", 11},
      {"key=" + kKey + "&target=shop&query=&display=0", 11},
      {"key=" + kKey + "&target=shop&query=%ff%fe&display=0", 11},
      {"key=" + kKey + "&target=shop&query=%e", 11},
      {"key=" + kKey + "&target=shop&query=a&display=0&start=0", 101},
      {"key=" + kKey + "&target=shop&query=a&display=101", 101},
      {"key=" + kKey + "&target=shop&query=a&display=ten", 101},
      {"key=" + kKey + "&target=shop&query=a&display=-1", 101},
      {"key=" + kKey + "&target=shop&query=a&display=", 101},
      {"key=" + kKey + "&target=shop&query=a&display=99999999999999999999", 101},
      {"key=" + kKey + "&target=shop&query=a&start=0&sort=x", 102},
      {"key=" + kKey + "&target=shop&query=a&start=1001", 102},
      {"key=" + kKey + "&target=shop&query=a&start=1%20", 102},
      {"key=" + kKey + "&target=shop&query=a&sort=SIM", 110},
      {"key=" + kKey + "&target=shop&query=a&sort=", 110},
      {"key=" + kKey + "&target=shop&query=a", 0},
      {"key=" + kKey + "&query=a&display=100&start=1000&target=shop&sort=dsc", 0},
      // The first of a repeated parameter counts.
      {"key=" + kKey + "&target=shop&query=a&display=5&display=500", 0},
  };
  for (const auto& c : cases) {
    SearchRequest request;
    RequestError error;
    bool ok = ParseSearchRequest(c.query, kKey, request, error);
    EXPECT_EQ(ok, c.code == 0) << c.query;
    if (!ok) {
      EXPECT_EQ(error.code, c.code) << c.query;
    }
  }
}

TEST(SearchRequestParsing, DefaultsAndDecoding) {
  SearchRequest r;
  RequestError error;
  ASSERT_TRUE(
      ParseSearchRequest("key=" + kKey + "&target=shop&query=%EA%B0%80+b%2Bc%20d", kKey, r, error));
  EXPECT_EQ(r.query, "\xEA\xB0\x80 b+c d");
  EXPECT_EQ(r.display, 10);
  EXPECT_EQ(r.start, 1);
  EXPECT_EQ(r.sort, SortKey::Sim);
  ASSERT_TRUE(ParseSearchRequest(
      "key=" + kKey + "&query=%ea%b0%80&display=100&start=1000&target=shop&sort=date", kKey, r,
      error));
  EXPECT_EQ(r.query, "\xEA\xB0\x80");
  EXPECT_EQ(r.display, 100);
  EXPECT_EQ(r.start, 1000);
  EXPECT_EQ(r.sort, SortKey::Date);
  // A key of our own replaces the placeholder.
  EXPECT_FALSE(ParseSearchRequest("key=" + kKey + "&target=shop&query=a", "mine", r, error));
  EXPECT_TRUE(ParseSearchRequest("key=mine&target=shop&query=a", "mine", r, error));
}

TEST(SearchRequestParsing, PercentDecode) {
  struct Case {
    std::string in;
    bool ok;
    std::string out;
  } cases[] = {{"%41%62", true, "Ab"}, {"%4a%4A", true, "JJ"},
               {"a+b", true, "a b"},   {"%00", true, std::string(1, '\0')},
               {"", true, ""},         {"%", false, ""},
               {"%4", false, ""},      {"%zz", false, ""}};
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(PercentDecode(c.in, out), c.ok) << c.in;
    if (c.ok) {
      EXPECT_EQ(out, c.out) << c.in;
    }
  }
}

TEST(SearchAnswerText, ErrorDocumentUsesThreeDigitCodes) {
  EXPECT_EQ(ErrorDocument({11, "Incorrect query request"}),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><error><error_code>011</error_code>"
            "<message>Incorrect query request</message></error>");
}

TEST(SearchAnswerText, EscapesWhatXmlCannotCarryAsIs) {
  EXPECT_EQ(XmlEscape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e'f");
  EXPECT_EQ(XmlEscape(std::string("x\x01y\x1f\tz", 6)), "x\xEF\xBF\xBDy\xEF\xBF\xBD\tz");
  EXPECT_EQ(XmlEscape("\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD"),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(HtmlEscape("<a href='x'>"), "&lt;a href=&#39;x&#39;&gt;");
}

TEST(SearchAnswerText, HighlightMarksEveryOccurrenceOfEveryWord) {
  auto highlight = [](const std::string& title, std::vector<std::u16string> words) {
    for (auto& w : words) w = FoldCase(w);
    return HighlightTitle(title, FoldCase(Utf8ToUtf16(title)), words);
  };
  EXPECT_EQ(highlight("Running Shoes & shoes", {u"SHOES"}),
            "Running &lt;b&gt;Shoes&lt;/b&gt; &amp; &lt;b&gt;shoes&lt;/b&gt;");
  // Overlapping words give one marked run.
  EXPECT_EQ(highlight("노트북 거치대", {u"노트", u"트북"}), "&lt;b&gt;노트북&lt;/b&gt; 거치대");
  EXPECT_EQ(highlight("\"Pro\" <x>", {u"pro"}), "&quot;&lt;b&gt;Pro&lt;/b&gt;&quot; &lt;x&gt;");
  EXPECT_EQ(highlight("Desk", {u"chair"}), "Desk");
  // Characters beyond the BMP take two UTF-16 units but one mark.
  EXPECT_EQ(highlight("\xF0\x9F\x98\x80"
                      "Chair\xF0\x9F\x98\x80",
                      {u"\U0001F600c", u"r"}),
            "&lt;b&gt;\xF0\x9F\x98\x80"
            "C&lt;/b&gt;hai&lt;b&gt;r&lt;/b&gt;\xF0\x9F\x98\x80");
  // A folded title that does not fit the title is recomputed, not trusted.
  EXPECT_EQ(HighlightTitle("Chair", u"x", {u"chair"}), "&lt;b&gt;Chair&lt;/b&gt;");
}

TEST(SearchAnswerText, Rfc822Date) {
  EXPECT_EQ(Rfc822Date(0), "Thu, 01 Jan 1970 00:00:00 +0000");
  EXPECT_EQ(Rfc822Date(1796680309), "Mon, 07 Dec 2026 21:51:49 +0000");
}

TEST(SearchAnswerText, AnswerIsWellFormedAndCutsThePage) {
  std::vector<Product> products;
  for (int i = 1; i <= 25; ++i) {
    Product p;
    p.id = i;
    p.title = "Chair & \"Desk\" <" + std::to_string(i) + ">";
    p.lowPrice = i * 10;
    p.updated = "2025-01-01 00:00:00";
    products.push_back(p);
  }
  std::string error;
  auto index = CatalogueIndex::Build(products, error);
  ASSERT_TRUE(index) << error;
  auto words = SplitWords(u"chair");
  auto hits = index->Search(words, SortKey::Sim, error);
  ASSERT_TRUE(hits);
  struct Case {
    int start, display;
    size_t items;
  } cases[] = {{1, 10, 10}, {21, 10, 5}, {26, 10, 0}};
  for (const auto& c : cases) {
    SearchRequest r;
    r.query = "chair <&>";
    r.start = c.start;
    r.display = c.display;
    std::string xml = SearchAnswer(*index, r, words, *hits, "http://h:1", 0);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(xml.c_str())) << xml;
    auto channel = doc.child("rss").child("channel");
    EXPECT_STREQ(channel.child_value("title"), "quobble catalogue - shop ::'chair <&>'");
    EXPECT_STREQ(channel.child_value("total"), "25");
    EXPECT_EQ(channel.child("start").text().as_int(), c.start);
    EXPECT_EQ(channel.child("display").text().as_uint(), c.items);
    size_t n = 0;
    for (auto item : channel.children("item")) {
      int id = c.start + static_cast<int>(n);
      EXPECT_EQ(item.child("productId").text().as_int(), id);
      EXPECT_EQ(std::string(item.child_value("title")),
                "<b>Chair</b> & \"Desk\" <" + std::to_string(id) + ">");
      EXPECT_EQ(std::string(item.child_value("image")), "http://h:1/shop/img/" + ImagePathFor(id));
      EXPECT_FALSE(item.child("category4").empty());
      ++n;
    }
    EXPECT_EQ(n, c.items) << c.start;
  }
}

}  // namespace
}  // namespace quobble::catalogue
