#include "xml/xml_decode.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "platform/text.h"
#include "xml/xml_pool.h"

// A shopping answer is ASCII markup around titles that are mostly Hangul
// (three bytes, one unit) mixed with spaces, digits and Latin words. Taking
// that mix one character at a time costs a branch the processor cannot
// guess on every character, so the vector paths decode whole blocks of
// ASCII, two- and three-byte characters at once and leave everything else
// (four-byte characters, malformed bytes, a character cut by the end of the
// read) to the scalar rules, which are those of DecodeUtf8Sequence.

namespace quobble {

namespace {

// ---- scalar -----------------------------------------------------------------

// One character at p that is not ASCII. Well-formed two- and three-byte
// characters are decoded here; anything else goes to DecodeUtf8Sequence.
// False when the bytes up to `end` are an unfinished prefix (p stays there).
inline bool DecodeOther(const unsigned char*& p, const unsigned char* end, char16_t*& out) {
  const unsigned c = p[0];
  if ((c & 0xF0) == 0xE0 && end - p >= 3) {
    const unsigned c1 = p[1];
    const unsigned c2 = p[2];
    const unsigned cp = ((c & 0x0F) << 12) | ((c1 & 0x3F) << 6) | (c2 & 0x3F);
    // Below U+0800 is an overlong form, D800-DFFF a surrogate.
    if ((c1 & 0xC0) == 0x80 && (c2 & 0xC0) == 0x80 && cp >= 0x800 && (cp & 0xF800) != 0xD800) {
      *out++ = static_cast<char16_t>(cp);
      p += 3;
      return true;
    }
  } else if (c >= 0xC2 && c <= 0xDF && end - p >= 2 && (p[1] & 0xC0) == 0x80) {
    *out++ = static_cast<char16_t>(((c & 0x1F) << 6) | (p[1] & 0x3F));
    p += 2;
    return true;
  }
  char32_t cp = 0;
  const int length = DecodeUtf8Sequence(p, end, cp);
  if (length == 0) return false;
  if (length > 0) {
    out = EncodeUtf16(cp, out);
    p += length;
  } else {
    *out++ = 0xFFFD;
    p += -length;
  }
  return true;
}

// Decodes the characters that start before `limit`; the last may run past it
// up to `end`. False when it stopped at a sequence the input cut.
bool DecodeScalar(const unsigned char*& p, const unsigned char* limit, const unsigned char* end,
                  char16_t*& out) {
  const unsigned char* q = p;
  char16_t* o = out;
  bool whole = true;
  while (q < limit) {
    if (*q < 0x80) {
      uint64_t word = 0x80;
      if (limit - q >= 8) std::memcpy(&word, q, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        for (int i = 0; i < 8; ++i) o[i] = q[i];
        q += 8;
        o += 8;
      } else {
        *o++ = *q++;
      }
      continue;
    }
    if (!DecodeOther(q, end, o)) {
      whole = false;
      break;
    }
  }
  p = q;
  out = o;
  return whole;
}

#if defined(__SSE2__)

// ---- SSE2 -------------------------------------------------------------------

inline void Widen16(__m128i bytes, char16_t* out) {
  const __m128i zero = _mm_setzero_si128();
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
}

// The bytes that no fast path takes: C0 and C1 (always overlong), F0 and up
// (four bytes or never valid), and E0 before 80-9F (overlong) or ED before
// A0-BF (a surrogate), the byte after the lead (`next`) picking which of the
// two it must not be.
inline __m128i Unusual16(__m128i x, __m128i next) {
  const __m128i c0c1 = _mm_cmpeq_epi8(_mm_and_si128(x, _mm_set1_epi8(char(0xFE))),
                                      _mm_set1_epi8(char(0xC0)));
  const __m128i f0up = _mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(char(0xF0))), x);
  const __m128i badE = _mm_or_si128(
      _mm_set1_epi8(char(0xE0)),
      _mm_min_epu8(_mm_and_si128(next, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x0D)));
  return _mm_or_si128(_mm_or_si128(c0c1, f0up), _mm_cmpeq_epi8(x, badE));
}

