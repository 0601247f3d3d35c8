#include "xml/xml_pool.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstring>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace quobble {

bool XmlChunkDecoder::feed(const unsigned char* p, size_t n) {
  // A completed cut sequence may give two units from one byte, and a
  // finished one a U+FFFD.
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
  while (p < end) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      if (_mm_movemask_epi8(bytes) != 0) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
      p += 16;
      out += 16;
    }
#endif
    while (p < end && *p < 0x80) *out++ = *p++;
    if (p == end) break;
    char32_t cp = 0;
    const int length = DecodeUtf8Sequence(p, end, cp);
    if (length > 0) {
      out = EncodeUtf16(cp, out);
      p += length;
    } else if (length < 0) {
      *out++ = 0xFFFD;
      p += -length;
    } else {
      buffer_.length = static_cast<size_t>(out - buffer_.data);
      delegate(p, end);
      return true;
    }
  }
  buffer_.length = static_cast<size_t>(out - buffer_.data);
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
