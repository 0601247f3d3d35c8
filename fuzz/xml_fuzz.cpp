// Feeds arbitrary bytes to the XML parser under several option sets, walks
// the trees with path lookups and the dump, and matches fuzzed wildcard
// patterns. Everything stays in memory: no files.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "xml/xml_decode.h"
#include "xml/xml_document.h"
#include "xml/xml_dump.h"
#include "xml/xml_pool.h"

using namespace quobble;

namespace {

constexpr XmlParseOptions kAllParse = ParsePi | ParseDoctype | ParseComments | ParseCData;
constexpr XmlParseOptions kAllTrims =
    TrimText | TrimAttributes | TrimCData | TrimDeclarations | TrimDoctype | TrimComments;
constexpr XmlParseOptions kOptionSets[] = {
    0,
    kAllParse,
    kAllParse | kAllTrims | NormalizeSpace,
    ParseDoctype | ParseDtd,
    ParseDoctype | DtdOnly,
};

const char16_t* const kPaths[] = {
    u"/rss/channel/",
    u"rss/channel",
    u"/rss/./channel/item",
    u"/rss/../rss/channel",
    u"/*/ch?nnel/[a-z]*",
    u"/[!r]*/*/*",
    u"//a//b//",
    u"/",
    u"..",
    u"/a/b/c/a/b/c",
};

void Walk(XmlNode* root, const std::u16string& text) {
  XmlNodeRef top(root);
  for (const char16_t* path : kPaths) {
    XmlNodeRef found = top.find_by_path(path, u"/");
    (void)found.has_name();
    (void)found.value_or_empty();
  }
  // A path made of the input itself: '/' and '<' both split it.
  if (text.size() < 256) (void)top.find_by_path(text.c_str(), u"/<");
  for (auto it = XmlChildIterator::begin_of(top), end = XmlChildIterator::end_of(top); it != end;
       ++it) {
    XmlNodeRef& child = *it;
    (void)child.child(0).has_value();
    XmlNodeRef sibling = child;
    while (sibling.move_to_next_named_sibling(u"*")) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::u16string decoded = Utf8ToUtf16(bytes);

  for (size_t set = 0; set < sizeof kOptionSets / sizeof kOptionSets[0]; ++set) {
    // Alternate between heap records over text that ends at its terminator
    // (parse), and pooled ones over a padded buffer that the parser scans in
    // blocks (parse_file's way): ASan sees a scan that leaves its buffer.
    const bool pooled = set % 2 != 0;
    const size_t units = decoded.size() + 1 + (pooled ? kXmlTextPadding : 0);
    auto* text = static_cast<char16_t*>(std::calloc(units, sizeof(char16_t)));
    if (text == nullptr) return 0;
    std::memcpy(text, decoded.data(), decoded.size() * sizeof(char16_t));
    XmlPool pool;
    XmlPool* usePool = pooled ? &pool : nullptr;
    XmlNode* root = create_node_in(usePool, XmlNodeType::Document);
    if (root == nullptr) return 0;
    root->parent = root;
    parse_in(usePool, text, root, 4, kOptionSets[set], 0, pooled);
    Walk(root, decoded);
    if (set == 2) (void)dump_tree(root);
    destroy_tree(root);
    std::free(text);
  }

  // Pattern and name: the two halves around the first '\n' of the input.
  const size_t split = decoded.find(u'\n');
  if (split != std::u16string::npos && decoded.size() < 4096) {
    const std::u16string pattern = decoded.substr(0, split);
    const std::u16string name = decoded.substr(split + 1);
    (void)wildcard_match(pattern.c_str(), name.c_str());
  }
  return 0;
}
