#pragma once
#include <cstddef>

namespace quobble {

// UTF-8 to UTF-16, for the files parse_file reads: a shopping answer is
// ASCII markup around titles that are mostly Hangul, so whole blocks of
// ASCII, two- and three-byte characters are decoded at once where the
// processor allows. Every path gives the same text as Utf8ToUtf16
// (platform/text.h): U+FFFD for each malformed part, one for a character
// the end cuts.

// Units decode_utf8_span may write past what it keeps: its output needs
// room for as many units as the input has bytes, and this many more.
inline constexpr size_t kXmlSpanPadding = 32;

// Units that a text parse_file reads has after its terminator (its buffer
// starting 16-byte aligned, as malloc's do), so that the parser may scan it
// in aligned 16-byte blocks without reading outside the buffer.
inline constexpr size_t kXmlTextPadding = 8;

// Decodes the UTF-8 bytes [p, end) to UTF-16 at out and returns the end of
// what it wrote: never more units than bytes.
char16_t* decode_utf8_span(const unsigned char* p, const unsigned char* end, char16_t* out);

// The ways decode_utf8_span can decode. All give the same text.
enum class XmlDecodePath {
  Scalar,  // plain C++, any machine
  Sse2,    // 16-byte blocks, every x86-64
  Avx2,    // 32-byte blocks, when the processor says it has AVX2
};

// The fastest path this machine runs.
XmlDecodePath BestXmlDecodePath();
// Makes decode_utf8_span use `path` from now on, so that tests and the
// fuzzer can hold the paths against each other. A path the machine cannot
// run gives way to the best one it can.
void SetXmlDecodePath(XmlDecodePath path);
XmlDecodePath CurrentXmlDecodePath();

}  // namespace quobble
