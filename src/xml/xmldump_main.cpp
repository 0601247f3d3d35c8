// quobble-xmldump: prints the tree that parse_file builds from a file.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/device_fs.h"
#include "platform/text.h"
#include "xml/xml_document.h"
#include "xml/xml_dump.h"

namespace {

constexpr quobble::ProgramHelp kProgram{
    "quobble-xmldump",
    "Usage: quobble-xmldump [--options N] [--root DIR] FILE",
    "Parses FILE with the quobble XML parser and prints the tree, one node a\n"
    "line, in document order. FILE is a host path, whose folder becomes the\n"
    "device root.",
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
    "2 for a usage error."};

struct Settings {
  std::string root;
  long long options = 0;
};

std::vector<quobble::CommandOption> Options(Settings& settings) {
  return {
      {"--root", "DIR", "FILE is then a device path below DIR (\\a\\b.xml)",
       quobble::StoreIn(settings.root)},
      {"--options", "N",
       "parse options, decimal or 0x hex (default 0):\n"
       "0x2 ParsePi  0x4 ParseDoctype  0x8 ParseComments\n"
       "0x10 ParseCData  0x40 TrimText  0x80 TrimAttributes\n"
       "0x100 TrimCData  0x200 TrimDeclarations  0x400 TrimDoctype\n"
       "0x800 TrimComments  0x1000 NormalizeSpace  0x2000 ParseDtd\n"
       "0x4000 DtdOnly",
       [&settings](const std::string& value) -> std::string {
         char* end = nullptr;
         errno = 0;
         const unsigned long long number = std::strtoull(value.c_str(), &end, 0);
         if (errno != 0 || end == value.c_str() || *end != 0 || value[0] == '-' ||
             number > 0xFFFFFFFFull) {
           return "--options wants a number";
         }
         settings.options = static_cast<long long>(number);
         return {};
       }},
  };
}

// The device root and the device path of FILE; false (reported) when FILE
// has no device path.
bool PlaceFile(const Settings& settings, const std::string& file, std::string& folder,
               std::u16string& devicePath, int& status) {
  if (!settings.root.empty()) {
    folder = settings.root;
    devicePath = quobble::Utf8ToUtf16(file);
    return true;
  }
  std::error_code error;
  const std::filesystem::path host = std::filesystem::absolute(file, error);
  if (error || !host.has_filename()) {
    std::fprintf(stderr, "quobble-xmldump: FILE is not a file path\nTry '%s --help'.\n",
                 kProgram.name.data());
    status = 2;
    return false;
  }
  const std::string name = host.filename().string();
  if (name.find('\\') != std::string::npos) {
    std::fprintf(stderr, "quobble-xmldump: %s: a file name with '\\' has no device path\n",
                 file.c_str());
    status = 1;
    return false;
  }
  folder = host.parent_path().string();
  devicePath = u"\\" + quobble::Utf8ToUtf16(name);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  const auto parsed = quobble::ParseCommandLine(
      kProgram, Options(settings), quobble::ArgumentList(argc, argv), std::cout, std::cerr);
  if (!parsed.run) return parsed.exitCode;
  if (parsed.operands.size() != 1) {
    std::fprintf(stderr, "quobble-xmldump: %s\nTry '%s --help'.\n",
                 parsed.operands.empty() ? "no FILE given" : "only one FILE",
                 kProgram.name.data());
    return 2;
  }
  const std::string& file = parsed.operands[0];
  std::string folder;
  std::u16string devicePath;
  int status = 0;
  if (!PlaceFile(settings, file, folder, devicePath, status)) return status;
  if (!quobble::SetDeviceRoot(folder)) {
    std::fprintf(stderr, "quobble-xmldump: cannot use %s as the device root\n", folder.c_str());
    return 1;
  }
  quobble::XmlDocument document;
  if (document.parse_file(devicePath.c_str(),
                          static_cast<quobble::XmlParseOptions>(settings.options)) == 0) {
    std::fprintf(stderr, "quobble-xmldump: %s: cannot be read, or is empty\n", file.c_str());
    return 1;
  }
  const std::string dump = quobble::dump_tree(document.root);
  std::fwrite(dump.data(), 1, dump.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
