#include "xml/xml_document.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/device_fs.h"
#include "xml/xml_decode.h"
#include "xml/xml_pool.h"

namespace quobble {

namespace {

// A chunk size that lets one read take the whole file.
constexpr size_t kWholeFile = SIZE_MAX;

// The file's bytes, in reads of at most `most` bytes; a file that grows
// while it is read still goes in whole. False when it cannot be read or no
// memory can be had.
bool ReadBytes(DeviceFile& file, size_t most, unsigned char*& bytes, size_t& length) {
  const int64_t hint = file.Size();
  size_t capacity = hint > 0 ? static_cast<size_t>(hint) + 1 : 4096;
  bytes = static_cast<unsigned char*>(std::malloc(capacity));
  length = 0;
  if (bytes == nullptr) return false;
  for (;;) {
    if (length == capacity) {
      auto* grown = static_cast<unsigned char*>(std::realloc(bytes, capacity + capacity / 2));
      if (grown == nullptr) return false;
      bytes = grown;
      capacity += capacity / 2;
    }
    const size_t room = capacity - length;
    const int64_t n = file.Read(bytes + length, room < most ? room : most);
    // A failed read ends the reading; what came before it is the text.
    if (n <= 0) return true;
    length += static_cast<size_t>(n);
  }
}

// The bytes decoded into a new text buffer for the parser: 16-byte aligned
// (malloc's), the terminator, then kXmlTextPadding zero units. Null when no
// memory can be had.
char16_t* DecodeText(const unsigned char* bytes, size_t length) {
  // UTF-8 never decodes to more units than it has bytes.
  const size_t capacity = length + 1 + kXmlSpanPadding;
  auto* text = static_cast<char16_t*>(std::malloc(capacity * sizeof(char16_t)));
  if (text == nullptr) return nullptr;
  const size_t units = static_cast<size_t>(decode_utf8_span(bytes, bytes + length, text) - text);
  std::memset(text + units, 0, (1 + kXmlTextPadding) * sizeof(char16_t));
  // Text that shrank in decoding (Hangul: three bytes, one unit) gives the
  // spare room back.
  const size_t needed = units + 1 + kXmlTextPadding;
  if (capacity - needed > capacity / 8) {
    if (auto* fitted = static_cast<char16_t*>(std::realloc(text, needed * sizeof(char16_t))))
      text = fitted;
  }
  return text;
}

}  // namespace

int read_file_text(const char16_t* path, char16_t** text, size_t* size, size_t chunk_size) {
  if (path == nullptr || text == nullptr || size == nullptr) return 0;
  *text = nullptr;
  *size = 0;
  if (chunk_size < 2) return 0;
  DeviceFile file;
  if (!file.OpenForRead(std::u16string_view(path))) return 0;
  unsigned char* bytes = nullptr;
  size_t length = 0;
  const bool read = ReadBytes(file, chunk_size - 1, bytes, length);
  // The whole file is decoded at once: a character split between two reads
  // decodes as one.
  char16_t* decoded = read && length > 0 ? DecodeText(bytes, length) : nullptr;
  std::free(bytes);
  if (decoded == nullptr) return 0;
  *text = decoded;
  *size = length * 2;
  return 1;
}

int XmlDocument::parse_file(const char16_t* path, XmlParseOptions newOptions) {
  if (path == nullptr) return 0;
  clear();
  if (newOptions != KeepOptions) options = newOptions;
  size_t size = 0;
  if (read_file_text(path, &text, &size, kWholeFile) == 0) return 0;
  // A shopping answer's tree takes about three bytes per byte of the file.
  pool_ = new (std::nothrow) XmlPool(size / 2 * 3);
  root = pool_ == nullptr ? nullptr : create_parsed_root(pool_);
  if (root == nullptr) {
    clear();
    return 0;
  }
  stop_position = parse_in(pool_, text, root, growth_step, options, 0, true);
  return 1;
}

}  // namespace quobble