// The unit each position would give if a character started there, as a
// plane of low bytes and one of high bytes: x is the byte, y and z the two
// after it, is3 marks three-byte leads. (s, t) are the character's last two
// bytes, q its lead when it has three; ASCII is the byte itself. Values at
// continuation bytes are dropped later.
inline void UnitPlanes16(__m128i x, __m128i y, __m128i z, __m128i is3, __m128i& low,
                         __m128i& high) {
  const __m128i s = _mm_or_si128(_mm_and_si128(is3, y), _mm_andnot_si128(is3, x));
  const __m128i t = _mm_or_si128(_mm_and_si128(is3, z), _mm_andnot_si128(is3, y));
  const __m128i q = _mm_and_si128(x, is3);
  const __m128i lo = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(s, 6), _mm_set1_epi8(char(0xC0))),
                                  _mm_and_si128(t, _mm_set1_epi8(0x3F)));
  const __m128i hi = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(q, 4), _mm_set1_epi8(char(0xF0))),
                                  _mm_and_si128(_mm_srli_epi16(s, 2), _mm_set1_epi8(0x0F)));
  const __m128i nonAscii = _mm_cmplt_epi8(x, _mm_setzero_si128());
  low = _mm_or_si128(_mm_and_si128(nonAscii, lo), _mm_andnot_si128(nonAscii, x));
  high = _mm_and_si128(nonAscii, hi);
}

// The windows below advance a fixed 16 or 32 bytes, whatever they hold, so
// that the next window's loads never wait for this one's sums. A character
// cut by a window's end is decoded whole in that window (the loads reach two
// bytes past it), and `carry` tells the next window which of its first
// bytes must be that character's continuation bytes: bit 0 the first, bit 1
// the second.

// A window that cannot be taken gives the character the last window left
// open back to the scalar rules: it made one unit from a lead one or two
// bytes back.
inline void Reopen(const unsigned char*& p, char16_t*& out, unsigned& carry) {
  if (carry == 0) return;
  p -= p[-1] >= 0xC0 ? 1 : 2;
  --out;
  carry = 0;
}

// After the last window: the open character's continuation bytes are at p,
// inside the input (the window's loads reached them). Skipped when they are
// what the character asked for, else the character is reopened.
inline void Close(const unsigned char*& p, char16_t*& out, unsigned& carry) {
  if (carry == 0) return;
  const bool two = carry > 1;
  if ((p[0] & 0xC0) == 0x80 && (!two || (p[1] & 0xC0) == 0x80)) {
    p += two ? 2 : 1;
    carry = 0;
  } else {
    Reopen(p, out, carry);
  }
}

// The window of 16 bytes at x = p[0..15] (18 readable) as UTF-16 at out.
// False, with `out` and `carry` unchanged, when it holds anything the scalar
// rules must see or the last window's open character was not finished.
inline bool Window16(const unsigned char* p, __m128i x, unsigned high, unsigned& carry,
                     char16_t*& out) {
  const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
  const __m128i z = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
  const __m128i is3 = _mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(char(0xE0))), x);  // E0-FF
  const unsigned cont = static_cast<unsigned>(_mm_movemask_epi8(
      _mm_cmplt_epi8(x, _mm_set1_epi8(char(0xC0)))));  // 80-BF
  const unsigned lead3 = static_cast<unsigned>(_mm_movemask_epi8(is3));
  // Every continuation byte must be one a lead asks for, and the other way
  // round.
  const unsigned expected = ((high & ~cont) << 1) | (lead3 << 2) | carry;
  if (_mm_movemask_epi8(Unusual16(x, y)) != 0 || (expected & 0xFFFF) != cont) return false;
  carry = expected >> 16;

  __m128i low;
  __m128i high8;
  UnitPlanes16(x, y, z, is3, low, high8);
  char16_t* o = out;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(low, high8));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpackhi_epi8(low, high8));
  if (cont == 0) {
    out = o + 16;
    return true;
  }
  // Close the gaps the continuation bytes left (SSE2 has no byte shuffle).
  // Units before the first of them are already in place; each later one
  // moves down, never up, so the copy can work in place.
  const unsigned first = static_cast<unsigned>(__builtin_ctz(cont));
  unsigned starts = ~cont & 0xFFFF & ~((1u << first) - 1);
  char16_t* w = o + first;
  while (starts != 0) {
    *w++ = o[__builtin_ctz(starts)];
    starts &= starts - 1;
  }
  out = w;
  return true;
}

// Where a run of windows stopped: at a window that could not be taken, or
// with fewer bytes left than a window reads.
struct WindowRun {
  const unsigned char* p;
  char16_t* out;
  unsigned carry;
};

