#pragma once
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quobble {

// The first `c` at or after p, or the terminating NUL, in NUL-terminated
// text of bytes or UTF-16 units: the XML parser's delimiter search and the
// length of a wide string.
#if defined(__SSE2__)
// Sixteen bytes at a time. No load crosses into another page (all but the
// first are aligned, and the first is made only where it stays in its
// page), so the block that holds the terminator may be read whole even where
// the buffer ends inside it; the address and thread sanitizers are told so,
// since they would see a read past the allocation.
template <typename Unit>
__attribute__((no_sanitize("address", "thread"))) inline Unit* FindOrEnd(
    Unit* p, std::remove_const_t<Unit> c) {
  static_assert(sizeof(Unit) == 1 || sizeof(Unit) == 2);
  const auto equal = [](__m128i a, __m128i b) {
    return sizeof(Unit) == 1 ? _mm_cmpeq_epi8(a, b) : _mm_cmpeq_epi16(a, b);
  };
  const __m128i wanted = sizeof(Unit) == 1 ? _mm_set1_epi8(static_cast<char>(c))
                                           : _mm_set1_epi16(static_cast<short>(c));
  const __m128i zero = _mm_setzero_si128();
  const auto matches = [&](__m128i units) {
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(equal(units, wanted), equal(units, zero))));
  };
  const uintptr_t at = reinterpret_cast<uintptr_t>(p);
  auto* block = reinterpret_cast<const __m128i*>(at & ~uintptr_t{15});
  unsigned hits;
  // The first sixteen bytes are read from p itself where they stay in its
  // page, and the aligned search goes on from the block after p's: a parser
  // has often just terminated a string right before p, and a load over that
  // store would wait for it.
  if ((at & 4095) <= 4096 - 16) {
    hits = matches(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    if (hits != 0) return p + __builtin_ctz(hits) / sizeof(Unit);
    hits = matches(_mm_load_si128(++block));
  } else {
    // Bytes of the first block before p do not count.
    hits = matches(_mm_load_si128(block)) & (0xFFFFu << (at & 15));
  }
  while (hits == 0) hits = matches(_mm_load_si128(++block));
  return reinterpret_cast<Unit*>(const_cast<__m128i*>(block)) + __builtin_ctz(hits) / sizeof(Unit);
}
#else
template <typename Unit>
inline Unit* FindOrEnd(Unit* p, std::remove_const_t<Unit> c) {
  for (;;) {
    if (p[0] == c || p[0] == 0) return p;
    if (p[1] == c || p[1] == 0) return p + 1;
    if (p[2] == c || p[2] == 0) return p + 2;
    if (p[3] == c || p[3] == 0) return p + 3;
    p += 4;
  }
}
#endif

}  // namespace quobble
