// Writes arbitrary bytes to a file and reads it with parse_file both ways it
// can: decoded whole and parsed in place, and parsed as bytes with only the
// strings decoded. The two trees must dump alike under every option set.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/device_fs.h"
#include "xml/xml_document.h"
#include "xml/xml_dump.h"
#include "xml/xml_pool.h"

using namespace quobble;

namespace {

constexpr XmlParseOptions kOptionSets[] = {
    0,
    ParsePi | ParseDoctype | ParseComments | ParseCData,
    ParsePi | ParseDoctype | ParseComments | ParseCData | TrimText | TrimAttributes | TrimCData |
        TrimDeclarations | TrimDoctype | TrimComments | NormalizeSpace,
    ParseDoctype | ParseDtd,
    ParseDoctype | DtdOnly,
};

std::string Dump(XmlParseOptions options, int64_t byteParseFrom) {
  set_xml_byte_parse_from(byteParseFrom);
  XmlDocument doc;
  if (doc.parse_file(u"\\input.xml", options) == 0) return "unread";
  return dump_tree(doc.root);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string root = [] {
    std::string dir = "/tmp/quobble-xml-file-fuzz-" + std::to_string(::getpid());
    std::system(("mkdir -p " + dir).c_str());
    (void)SetDeviceRoot(dir);
    return dir;
  }();
  std::ofstream(root + "/input.xml", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  for (XmlParseOptions options : kOptionSets) {
    if (Dump(options, INT64_MAX) != Dump(options, 0)) {
      std::fprintf(stderr, "the byte parse and the wide parse differ, options %u\n", options);
      std::abort();
    }
  }
  return 0;
}
