// Differential target for the file decoder: the input, cut into reads at
// places the input itself chooses, must decode exactly as the whole string
// does in one piece, on every decoding path.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "xml/xml_decode.h"
#include "xml/xml_pool.h"

using namespace quobble;

namespace {

void CheckPath(XmlDecodePath path, const unsigned char* bytes, size_t n, size_t readSize,
               const std::u16string& expected) {
  SetXmlDecodePath(path);
  XmlWideBuffer buffer;
  XmlChunkDecoder decoder(buffer);
  for (size_t at = 0; at < n; at += readSize) {
    const size_t piece = n - at < readSize ? n - at : readSize;
    // Each read in an allocation of its own size, as a file read would be:
    // a block load past it is caught.
    auto* read = static_cast<unsigned char*>(std::malloc(piece));
    if (read == nullptr) std::abort();
    std::memcpy(read, bytes + at, piece);
    const bool fed = decoder.feed(read, piece);
    std::free(read);
    if (!fed) std::abort();
  }
  if (!decoder.finish()) std::abort();
  if (buffer.length != expected.size() ||
      std::u16string_view(buffer.data == nullptr ? u"" : buffer.data, buffer.length) != expected) {
    std::abort();
  }
  std::free(buffer.data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the read size (1 to 64 bytes, or 4095 as the file
  // reader takes them); the rest is the file.
  const size_t readSize = data[0] == 0xFF ? 4095 : 1 + data[0] % 64;
  const unsigned char* bytes = data + 1;
  const size_t n = size - 1;

  const std::u16string expected =
      Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(bytes), n));
  for (XmlDecodePath path : {XmlDecodePath::Scalar, XmlDecodePath::Sse2, XmlDecodePath::Avx2}) {
    CheckPath(path, bytes, n, readSize, expected);
  }
  return 0;
}