// The windows from p on, while they can be taken. Nothing in the loop calls
// out, so its constants stay in registers, and p and out are copies, which
// stay there too.
inline WindowRun Windows16(const unsigned char* p, const unsigned char* end, char16_t* out) {
  unsigned carry = 0;
  while (end - p >= 18) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
    if ((high | carry) == 0) {
      Widen16(v, out);
      out += 16;
    } else if (!Window16(p, v, high, carry, out)) {
      break;
    }
    p += 16;
  }
  return {p, out, carry};
}

bool DecodeSse2(const unsigned char*& pp, const unsigned char* end, char16_t*& oo) {
  const unsigned char* p = pp;
  char16_t* out = oo;
  bool whole = true;
  for (;;) {
    WindowRun run = Windows16(p, end, out);
    p = run.p;
    out = run.out;
    if (end - p < 18) {
      Close(p, out, run.carry);
      whole = DecodeScalar(p, end, end, out);
      break;
    }
    Reopen(p, out, run.carry);
    // Only a character cut by the end of the input stops it.
    if (!DecodeScalar(p, p + 16, end, out)) {
      whole = false;
      break;
    }
  }
  pp = p;
  oo = out;
  return whole;
}

// ---- AVX2 -------------------------------------------------------------------

// For each set of kept positions among eight units, the byte shuffle that
// packs those units to the front.
struct CompactTable {
  alignas(16) unsigned char rows[256][16];
};

constexpr CompactTable MakeCompactTable() {
  CompactTable table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned j = 0;
    for (unsigned i = 0; i < 8; ++i) {
      if ((mask >> i) & 1) {
        table.rows[mask][2 * j] = static_cast<unsigned char>(2 * i);
        table.rows[mask][2 * j + 1] = static_cast<unsigned char>(2 * i + 1);
        ++j;
      }
    }
    for (; j < 8; ++j) table.rows[mask][2 * j] = table.rows[mask][2 * j + 1] = 0x80;
  }
  return table;
}

constexpr CompactTable kCompact = MakeCompactTable();

#define QUOBBLE_AVX2 __attribute__((target("avx2,popcnt")))

// UnitPlanes16 over 32 bytes: the low and high byte of the unit each
// position would give if a character started there.
QUOBBLE_AVX2 inline void UnitPlanes32(__m256i x, __m256i y, __m256i z, __m256i is3, __m256i& low,
                                      __m256i& high8) {
  const __m256i s = _mm256_blendv_epi8(x, y, is3);
  const __m256i t = _mm256_blendv_epi8(y, z, is3);
  const __m256i q = _mm256_and_si256(x, is3);
  const __m256i lo =
      _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(s, 6), _mm256_set1_epi8(char(0xC0))),
                      _mm256_and_si256(t, _mm256_set1_epi8(0x3F)));
  const __m256i hi =
      _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(q, 4), _mm256_set1_epi8(char(0xF0))),
                      _mm256_and_si256(_mm256_srli_epi16(s, 2), _mm256_set1_epi8(0x0F)));
  low = _mm256_blendv_epi8(x, lo, x);
  high8 = _mm256_blendv_epi8(_mm256_setzero_si256(), hi, x);
}

// Stores the units of the kept positions (bit set in `kept`) packed at out,
// eight positions at a time, and moves out past them.
QUOBBLE_AVX2 inline void StorePacked32(__m256i low, __m256i high8, uint32_t kept,
                                       char16_t*& out) {
  // Units of positions 0-7 and 16-23, and of 8-15 and 24-31.
  const __m256i unitsA = _mm256_unpacklo_epi8(low, high8);
  const __m256i unitsB = _mm256_unpackhi_epi8(low, high8);
  const unsigned k0 = kept & 0xFF;
  const unsigned k1 = (kept >> 8) & 0xFF;
  const unsigned k2 = (kept >> 16) & 0xFF;
  const unsigned k3 = kept >> 24;
  auto row = [](unsigned k) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kCompact.rows[k]));
  };
  const __m256i packedA = _mm256_shuffle_epi8(
      unitsA, _mm256_inserti128_si256(_mm256_castsi128_si256(row(k0)), row(k2), 1));
  const __m256i packedB = _mm256_shuffle_epi8(
      unitsB, _mm256_inserti128_si256(_mm256_castsi128_si256(row(k1)), row(k3), 1));
  char16_t* o = out;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(packedA));
  o += __builtin_popcount(k0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(packedB));
  o += __builtin_popcount(k1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_extracti128_si256(packedA, 1));
  o += __builtin_popcount(k2);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_extracti128_si256(packedB, 1));
  out = o + __builtin_popcount(k3);
}

