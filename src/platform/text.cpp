#include "platform/text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <charconv>
#include <cstdint>
#include <cstring>

namespace quobble {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one character at p. Returns the bytes it takes; 0 when the bytes up
// to `end` are a valid but unfinished prefix (the caller decides whether more
// may come). A malformed sequence takes its maximal valid prefix and gives
// U+FFFD, so one bad byte never swallows the characters after it.
size_t DecodeOne(const unsigned char* p, const unsigned char* end, char32_t& cp) {
  if (p[0] < 0x80) {
    cp = p[0];
    return 1;
  }
  const int n = DecodeUtf8Sequence(p, end, cp);
  if (n >= 0) return static_cast<size_t>(n);
  cp = kReplacement;
  return static_cast<size_t>(-n);
}

// Copies a run of ASCII bytes, eight at a time where it can. Returns where the
// first non-ASCII byte (or the end) is.
const unsigned char* CopyAscii(const unsigned char* p, const unsigned char* end,
                               std::u16string& out) {
  const unsigned char* run = p;
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & 0x8080808080808080ULL) break;
    p += 8;
  }
  while (p < end && *p < 0x80) ++p;
  if (p != run) {
    const size_t n = static_cast<size_t>(p - run);
    const size_t base = out.size();
    out.resize(base + n);
    char16_t* dst = out.data() + base;
    for (size_t i = 0; i < n; ++i) dst[i] = run[i];
  }
  return p;
}

}  // namespace

void AppendUtf16(char32_t cp, std::u16string& out) {
  char16_t units[2];
  const char16_t* end = EncodeUtf16(cp, units);
  // Unit by unit: g++ 12 at -O3 warns (falsely) of an overlapping copy in
  // the iterator-range append.
  for (const char16_t* u = units; u != end; ++u) out.push_back(*u);
}

std::u16string_view CutUtf16(std::u16string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  if (end > 0 && IsHighSurrogate(text[end - 1])) --end;
  return text.substr(0, end);
}

std::string_view CutUtf8(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

void AppendDecimal(std::u16string& out, int64_t value) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;  // 24 bytes hold every int64_t
  out.append(digits, end);
}

size_t FindUnit(std::u16string_view text, char16_t unit, size_t from) {
  size_t i = from;
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi16(static_cast<short>(unit));
  for (; i + 8 <= text.size(); i += 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(units, wanted)));
    if (hits != 0) return i + __builtin_ctz(hits) / 2;
  }
#endif
  for (; i < text.size(); ++i) {
    if (text[i] == unit) return i;
  }
  return std::u16string_view::npos;
}

std::u16string DecimalText(int64_t value) {
  std::u16string out;
  AppendDecimal(out, value);
  return out;
}

std::u16string FormatThousands(int32_t value) {
  const std::u16string digits = DecimalText(value);
  const size_t first = (value < 0) ? 1 : 0;
  std::u16string out(digits, 0, first);
  const size_t count = digits.size() - first;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0 && (count - i) % 3 == 0) out.push_back(u',');
    out.push_back(digits[first + i]);
  }
  return out;
}

void Utf8StreamDecoder::DecodeFrom(const unsigned char* p, const unsigned char* end,
                                   std::u16string& out) {
  while (p < end) {
    p = CopyAscii(p, end, out);
    if (p >= end) break;
    char32_t cp = 0;
    const size_t n = DecodeOne(p, end, cp);
    if (n == 0) {
      pendingSize_ = static_cast<size_t>(end - p);
      std::memcpy(pending_, p, pendingSize_);
      return;
    }
    AppendUtf16(cp, out);
    p += n;
  }
}

void Utf8StreamDecoder::Feed(std::string_view bytes, std::u16string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  out.reserve(out.size() + bytes.size());
  // Finish a sequence that the previous piece cut, one byte at a time: it
  // needs at most three more.
  while (pendingSize_ > 0 && p < end) {
    pending_[pendingSize_++] = *p++;
    char32_t cp = 0;
    const size_t n = DecodeOne(pending_, pending_ + pendingSize_, cp);
    if (n == 0) continue;
    AppendUtf16(cp, out);
    // A malformed sequence may have taken fewer bytes than we hold: the rest
    // are decoded again from the start.
    unsigned char rest[4];
    const size_t restSize = pendingSize_ - n;
    std::memcpy(rest, pending_ + n, restSize);
    pendingSize_ = 0;
    DecodeFrom(rest, rest + restSize, out);
  }
  DecodeFrom(p, end, out);
}

void Utf8StreamDecoder::Finish(std::u16string& out) {
  if (pendingSize_ > 0) AppendUtf16(kReplacement, out);
  pendingSize_ = 0;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  Utf8StreamDecoder decoder;
  decoder.Feed(utf8, out);
  decoder.Finish(out);
  return out;
}

bool IsValidUtf8(std::string_view utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    char32_t cp = 0;
    const int n = DecodeUtf8Sequence(p, end, cp);
    if (n <= 0) return false;
    p += n;
  }
  return true;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size();) {
    char32_t cp = NextCodePoint(utf16, i);
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = kReplacement;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool IsHttpTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool ParseWholeNumber(std::string_view text, long long low, long long high, long long& value) {
  long long parsed = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, parsed);
  if (ec != std::errc() || ptr != end || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

}  // namespace quobble
