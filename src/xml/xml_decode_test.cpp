#include "xml/xml_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "platform/text.h"

namespace quobble {
namespace {

// `bytes` as one span, the way parse_file decodes a file: the input sits in
// an allocation of exactly its size and the output has exactly the room the
// decoder may use, so under ASan a block load or store past either fails.
std::u16string DecodeSpan(const std::string& bytes) {
  std::vector<unsigned char> in(bytes.begin(), bytes.end());
  std::vector<char16_t> out(bytes.size() + kXmlSpanPadding);
  const char16_t* end = decode_utf8_span(in.data(), in.data() + bytes.size(), out.data());
  return std::u16string(out.data(), static_cast<size_t>(end - out.data()));
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
    out += ' ';
  }
  return out;
}

class DecodePath : public ::testing::TestWithParam<XmlDecodePath> {
 protected:
  void SetUp() override {
    SetXmlDecodePath(GetParam());
    // Forcing a path the machine lacks must land on one it has.
    ASSERT_LE(static_cast<int>(CurrentXmlDecodePath()), static_cast<int>(BestXmlDecodePath()));
  }
  void TearDown() override { SetXmlDecodePath(BestXmlDecodePath()); }
};

// Each piece is tried at every offset from a block edge, after plain ASCII
// and after a mix that keeps the blocks around it non-ASCII, with and without
// text after it (a cut sequence at the very end must become U+FFFD).
TEST_P(DecodePath, TrickyPiecesAnywhereMatchOnePieceDecoding) {
  // One fault each, so that no other byte sends the block to the scalar rules.
  const std::string pieces[] = {
      "plain",
      "\xC3\xA9\xED\x95\x9C\xF0\x9F\x98\x80",                 // é 한 😀
      "\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF",             // each length's first and last
      "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF",             // around the surrogates, U+10FFFF
      "\xED\x95\x9C\xEA\xB8\x80 27\xEC\x9D\xB8\xEC\xB9\x98",  // 한글 27인치
      "\xC0\x80",
      "\xC1\xBF",
      "\xE0\x80\x80",
      "\xE0\x9F\xBF",  // overlong
      "\xF0\x80\x80\x80",
      "\xF0\x8F\xBF\xBF",
      "\xED\xA0\x80",
      "\xED\xBF\xBF",  // surrogates
      "\xF4\x90\x80\x80",
      "\xF5\x80",
      "\xFE",
      "\xFF",  // above U+10FFFF, never valid
      "\x80",
      "\xBF\x80\x80\x80",  // lone continuation bytes
      "\xE2\x82x",
      "\xF0\x9F\x98y",
      "\xC3\xE2\x82\xAC",  // cut short
      "\xE0\xA0\xED\x95",
      "\xEC\x9D\xEC\x9D\xB8",
      "\xF0\x9F\xC3\xA9",
      "\xE2\x82",
      "\xF0\x9F\x98",
      "\xC3",  // cut by the end, unless text follows
  };

  const std::string mix =
      "\xEA\xB0\x80"
      "a\xC3\xA9\xEB\x82\x98 ";  // 가 a é 나 space
  std::string mixedRun;
  while (mixedRun.size() < 80) mixedRun += mix;
  for (const std::string& piece : pieces) {
    for (size_t lead = 0; lead <= 34; ++lead) {
      for (const std::string& before : {std::string(lead, 'x'), mixedRun.substr(0, lead)}) {
        for (const std::string& after : {std::string(), mixedRun}) {
          const std::string bytes = before + piece + after;
          const std::u16string expected = Utf8ToUtf16(bytes);
          ASSERT_EQ(DecodeSpan(bytes), expected) << Hex(bytes);
        }
      }
    }
  }
}

// Seeded random text of ASCII runs, Hangul, other characters of every length
// and malformed bytes, so that whole blocks of every kind are met.
TEST_P(DecodePath, RandomMixesMatchOnePieceDecoding) {
  std::mt19937 random(20261208);
  auto below = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
  auto encode = [](char32_t cp) {
    std::u16string units;
    AppendUtf16(cp, units);
    return Utf16ToUtf8(units);
  };
  for (int round = 0; round < 3000; ++round) {
    std::string bytes;
    const unsigned count = 1 + below(60);
    for (unsigned i = 0; i < count; ++i) {
      // Hangul three times as often as each of the other ranges.
      static const char32_t ranges[][2] = {{0xAC00, 0xD7A3}, {0xAC00, 0xD7A3}, {0xAC00, 0xD7A3},
                                           {0x80, 0x7FF},    {0x800, 0xFFFF},  {0x10000, 0x10FFFF}};
      const unsigned kind = below(10);
      if (kind < 2) {
        bytes += std::string(1 + below(40), static_cast<char>('a' + below(26)));
      } else if (kind < 8) {
        const char32_t* range = ranges[kind - 2];
        bytes += encode(range[0] + below(range[1] - range[0] + 1));
      } else if (kind == 8) {
        bytes += static_cast<char>(0x80 + below(0x80));  // a stray byte
      } else {
        const std::string whole = encode(0x800 + below(0x10F800));  // cut short
        bytes += whole.substr(0, 1 + below(static_cast<unsigned>(whole.size() - 1)));
      }
    }
    const std::u16string expected = Utf8ToUtf16(bytes);
    ASSERT_EQ(DecodeSpan(bytes), expected) << Hex(bytes);
  }
}

std::string PathName(const ::testing::TestParamInfo<XmlDecodePath>& info) {
  static const char* const names[] = {"Scalar", "Sse2", "Avx2"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(EveryPath, DecodePath,
                         ::testing::Values(XmlDecodePath::Scalar, XmlDecodePath::Sse2,
                                           XmlDecodePath::Avx2),
                         PathName);

}  // namespace
}  // namespace quobble
