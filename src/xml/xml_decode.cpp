#include "xml/xml_decode.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "platform/text.h"

// A shopping answer is ASCII markup around titles that are mostly Hangul
// (three bytes, one unit) mixed with spaces, digits and Latin words. Taking
// that mix one character at a time costs a branch the processor cannot
// guess on every character, so the vector paths decode whole blocks of
// ASCII, two- and three-byte characters at once and leave everything else
// (four-byte characters, malformed bytes, a character cut by the end) to
// the scalar rules, which are those of DecodeUtf8Sequence. The block
// decoder is written once (xml_decode_window.inc) and compiled for SSE2,
// which every x86-64 has, and for AVX2, whose 32-byte blocks and byte
// shuffle halve the cost of Hangul text where the processor has them.

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

// ---- between windows: the same for every width ------------------------------

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

// ---- SSE2 -------------------------------------------------------------------

namespace sse2 {

struct Simd {
  using Vector = __m128i;
  static constexpr int kWidth = 16;

  static Vector Load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static Vector Set(int byte) { return _mm_set1_epi8(static_cast<char>(byte)); }
  static Vector And(Vector a, Vector b) { return _mm_and_si128(a, b); }
  static Vector Or(Vector a, Vector b) { return _mm_or_si128(a, b); }
  static Vector Equal(Vector a, Vector b) { return _mm_cmpeq_epi8(a, b); }
  static Vector MaxUnsigned(Vector a, Vector b) { return _mm_max_epu8(a, b); }
  static Vector MinUnsigned(Vector a, Vector b) { return _mm_min_epu8(a, b); }
  // a < b, bytes taken as signed.
  static Vector Below(Vector a, Vector b) { return _mm_cmplt_epi8(a, b); }
  static Vector Negative(Vector a) { return _mm_cmplt_epi8(a, _mm_setzero_si128()); }
  // a where the mask is set, else b.
  static Vector Select(Vector mask, Vector a, Vector b) {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
  }
  template <int n>
  static Vector ShiftLeft16(Vector a) {
    return _mm_slli_epi16(a, n);
  }
  template <int n>
  static Vector ShiftRight16(Vector a) {
    return _mm_srli_epi16(a, n);
  }
  static uint64_t Mask(Vector a) { return static_cast<unsigned>(_mm_movemask_epi8(a)); }
  // Sixteen ASCII bytes as sixteen units.
  static void StoreWidened(Vector bytes, char16_t* out) {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
  }
  // The units of the positions set in `kept`, packed at out; the end of
  // them. SSE2 has no byte shuffle: all sixteen are stored, then the gaps
  // are closed. Units before the first gap are already in place; each later
  // one moves down, never up, so the copy can work in place.
  static char16_t* StoreKept(Vector low, Vector high, uint64_t kept, char16_t* out) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(low, high));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(low, high));
    if (kept == 0xFFFF) return out + 16;
    const unsigned first = static_cast<unsigned>(__builtin_ctz(~kept & 0xFFFF));
    unsigned starts = static_cast<unsigned>(kept) & ~((1u << first) - 1);
    char16_t* w = out + first;
    while (starts != 0) {
      *w++ = out[__builtin_ctz(starts)];
      starts &= starts - 1;
    }
    return w;
  }
  static void Leave() {}
};

#include "xml/xml_decode_window.inc"

}  // namespace sse2

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

// Everything from here to the end of the region is built for AVX2; it runs
// only where the processor says it has AVX2.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,popcnt")
#endif

namespace avx2 {

struct Simd {
  using Vector = __m256i;
  static constexpr int kWidth = 32;

  static Vector Load(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static Vector Set(int byte) { return _mm256_set1_epi8(static_cast<char>(byte)); }
  static Vector And(Vector a, Vector b) { return _mm256_and_si256(a, b); }
  static Vector Or(Vector a, Vector b) { return _mm256_or_si256(a, b); }
  static Vector Equal(Vector a, Vector b) { return _mm256_cmpeq_epi8(a, b); }
  static Vector MaxUnsigned(Vector a, Vector b) { return _mm256_max_epu8(a, b); }
  static Vector MinUnsigned(Vector a, Vector b) { return _mm256_min_epu8(a, b); }
  static Vector Below(Vector a, Vector b) { return _mm256_cmpgt_epi8(b, a); }
  static Vector Negative(Vector a) { return _mm256_cmpgt_epi8(_mm256_setzero_si256(), a); }
  static Vector Select(Vector mask, Vector a, Vector b) { return _mm256_blendv_epi8(b, a, mask); }
  template <int n>
  static Vector ShiftLeft16(Vector a) {
    return _mm256_slli_epi16(a, n);
  }
  template <int n>
  static Vector ShiftRight16(Vector a) {
    return _mm256_srli_epi16(a, n);
  }
  static uint64_t Mask(Vector a) { return static_cast<uint32_t>(_mm256_movemask_epi8(a)); }
  static void StoreWidened(Vector bytes, char16_t* out) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_cvtepu8_epi16(_mm256_castsi256_si128(bytes)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16),
                        _mm256_cvtepu8_epi16(_mm256_extracti128_si256(bytes, 1)));
  }
  // Eight positions at a time, each packed by one byte shuffle from the
  // table.
  static char16_t* StoreKept(Vector low, Vector high, uint64_t kept, char16_t* out) {
    // Units of positions 0-7 and 16-23, and of 8-15 and 24-31.
    const __m256i unitsA = _mm256_unpacklo_epi8(low, high);
    const __m256i unitsB = _mm256_unpackhi_epi8(low, high);
    const unsigned k0 = kept & 0xFF;
    const unsigned k1 = (kept >> 8) & 0xFF;
    const unsigned k2 = (kept >> 16) & 0xFF;
    const unsigned k3 = (kept >> 24) & 0xFF;
    const auto row = [](unsigned k) {
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
    return o + __builtin_popcount(k3);
  }
  // The code called after the windows is not built for AVX: with the upper
  // halves of the vector registers left dirty, every SSE instruction after
  // it would pay for merging them.
  static void Leave() { _mm256_zeroupper(); }
};

#include "xml/xml_decode_window.inc"

}  // namespace avx2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

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
  if (static_cast<int>(path) > static_cast<int>(BestXmlDecodePath())) path = BestXmlDecodePath();
  forcedPath.store(static_cast<int>(path), std::memory_order_relaxed);
}

XmlDecodePath CurrentXmlDecodePath() {
  const int forced = forcedPath.load(std::memory_order_relaxed);
  return forced < 0 ? BestXmlDecodePath() : static_cast<XmlDecodePath>(forced);
}

char16_t* decode_utf8_span(const unsigned char* p, const unsigned char* end, char16_t* out) {
  bool whole = true;
  switch (CurrentXmlDecodePath()) {
#if defined(__SSE2__)
    case XmlDecodePath::Avx2:
      whole = avx2::Decode(p, end, out);
      break;
    case XmlDecodePath::Sse2:
      whole = sse2::Decode(p, end, out);
      break;
#endif
    default:
      whole = DecodeScalar(p, end, end, out);
  }
  // A character the end cuts is one U+FFFD, as at the end of any text.
  if (!whole) *out++ = 0xFFFD;
  return out;
}

}  // namespace quobble
