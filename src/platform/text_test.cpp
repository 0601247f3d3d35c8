#include "platform/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

namespace quobble {
namespace {

TEST(Text, RoundTripsAsciiHangulAndAstralCharacters) {
  const std::string utf8 = "abc \xEA\xB0\x80 \xF0\x9F\x98\x80 \xC3\xA9";
  const std::u16string wide = Utf8ToUtf16(utf8);
  EXPECT_EQ(wide, u"abc \uAC00 \U0001F600 \u00E9");
  EXPECT_EQ(Utf16ToUtf8(wide), utf8);
}

TEST(Text, MalformedUtf8BecomesReplacementWithoutSwallowingNeighbours) {
  struct Case {
    std::string in;
    std::u16string out;
  };
  const Case cases[] = {
      {"a\x80z", u"a\uFFFDz"},                                // stray continuation
      {"a\xC0\xAFz", u"a\uFFFD\uFFFDz"},                      // overlong lead
      {"a\xE0\x80\x80z", u"a\uFFFD\uFFFD\uFFFDz"},            // overlong three-byte
      {"a\xED\xA0\x80z", u"a\uFFFD\uFFFD\uFFFDz"},            // encoded surrogate
      {"a\xF4\x90\x80\x80z", u"a\uFFFD\uFFFD\uFFFD\uFFFDz"},  // above U+10FFFF
      {"a\xEA\xB0z", u"a\uFFFDz"},                            // cut sequence mid-text
      {"a\xEA\xB0", u"a\uFFFD"},                              // cut sequence at the end
      {"\xFF", u"\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.in;
  EXPECT_FALSE(IsValidUtf8("a\xEA\xB0"));
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));
  EXPECT_TRUE(IsValidUtf8("\xEF\xBF\xBD ok \xEA\xB0\x80"));
}

TEST(Text, LoneSurrogatesBecomeReplacementInUtf8) {
  const std::u16string wide = {u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
  EXPECT_EQ(Utf16ToUtf8(wide),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

TEST(Text, StreamDecoderMatchesWholeDecodeAtEverySplit) {
  const std::string utf8 =
      "x\xEA\xB0\x80y\xF0\x9F\x98\x80z\xC3\xA9\x80\xE0\x80q0123456789\xED\x95\x9C";
  const std::u16string whole = Utf8ToUtf16(utf8);
  for (size_t a = 0; a <= utf8.size(); ++a) {
    for (size_t b = a; b <= utf8.size(); ++b) {
      Utf8StreamDecoder decoder;
      std::u16string out;
      decoder.Feed(std::string_view(utf8).substr(0, a), out);
      decoder.Feed(std::string_view(utf8).substr(a, b - a), out);
      decoder.Feed(std::string_view(utf8).substr(b), out);
      decoder.Finish(out);
      ASSERT_EQ(out, whole) << a << " " << b;
    }
  }
}

TEST(Text, FormatThousandsGroupsDigitsInThrees) {
  const struct {
    int32_t value;
    const char* text;
  } cases[] = {
      {0, "0"},
      {123, "123"},
      {1000, "1,000"},
      {1234567, "1,234,567"},
      {-12, "-12"},
      {-123, "-123"},
      {-123456, "-123,456"},
      {INT32_MAX, "2,147,483,647"},
      {INT32_MIN, "-2,147,483,648"},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf16ToUtf8(FormatThousands(c.value)), c.text) << c.value;
}

// A cut at the limit never leaves half a character behind: a surrogate pair
// or a UTF-8 sequence that straddles the limit goes whole.
TEST(Text, CutsStopAtCharacterBoundaries) {
  const std::u16string wide = u"ab\U0001F600c";  // a, b, high, low, c
  const struct {
    size_t limit;
    std::u16string_view cut;
  } wideCases[] = {{0, u""}, {2, u"ab"}, {3, u"ab"}, {4, u"ab\U0001F600"}, {9, wide}};
  for (const auto& c : wideCases) EXPECT_EQ(CutUtf16(wide, c.limit), c.cut) << c.limit;

  const std::string narrow = "a\xEA\xB0\x80z";  // a, three-byte Hangul, z
  const struct {
    size_t limit;
    std::string_view cut;
  } narrowCases[] = {{1, "a"}, {2, "a"}, {3, "a"}, {4, "a\xEA\xB0\x80"}, {9, narrow}};
  for (const auto& c : narrowCases) EXPECT_EQ(CutUtf8(narrow, c.limit), c.cut) << c.limit;
}

// The vector search starts anywhere in a block and stops at the right unit
// whatever its place: every start offset against every length, in strings
// that end exactly at their allocation.
TEST(Text, FindUnitAtEveryOffset) {
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t length = 0; length < 40; ++length) {
      std::vector<char16_t> buffer(offset + length + 1, u'x');
      buffer[offset + length] = 0;
      const char16_t* text = buffer.data() + offset;
      const std::u16string_view view(text, length);
      EXPECT_EQ(FindUnit(view, u'&'), std::u16string_view::npos);
      for (size_t at = 0; at < length; ++at) {
        buffer[offset + at] = u'&';
        EXPECT_EQ(FindUnit(view, u'&'), at);
        EXPECT_EQ(FindUnit(view, u'&', at + 1), std::u16string_view::npos);
        buffer[offset + at] = u'x';
      }
    }
  }
}

TEST(NarrowText, WholeNumbersRefuseEverythingElse) {
  long long value = -1;
  EXPECT_TRUE(ParseWholeNumber("65535", 0, 65535, value));
  EXPECT_EQ(value, 65535);
  for (const char* bad : {"", " 1", "1 ", "+1", "0x10", "65536", "-1", "99999999999999999999"})
    EXPECT_FALSE(ParseWholeNumber(bad, 0, 65535, value)) << bad;
  EXPECT_EQ(value, 65535);
}

TEST(NarrowText, TrimAndLower) {
  for (const auto& [in, out] : std::initializer_list<std::pair<std::string_view, std::string_view>>{
           {"", ""}, {" \t\r\n", ""}, {"\ta b\r\n", "a b"}, {"x", "x"}})
    EXPECT_EQ(Trim(in), out) << in;
  EXPECT_EQ(Lower("Content-TYPE: \xC3\x89x"), "content-type: \xC3\x89x");
}

}  // namespace
}  // namespace quobble