// Window16 over 32 bytes (34 readable), packing the units with one byte
// shuffle per 128-bit lane instead of moving them one by one.
QUOBBLE_AVX2 inline bool Window32(const unsigned char* p, __m256i x, uint32_t high,
                                  unsigned& carry, char16_t*& out) {
  const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
  const __m256i z = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
  const __m256i is3 = _mm256_cmpeq_epi8(_mm256_max_epu8(x, _mm256_set1_epi8(char(0xE0))), x);
  const uint32_t cont = static_cast<uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpgt_epi8(_mm256_set1_epi8(char(0xC0)), x)));  // 80-BF
  const uint32_t lead3 = static_cast<uint32_t>(_mm256_movemask_epi8(is3));        // E0-FF
  // As Unusual16.
  const __m256i c0c1 = _mm256_cmpeq_epi8(_mm256_and_si256(x, _mm256_set1_epi8(char(0xFE))),
                                         _mm256_set1_epi8(char(0xC0)));
  const __m256i f0up = _mm256_cmpeq_epi8(_mm256_max_epu8(x, _mm256_set1_epi8(char(0xF0))), x);
  const __m256i badE =
      _mm256_or_si256(_mm256_set1_epi8(char(0xE0)),
                      _mm256_min_epu8(_mm256_and_si256(y, _mm256_set1_epi8(0x20)),
                                      _mm256_set1_epi8(0x0D)));
  const __m256i unusual =
      _mm256_or_si256(_mm256_or_si256(c0c1, f0up), _mm256_cmpeq_epi8(x, badE));
  const uint32_t leads = high & ~cont;
  const uint64_t expected = (uint64_t{leads} << 1) | (uint64_t{lead3} << 2) | carry;
  if (_mm256_movemask_epi8(unusual) != 0 || static_cast<uint32_t>(expected) != cont) return false;
  carry = static_cast<unsigned>(expected >> 32);

  __m256i low;
  __m256i high8;
  UnitPlanes32(x, y, z, is3, low, high8);
  StorePacked32(low, high8, ~cont, out);  // the continuation bytes give no unit
  return true;
}

// Windows16 with Window32.
QUOBBLE_AVX2 inline WindowRun Windows32(const unsigned char* p, const unsigned char* end,
                                        char16_t* out) {
  unsigned carry = 0;
  while (end - p >= 34) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const uint32_t high = static_cast<uint32_t>(_mm256_movemask_epi8(v));
    if ((high | carry) == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                          _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v)));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16),
                          _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1)));
      out += 32;
    } else if (!Window32(p, v, high, carry, out)) {
      break;
    }
    p += 32;
  }
  return {p, out, carry};
}

QUOBBLE_AVX2 bool DecodeAvx2(const unsigned char*& pp, const unsigned char* end, char16_t*& oo) {
  const unsigned char* p = pp;
  char16_t* out = oo;
  bool whole = true;
  for (;;) {
    WindowRun run = Windows32(p, end, out);
    // The code called from here on is not built for AVX: with the upper
    // halves of the vector registers left dirty, every SSE instruction
    // after it would pay for merging them.
    _mm256_zeroupper();
    p = run.p;
    out = run.out;
    if (end - p < 34) {
      Close(p, out, run.carry);
      whole = DecodeSse2(p, end, out);
      break;
    }
    Reopen(p, out, run.carry);
    // Only a character cut by the end of the input stops it.
    if (!DecodeScalar(p, p + 32, end, out)) {
      whole = false;
      break;
    }
  }
  pp = p;
  oo = out;
  return whole;
}

#undef QUOBBLE_AVX2

bool HasAvx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  }();
  return has;
}

#endif  // __SSE2__

// -1 until a test forces a path.
std::atomic<int> forcedPath{-1};

}  // namespace

XmlDecodePath BestXmlDecodePath() {
#if defined(__SSE2__)
  return HasAvx2() ? XmlDecodePath::Avx2 : XmlDecodePath::Sse2;
#else
  return XmlDecodePath::Scalar;
#endif
}

