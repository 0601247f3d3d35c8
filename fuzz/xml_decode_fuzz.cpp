// Differential target for the file decoder: the input, cut into reads at
// places the input itself chooses, must decode exactly as the whole string
// does in one piece.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "xml/xml_pool.h"

using namespace quobble;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the read size (1 to 64 bytes); the rest is the file.
  const size_t readSize = 1 + data[0] % 64;
  const unsigned char* bytes = data + 1;
  const size_t n = size - 1;

  XmlWideBuffer buffer;
  XmlChunkDecoder decoder(buffer);
  for (size_t at = 0; at < n; at += readSize) {
    const size_t piece = n - at < readSize ? n - at : readSize;
    if (!decoder.feed(bytes + at, piece)) std::abort();
  }
  if (!decoder.finish()) std::abort();

  const std::u16string expected =
      Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(bytes), n));
  if (buffer.length != expected.size() ||
      std::u16string_view(buffer.data == nullptr ? u"" : buffer.data, buffer.length) != expected) {
    std::abort();
  }
  std::free(buffer.data);
  return 0;
}
