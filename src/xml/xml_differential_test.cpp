// The parser's output, pinned: a few hundred generated documents and every
// fuzz seed go through parse_file (reads, decoding and parse, as
// quobble-xmldump runs them) under several option sets, both ways parse_file
// can read a file, and a digest of each dump must match the one recorded in
// testdata/dump_digests.txt. A speed-up
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
#include "xml/xml_pool.h"

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
      // The decoded text parsed in place, then the bytes (what large files
      // get): the same tree both ways.
      std::string dumps[2];
      for (int64_t byteParseFrom : {int64_t{1} << 62, int64_t{0}}) {
        set_xml_byte_parse_from(byteParseFrom);
        XmlDocument doc;
        const int read = doc.parse_file(u"\\doc.xml", options);
        dumps[byteParseFrom == 0] = read == 1 ? dump_tree(doc.root) : "unread";
      }
      EXPECT_EQ(dumps[1], dumps[0]) << name << " with options " << options;
      digests << name << ' ' << options << ' ' << std::hex << Digest(dumps[0]) << std::dec << '\n';
    }
  }

  set_xml_byte_parse_from(kXmlByteParseFrom);
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

// A file large enough for the byte parse to give pages back behind it (in
// 2 MiB steps): strings that straddle those steps must come out whole.
TEST(XmlDifferential, ALargeFileReadsTheSameBothWays) {
  TempRoot root;
  ASSERT_TRUE(SetDeviceRoot(root.path()));
  Random random(7);
  std::string doc = "<rss>";
  for (int i = 0; doc.size() < (size_t{9} << 20); ++i) {
    doc += "\n\t<item n=\"" + std::to_string(i) + "\"><title>";
    for (uint32_t w = random.Below(40); w > 0; --w)
      doc += random.Below(3) == 0 ? "노트북 " : "&lt;b&gt;x ";
    doc += "</title><link>https://img.example.com/" + std::string(random.Below(300), 'p') +
           "</link></item>";
  }
  doc += "</rss>";
  std::ofstream(root.Host(u"\\big.xml"), std::ios::binary) << doc;
  std::string dumps[2];
  for (int64_t byteParseFrom : {int64_t{1} << 62, int64_t{0}}) {
    set_xml_byte_parse_from(byteParseFrom);
    XmlDocument parsed;
    ASSERT_EQ(parsed.parse_file(u"\\big.xml", 0), 1);
    dumps[byteParseFrom == 0] = dump_tree(parsed.root);
  }
  set_xml_byte_parse_from(kXmlByteParseFrom);
  EXPECT_GT(dumps[0].size(), doc.size());
  EXPECT_TRUE(dumps[1] == dumps[0]);
}

}  // namespace
}  // namespace quobble