void SetXmlDecodePath(XmlDecodePath path) {
#if defined(__SSE2__)
  if (path == XmlDecodePath::Avx2 && !HasAvx2()) path = XmlDecodePath::Sse2;
#else
  path = XmlDecodePath::Scalar;
#endif
  forcedPath.store(static_cast<int>(path), std::memory_order_relaxed);
}

XmlDecodePath CurrentXmlDecodePath() {
  const int forced = forcedPath.load(std::memory_order_relaxed);
  return forced < 0 ? BestXmlDecodePath() : static_cast<XmlDecodePath>(forced);
}

namespace {

// Spans shorter than a window: names and short values. Sixteen bytes are
// widened at once even near the end, which the span's padding allows, and
// only what the span holds is kept. False when a character is cut by the
// end.
bool DecodeShort(const unsigned char*& p, const unsigned char* end, char16_t*& out) {
  while (p < end) {
#if defined(__SSE2__)
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    Widen16(bytes, out);
    const size_t left = static_cast<size_t>(end - p);
    size_t ascii = static_cast<size_t>(
        __builtin_ctz(static_cast<unsigned>(_mm_movemask_epi8(bytes)) | 0x10000u));
    if (ascii > left) ascii = left;
    p += ascii;
    out += ascii;
#else
    while (p < end && *p < 0x80) *out++ = *p++;
#endif
    // A word of Hangul is several characters in a row.
    while (p < end && *p >= 0x80) {
      if (!DecodeOther(p, end, out)) return false;
    }
  }
  return true;
}

constexpr ptrdiff_t kShortSpan = 48;

// [p, end) on the path this process decodes with; false when `end` cuts a
// sequence, with p left at its start.
bool DecodeOnPath(const unsigned char*& p, const unsigned char* end, char16_t*& out) {
  switch (CurrentXmlDecodePath()) {
#if defined(__SSE2__)
    case XmlDecodePath::Avx2:
      return DecodeAvx2(p, end, out);
    case XmlDecodePath::Sse2:
      return DecodeSse2(p, end, out);
#endif
    default:
      return DecodeScalar(p, end, end, out);
  }
}

}  // namespace

char16_t* decode_utf8_span(const unsigned char* p, const unsigned char* end, char16_t* out) {
  const bool whole =
      end - p < kShortSpan ? DecodeShort(p, end, out) : DecodeOnPath(p, end, out);
  // What the end cut is one U+FFFD, as at the end of a file.
  if (!whole) *out++ = 0xFFFD;
  return out;
}

bool XmlChunkDecoder::feed(const unsigned char* p, size_t n) {
  // A completed cut sequence may give two units from one byte, and a
  // finished one a U+FFFD. A window stores, scratch included, at most as
  // many units as it has bytes, after units that outnumber the bytes before
  // it by no more than those: its stores stay inside this room too.
  if (!buffer_.reserve(n + 4)) return false;
  const unsigned char* end = p + n;
  if (open_) {
    const unsigned char* q = p;
    while (q < end && q - p < 3 && (*q & 0xC0) == 0x80) ++q;
    delegate(p, q);
    p = q;
    if (p < end && !finish()) return false;
  }
  char16_t* out = buffer_.data + buffer_.length;
  const bool whole = DecodeOnPath(p, end, out);
  buffer_.length = static_cast<size_t>(out - buffer_.data);
  if (!whole) delegate(p, end);
  return true;
}

bool XmlChunkDecoder::finish() {
  scratch_.clear();
  decoder_.Finish(scratch_);
  open_ = false;
  return append_scratch();
}

void XmlChunkDecoder::delegate(const unsigned char* from, const unsigned char* to) {
  scratch_.clear();
  decoder_.Feed(
      std::string_view(reinterpret_cast<const char*>(from), static_cast<size_t>(to - from)),
      scratch_);
  open_ = true;
  (void)append_scratch();  // room was reserved for it
}

bool XmlChunkDecoder::append_scratch() {
  if (!buffer_.reserve(scratch_.size())) return false;
  std::memcpy(buffer_.data + buffer_.length, scratch_.data(), scratch_.size() * sizeof(char16_t));
  buffer_.length += scratch_.size();
  return true;
}

}  // namespace quobble
