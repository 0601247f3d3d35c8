// The parser's output, pinned: a few hundred generated documents and every
// fuzz seed go through parse_file (reads, decoding and parse, as
// quobble-xmldump runs them) under several option sets, and a digest of each
// dump must match the one recorded in testdata/dump_digests.txt. A speed-up
// that changes any tree anywhere fails here with the document's name.
//
// After a deliberate change of output, rewrite the record with
//   QUOBBLE_WRITE_DIGESTS=1 build/src/xml/xml_differential_test
// and say in the commit why the trees changed.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/device_fs.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_data.h"
#include "xml/xml_document.h"
#include "xml/xml_dump.h"

namespace quobble {
namespace {

namespace fs = std::filesystem;

// A fixed generator, so the documents are the same on every machine.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint32_t Below(uint32_t n) {
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint32_t>((z ^ (z >> 31)) % n);
  }

 private:
  uint64_t state_;
};

// Pieces chosen for the places a faster scan or decode could go wrong: long
// runs, delimiters at every offset, whitespace runs, multi-byte and
// malformed UTF-8, NUL, and every kind of markup, well formed or not.
const char* const kPieces[] = {
    "<item>",
    "</item>",
    "<title>",
    "</title>",
    "\n\t\t",
    "\t",
    "  ",
    "\r\n",
    "노트북",
    "가방 ",
    "&lt;b&gt;",
    "&amp;",
    "<a href=\"x&y\" b='1'>",
    "<b/>",
    "<c d=e>",
    "</c>",
    "<?pi x='1'?>",
    "<!-- c -->",
    "<![CDATA[ x<y ]]>",
    "<!DOCTYPE r [<!ENTITY e 'v'>]>",
    "<!ENTITY % p 'q'>",
    "<![INCLUDE[ z ]]>",
    "</",
    "<",
    ">",
    "\"",
    "'",
    "=",
    "/>",
    "]]>",
    "-->",
    "\xF0\x9F\x98\x80",
    "\xC3\xA9",
    "\xED\xA0\x80",
    "\xEA\xB0",
    "\xFF",
    "" /* a NUL byte and an x */,
    "https://img.example.com/main_12345/8000000123.jpg",
    "12345678",
    "ক",
    "ไก่",
    "abcdefghijklmnopqrstuvwxyz0123456789",
    "<상품 가격=\"1\">",
    "</상품>",
    "&#44032;",
};

std::string Generate(Random& random) {
  std::string doc;
  const uint32_t pieces = 1 + random.Below(random.Below(4) == 0 ? 3000 : 200);
  for (uint32_t i = 0; i < pieces; ++i) {
    const uint32_t k = random.Below(sizeof kPieces / sizeof kPieces[0]);
    if (kPieces[k][0] == 0) {
      doc.append("\0x", 2);
    } else {
      doc += kPieces[k];
    }
  }
  return doc;
}

uint64_t Digest(const std::string& text) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (unsigned char c : text) h = (h ^ c) * 0x100000001B3ull;
  return h;
}

constexpr XmlParseOptions kOptionSets[] = {
    0,
    ParsePi | ParseDoctype | ParseComments | ParseCData,
    TrimText | TrimAttributes | TrimCData | TrimDeclarations | TrimDoctype | TrimComments |
        NormalizeSpace | ParsePi | ParseDoctype | ParseComments | ParseCData,
    ParseDoctype | ParseDtd | TrimText,
    ParseDoctype | DtdOnly,
};

// name -> bytes: the generated documents and the committed fuzz inputs.
std::map<std::string, std::string> Documents(const std::string& source) {
  std::map<std::string, std::string> docs;
  Random random(20261208);
  for (int i = 0; i < 300; ++i) docs["generated-" + std::to_string(i)] = Generate(random);
  for (const char* folder : {"fuzz/corpus/xml", "fuzz/corpus/answer"}) {
    const fs::path dir = fs::path(source) / folder;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      docs[std::string(folder) + "/" + entry.path().filename().string()] =
          ReadHostFile(entry.path().string());
    }
  }
  return docs;
}

TEST(XmlDifferential, EveryDumpMatchesItsRecordedDigest) {
  const char* source = std::getenv("QUOBBLE_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const fs::path recordPath = fs::path(source) / "src/xml/testdata/dump_digests.txt";
  TempRoot root;
  ASSERT_TRUE(SetDeviceRoot(root.path()));

  std::ostringstream digests;
  for (const auto& [name, bytes] : Documents(source)) {
    std::ofstream(root.Host(u"\\doc.xml"), std::ios::binary) << bytes;
    for (XmlParseOptions options : kOptionSets) {
      XmlDocument doc;
      const int read = doc.parse_file(u"\\doc.xml", options);
      const std::string dump = read == 1 ? dump_tree(doc.root) : "unread";
      digests << name << ' ' << options << ' ' << std::hex << Digest(dump) << std::dec << '\n';
    }
  }

  if (std::getenv("QUOBBLE_WRITE_DIGESTS") != nullptr) {
    std::ofstream(recordPath) << digests.str();
    GTEST_SKIP() << "wrote " << recordPath;
  }
  std::istringstream expected(ReadHostFile(recordPath.string()));
  std::istringstream actual(digests.str());
  std::string want, got;
  int lines = 0;
  while (std::getline(expected, want)) {
    ++lines;
    ASSERT_TRUE(std::getline(actual, got)) << "missing: " << want;
    EXPECT_EQ(got, want);
  }
  EXPECT_FALSE(std::getline(actual, got)) << "not recorded: " << got;
  EXPECT_GT(lines, 1500);
}

}  // namespace
}  // namespace quobble
