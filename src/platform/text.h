#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quobble {

// UTF-8 <-> UTF-16. Malformed input (bad lead or continuation bytes, overlong
// forms, surrogates, values above U+10FFFF, lone surrogates on the UTF-16
// side) becomes U+FFFD; nothing is ever read past the input.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// The length of the well-formed UTF-8 sequence at p (not ASCII: callers take
// bytes below 0x80 themselves), with its code point in cp; 0 when the bytes up
// to `end` are a valid but unfinished prefix; minus the length of the maximal
// valid prefix when the sequence is malformed (that prefix becomes one U+FFFD
// and the byte after it starts afresh). Inline: decoders call it per character.
inline int DecodeUtf8Sequence(const unsigned char* p, const unsigned char* end, char32_t& cp) {
  const unsigned c = p[0];
  int need = 0;
  unsigned lo = 0x80;
  unsigned hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return -1;
  }
  for (int i = 1; i <= need; ++i) {
    if (p + i >= end) return 0;
    const unsigned b = p[i];
    if (b < lo || b > hi) return -i;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return need + 1;
}

// The code point at s[i], with i moved past it: a surrogate pair is joined,
// a lone surrogate comes out as itself (callers decide what it becomes).
inline char32_t NextCodePoint(std::u16string_view s, size_t& i) {
  char32_t c = s[i++];
  if (c >= 0xD800 && c <= 0xDBFF && i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF)
    c = 0x10000 + ((c - 0xD800) << 10) + (s[i++] - 0xDC00);
  return c;
}

inline bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}

// Writes `cp` as one UTF-16 unit or a surrogate pair at `out`; returns the
// position after it. `cp` must be a scalar value (no surrogate, at most
// U+10FFFF).
inline char16_t* EncodeUtf16(char32_t cp, char16_t* out) {
  if (cp < 0x10000) {
    *out++ = static_cast<char16_t>(cp);
    return out;
  }
  cp -= 0x10000;
  *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
  *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  return out;
}
void AppendUtf16(char32_t cp, std::u16string& out);

// The first `limit` units of `text`, one fewer when the cut would leave the
// first half of a surrogate pair at the end.
std::u16string_view CutUtf16(std::u16string_view text, size_t limit);
// The first `limit` bytes of `text`, fewer when the cut would split a
// character.
std::string_view CutUtf8(std::string_view text, size_t limit);

// The first position at or after `from` that holds `unit`, or npos; eight
// units at a time where the processor allows.
size_t FindUnit(std::u16string_view text, char16_t unit, size_t from = 0);

// Decimal text: "-1234".
std::u16string DecimalText(int64_t value);
void AppendDecimal(std::u16string& out, int64_t value);
// Decimal text with ',' between groups of three digits: "-1,234,567".
std::u16string FormatThousands(int32_t value);

// Narrow text helpers for protocol and command text (ASCII only: header
// names, options, commands).
// Without leading and trailing spaces, tabs, CRs and LFs.
std::string_view Trim(std::string_view text);
// A-Z turned into a-z; every other byte as it was.
std::string Lower(std::string_view text);
// A character an HTTP token (a header or method name) may hold (RFC 9110).
bool IsHttpTokenChar(char c);
// A whole decimal number from `low` to `high`, nothing else in the text.
bool ParseWholeNumber(std::string_view text, long long low, long long high, long long& value);

// True when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view utf8);

// Decodes UTF-8 that arrives in pieces: a sequence split across two pieces is
// decoded whole, so feeding a file in chunks gives the same text as decoding
// it at once. Call Finish() after the last piece to flush a truncated tail.
class Utf8StreamDecoder {
 public:
  // Appends the characters decoded from `bytes` to `out`.
  void Feed(std::string_view bytes, std::u16string& out);
  // Appends U+FFFD when the input ended inside a sequence.
  void Finish(std::u16string& out);

 private:
  void DecodeFrom(const unsigned char* p, const unsigned char* end, std::u16string& out);
  unsigned char pending_[4] = {};
  size_t pendingSize_ = 0;
};

}  // namespace quobble
