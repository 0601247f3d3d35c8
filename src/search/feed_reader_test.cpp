#include "search/feed_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <fstream>

#include "platform/text.h"
#include "tests/support/recording_screen.h"
#include "tests/support/temp_root.h"

namespace quobble {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct FeedFixture : ::testing::Test {
  TempRoot root;
  RecordingScreen screen;
  SearchState state;
  ProductList list{screen, u"\\data\\"};

  // Parses `xml` as an answer file and reads it.
  void Read(const std::string& xml) {
    const std::u16string path = u"\\answer.xml";
    std::ofstream(root.Host(path)) << xml;
    XmlDocument document;
    ASSERT_EQ(document.parse_file(path.c_str(), KeepOptions), 1);
    ReadResultFeed(XmlNodeRef(document.root), state, screen, list);
  }
  static std::string Channel(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><rss version=\"2.0\"><channel>" + inner +
           "</channel></rss>";
  }
  static std::string Item(const std::string& title, const std::string& extra = "") {
    return "<item><title>" + title + "</title>" + extra + "</item>";
  }
  std::string Title(size_t index) { return Utf16ToUtf8(list.RecordAt(index)->title); }
};

TEST(ReadAnswerNumberTest, ReadsLeadingDigitsAndSaturates) {
  const struct {
    const char16_t* text;
    int32_t value;
  } cases[] = {
      {u"12,000", 12},
      {u"  \t42abc", 42},
      {u"-17", -17},
      {u"+8", 8},
      {u"", 0},
      {u"abc", 0},
      {u"- 5", 0},
      {u"2147483647", INT32_MAX},
      {u"2147483648", INT32_MAX},
      {u"99999999999999999999999", INT32_MAX},
      {u"-2147483648", INT32_MIN},
      {u"-2147483649", INT32_MIN},
      {u"-99999999999999999999999", INT32_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadAnswerNumber(c.text), c.value) << Utf16ToUtf8(c.text);
}

TEST(ReplaceAllTest, RescansFromTheReplacement) {
  const struct {
    std::u16string text, what, with, result;
  } cases[] = {
      {u"a-b-c", u"-", u"+", u"a+b+c"},
      {u"abb", u"ab", u"a", u"a"},  // each removal forms the next occurrence
      {u"&lt;b&lt;b&gt;&gt;", u"&lt;b&gt;", u"", u"&lt;b&gt;"},
      {u"xyz", u"", u"q", u"xyz"},       // nothing to look for
      {u"aaa", u"a", u"aa", u"aaaaaa"},  // a replacement holding the text ends
  };
  for (auto c : cases) {
    ReplaceAll(c.text, c.what, c.with);
    EXPECT_EQ(Utf16ToUtf8(c.text), Utf16ToUtf8(c.result));
  }
}

TEST(CleanTitleTest, StripsEscapedTagsAndKeepsOtherReferences) {
  const struct {
    std::u16string in, out;
  } cases[] = {
      {u"&lt;b&gt;Galaxy&lt;/b&gt; S &quot;Edge&quot;&nbsp;case", u"Galaxy S 'Edge' case"},
      {u"Tom &amp; Jerry", u"Tom &amp; Jerry"},
      {u"&lt;center&gt;&lt;l&gt;&lt;u&gt;x&lt;/u&gt;&lt;/l&gt;&lt;/center&gt;", u"x"},
      {u"&LT;b&GT;kept", u"&LT;b&GT;kept"},  // case-sensitive
      // A removal that joins a later target is followed by that target's
      // removal; one that joins an earlier target is not.
      {u"&lt;&lt;b&gt;/u&gt;x", u"x"},
      {u"&lt;&lt;/u&gt;b&gt;x", u"&lt;b&gt;x"},
  };
  for (auto c : cases) {
    CleanTitle(c.in);
    EXPECT_EQ(Utf16ToUtf8(c.in), Utf16ToUtf8(c.out));
  }
}

TEST_F(FeedFixture, ReadsItemsAndLabels) {
  Read(Channel("<title>Shop</title><total>1234567</total><start>1</start><display>2</display>" +
               Item("&lt;b&gt;Galaxy&lt;/b&gt; S &quot;Edge&quot;&nbsp;case",
                    "<link>http://s/1</link><image>http://i/a/b/c/1.jpg</image>"
                    "<lprice>12,000</lprice><hprice>2147483648</hprice><extra>x</extra>") +
               Item("Tom &amp; Jerry")));
  EXPECT_EQ(screen.title(), "Shop");
  EXPECT_EQ(screen.totalText(), "1,234,567");
  EXPECT_EQ(screen.rangeText(), "1~3");
  EXPECT_TRUE(screen.nextEnabled());
  EXPECT_FALSE(screen.previousEnabled());
  ASSERT_EQ(list.RecordCount(), 2u);
  EXPECT_EQ(Title(0), "Galaxy S 'Edge' case");
  EXPECT_EQ(Title(1), "Tom &amp; Jerry");
  const ProductRecord& first = *list.RecordAt(0);
  EXPECT_EQ(Utf16ToUtf8(first.link), "http://s/1");
  EXPECT_EQ(Utf16ToUtf8(first.imageUrl), "http://i/a/b/c/1.jpg");
  EXPECT_EQ(first.lowPrice, 12);
  EXPECT_EQ(first.highPrice, INT32_MAX);
  EXPECT_EQ(list.RecordAt(1)->lowPrice, 0);
  EXPECT_EQ(first.ThumbPath(), u"");
}

TEST_F(FeedFixture, PagingButtonsFollowTheCounts) {
  const struct {
    std::string counts;
    bool next, previous;
    const char* range;
  } cases[] = {
      {"<total>25</total><start>21</start><display>5</display>", false, true, "21~26"},
      {"<total>21</total><start>11</start><display>10</display>", false, true, "11~21"},
      {"<total>22</total><start>11</start><display>10</display>", true, true, "11~21"},
      {"<total>100</total><start>1</start><display>10</display>", true, false, "1~11"},
      // Hostile counts: the sum is not allowed to wrap round.
      {"<total>2147483647</total><start>2147483647</start><display>10</display>", false, true,
       "2147483647~2147483657"},
  };
  for (const auto& c : cases) {
    Read(Channel(c.counts));
    EXPECT_EQ(screen.nextEnabled(), c.next) << c.counts;
    EXPECT_EQ(screen.previousEnabled(), c.previous) << c.counts;
    EXPECT_EQ(screen.rangeText(), c.range) << c.counts;
  }
}

TEST_F(FeedFixture, DisplayBeforeStartUsesThePreviousStart) {
  state.start = 11;
  Read(Channel("<total>50</total><display>10</display><start>31</start>"));
  EXPECT_EQ(screen.rangeText(), "11~21");
  EXPECT_EQ(state.start, 31);
  EXPECT_EQ(state.display, 10);
}

TEST_F(FeedFixture, CountsWithoutItemsStillSetTheLabels) {
  Read(Channel("<total>0</total><start>1</start><display>0</display>"));
  EXPECT_EQ(screen.totalText(), "0");
  EXPECT_EQ(screen.rangeText(), "1~1");
  EXPECT_EQ(list.RecordCount(), 0u);
}

TEST_F(FeedFixture, AnAnswerWithoutAChannelChangesNothing) {
  state.start = 7;
  Read("<?xml version=\"1.0\"?><error><message>bad key</message><item/></error>");
  EXPECT_THAT(screen.Events(), IsEmpty());
  EXPECT_EQ(state.start, 7);
  EXPECT_EQ(list.RecordCount(), 0u);
}

TEST_F(FeedFixture, ARefusedRowDropsItsRecord) {
  screen.RefuseRowsFrom(1);
  Read(Channel(Item("one") + Item("two") + Item("three")));
  EXPECT_THAT(screen.Events(), ElementsAre("insert 0", "insert 1 refused", "insert 1 refused"));
  ASSERT_EQ(list.RecordCount(), 1u);
  EXPECT_EQ(Title(0), "one");
}

TEST_F(FeedFixture, RepeatedElementsLastOneWins) {
  Read(Channel("<title>a</title><title>b</title>" +
               Item("first",
                    "<title>&lt;b&gt;second&lt;/b&gt;</title><lprice>1</lprice>"
                    "<lprice>2</lprice><image></image>")));
  EXPECT_EQ(screen.title(), "b");
  EXPECT_EQ(Title(0), "second");
  EXPECT_EQ(list.RecordAt(0)->lowPrice, 2);
  EXPECT_EQ(list.RecordAt(0)->imageUrl, u"");
}

// A page holds at most the page size asked for, whatever the server sends;
// the counts after the items are still read.
TEST_F(FeedFixture, ItemsPastThePageSizeAskedAreSkipped) {
  std::string items;
  // Titles t0, t1, ... (built with append: g++ 12 at -O3 warns falsely on
  // "literal" + std::string).
  const auto title = [](size_t i) { return std::string("t").append(std::to_string(i)); };
  for (size_t i = 0; i < 150; ++i) items += Item(title(i));
  for (const int32_t pageSize : {10, 100, 0}) {
    SCOPED_TRACE(pageSize);
    list.ClearRecords();
    state.pageSize = pageSize;
    Read(Channel(items + "<total>150</total><start>1</start><display>150</display>"));
    const size_t expected = pageSize == 0 ? 1 : static_cast<size_t>(pageSize);
    EXPECT_EQ(list.RecordCount(), expected);
    EXPECT_EQ(Title(expected - 1), title(expected - 1));
    EXPECT_EQ(state.total, 150);
    EXPECT_EQ(state.display, 150);
  }
}

}  // namespace
}  // namespace quobble
