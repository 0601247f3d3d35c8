// Differential target for the file decoder: every decoding path must give
// exactly what decoding the bytes one character at a time gives.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "xml/xml_decode.h"

using namespace quobble;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string expected =
      Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
  for (XmlDecodePath path : {XmlDecodePath::Scalar, XmlDecodePath::Sse2, XmlDecodePath::Avx2}) {
    SetXmlDecodePath(path);
    // The input and the output each in an allocation of exactly the size the
    // decoder may use, so that a block load or store past either is caught.
    auto* in = static_cast<unsigned char*>(std::malloc(size + 1));
    auto* out = static_cast<char16_t*>(std::malloc((size + kXmlSpanPadding) * sizeof(char16_t)));
    if (in == nullptr || out == nullptr) std::abort();
    if (size > 0) std::memcpy(in, data, size);
    const char16_t* end = decode_utf8_span(in, in + size, out);
    if (std::u16string_view(out, static_cast<size_t>(end - out)) != expected) std::abort();
    std::free(in);
    std::free(out);
  }
  return 0;
}
