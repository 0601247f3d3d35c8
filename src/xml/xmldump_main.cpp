// quobble-xmldump: prints the tree that parse_file builds from a file.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "xml/xml_document.h"
#include "xml/xml_dump.h"

namespace {

constexpr const char* kHelp =
    "Usage: quobble-xmldump [--options N] [--root DIR] FILE\n"
    "\n"
    "Parses FILE with the quobble XML parser and prints the tree, one node a\n"
    "line, in document order.\n"
    "\n"
    "  FILE          a host path; its folder becomes the device root.\n"
    "  --root DIR    FILE is then a device path below DIR (\\a\\b.xml).\n"
    "  --options N   parse options, decimal or 0x hex (default 0):\n"
    "                0x2 ParsePi  0x4 ParseDoctype  0x8 ParseComments\n"
    "                0x10 ParseCData  0x40 TrimText  0x80 TrimAttributes\n"
    "                0x100 TrimCData  0x200 TrimDeclarations  0x400 TrimDoctype\n"
    "                0x800 TrimComments  0x1000 NormalizeSpace  0x2000 ParseDtd\n"
    "                0x4000 DtdOnly\n"
    "\n"
    "Each line: two spaces per depth level (the root at depth 0), the type\n"
    "(Document, Element, Text, CData, Comment, ProcessingInstruction, Include,\n"
    "Doctype, EntityDecl, AttlistDecl, ElementDecl, NotationDecl), then\n"
    "  name=\"N\"        when the node has a name,\n"
    "  @\"A\"=\"V\"        for each attribute (@\"\" for a nameless one; no =\"V\"\n"
    "                  when the attribute has no value),\n"
    "  value=\"V\"       when the node has a value.\n"
    "Strings are quoted with \\\\, \\\", \\n, \\r, \\t and \\xHH for the other\n"
    "characters below 0x20; everything else is UTF-8.\n"
    "Example:   Element name=\"item\" @\"id\"=\"7\"\n"
    "\n"
    "Exit status: 0 after a dump, 1 when the file could not be read or is empty,\n"
    "2 for a usage error.\n";

int Usage(const char* message) {
  std::fprintf(stderr, "quobble-xmldump: %s\n(see --help)\n", message);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const char* root = nullptr;
  const char* file = nullptr;
  unsigned long options = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "--options" || arg == "--root") {
      if (i + 1 >= argc) return Usage(("missing value after " + arg).c_str());
      const char* value = argv[++i];
      if (arg == "--root") {
        root = value;
        continue;
      }
      char* end = nullptr;
      errno = 0;
      options = std::strtoul(value, &end, 0);
      if (errno != 0 || end == value || *end != 0 || options > 0xFFFFFFFFul) {
        return Usage("--options wants a number");
      }
      continue;
    }
    if (file != nullptr) return Usage("only one FILE");
    file = argv[i];
  }
  if (file == nullptr) return Usage("no FILE given");

  std::u16string devicePath;
  std::string folder;
  if (root != nullptr) {
    folder = root;
    devicePath = quobble::Utf8ToUtf16(file);
  } else {
    std::error_code error;
    const std::filesystem::path host = std::filesystem::absolute(file, error);
    if (error || !host.has_filename()) return Usage("FILE is not a file path");
    const std::string name = host.filename().string();
    if (name.find('\\') != std::string::npos) {
      std::fprintf(stderr, "quobble-xmldump: %s: a file name with '\\' has no device path\n", file);
      return 1;
    }
    folder = host.parent_path().string();
    devicePath = u"\\" + quobble::Utf8ToUtf16(name);
  }
  if (!quobble::SetDeviceRoot(folder)) {
    std::fprintf(stderr, "quobble-xmldump: cannot use %s as the device root\n", folder.c_str());
    return 1;
  }

  quobble::XmlDocument document;
  if (document.parse_file(devicePath.c_str(), static_cast<quobble::XmlParseOptions>(options)) ==
      0) {
    std::fprintf(stderr, "quobble-xmldump: %s: cannot be read, or is empty\n", file);
    return 1;
  }
  const std::string dump = quobble::dump_tree(document.root);
  std::fwrite(dump.data(), 1, dump.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
