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
