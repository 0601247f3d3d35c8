#include "xml/xml_document.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "tests/support/temp_root.h"
#include "xml/xml_dump.h"

namespace quobble {
namespace {

constexpr XmlParseOptions kAllTrims =
    TrimText | TrimAttributes | TrimCData | TrimDeclarations | TrimDoctype | TrimComments;

// Parses UTF-8 text from memory and dumps the tree below the root (the
// "Document" line is left out to keep the tables short).
std::string Dump(const std::string& xml, XmlParseOptions options) {
  std::u16string text = Utf8ToUtf16(xml);
  XmlNode* root = create_node(XmlNodeType::Document);
  root->parent = root;
  parse(text.data(), root, 4, options);
  std::string dump = dump_tree(root);
  destroy_tree(root);
  return dump.substr(dump.find('\n') + 1);
}

struct Case {
  const char* xml;
  XmlParseOptions options;
  const char* dump;
};

class ParseCase : public ::testing::TestWithParam<Case> {};

TEST_P(ParseCase, BuildsTheTree) {
  const Case& c = GetParam();
  EXPECT_EQ(Dump(c.xml, c.options), c.dump) << c.xml;
}

INSTANTIATE_TEST_SUITE_P(
    Content, ParseCase,
    ::testing::Values(
        Case{"<rss><channel><title>  a &amp; b  </title></channel></rss>", 0,
             "  Element name=\"rss\"\n    Element name=\"channel\"\n"
             "      Element name=\"title\"\n        Text value=\"  a &amp; b  \"\n"},
        Case{"<t>  a &amp; b  </t>", TrimText,
             "  Element name=\"t\"\n    Text value=\"a &amp; b\"\n"},
        Case{"<t> a\n\n b </t>", TrimText | NormalizeSpace,
             "  Element name=\"t\"\n    Text value=\"a b\"\n"},
        Case{"<a>  </a><b></b>", 0, "  Element name=\"a\"\n  Element name=\"b\"\n"},
        // An empty-element tag sends the parser to Seek: 'tail' is lost...
        Case{"<a><b/>tail</a>", 0, "  Element name=\"a\"\n    Element name=\"b\"\n"},
        // ...while after an end tag that follows text it is kept.
        Case{"<a><b>x</b>tail</a>", 0,
             "  Element name=\"a\"\n    Element name=\"b\"\n      Text value=\"x\"\n"
             "    Text value=\"tail\"\n"},
        Case{"<a><b>x</b></c>tail</a>", 0,
             "  Element name=\"a\"\n    Element name=\"b\"\n      Text value=\"x\"\n"},
        Case{"<a></b>text", 0, "  Element name=\"a\"\n"},
        Case{"</x></y><a/>", 0, "  Element name=\"a\"\n"},
        Case{"<a>unterminated", 0, "  Element name=\"a\"\n    Text value=\"unterminated\"\n"},
        // Only a text ended by '<' is trimmed.
        Case{"<a>  cut off  ", TrimText, "  Element name=\"a\"\n    Text value=\"  cut off  \"\n"},
        // Letters of every script make names, not just the common ones.
        Case{"<ক>x</ক><b/><กข ሀ='1'/>", 0,
             "  Element name=\"ক\"\n    Text value=\"x\"\n  Element name=\"b\"\n"
             "  Element name=\"กข\" @\"ሀ\"=\"1\"\n"},
        Case{"<a>x\r\ny</a>", 0, "  Element name=\"a\"\n    Text value=\"x\\r\\ny\"\n"},
        Case{"\xEF\xBB\xBF<a/>", 0, "  Element name=\"a\"\n"},
        Case{"<상품 가격=\"1\">값</상품>", 0,
             "  Element name=\"상품\" @\"가격\"=\"1\"\n    Text value=\"값\"\n"},
        Case{"", 0, ""}, Case{"just text", 0, ""}));

INSTANTIATE_TEST_SUITE_P(
    Attributes, ParseCase,
    ::testing::Values(
        Case{"<a x=\"1\" y='2'/>after", 0,
             "  Element name=\"a\" @\"x\"=\"1\" @\"y\"=\"2\"\n  Text value=\"after\"\n"},
        Case{"<a x = \"1\"y='2'>t</a>", 0,
             "  Element name=\"a\" @\"x\"=\"1\" @\"y\"=\"2\"\n    Text value=\"t\"\n"},
        // The stop character of a bare name is consumed: '>' does not end the tag.
        Case{"<a b>content more</a>", 0, "  Element name=\"a\" @\"b\" @\"content\" @\"more\"\n"},
        Case{"<a x=\" 1  2 \" x='3'>", TrimAttributes | NormalizeSpace,
             "  Element name=\"a\" @\"x\"=\"1 2\" @\"x\"=\"3\"\n"},
        Case{"<a x=\"unterminated", 0, "  Element name=\"a\" @\"x\"=\"unterminated\"\n"},
        // Unquoted values are names of further attributes.
        Case{"<a x=1>t</a>", 0, "  Element name=\"a\" @\"x\" @\"1\" @\"t\"\n"}));

INSTANTIATE_TEST_SUITE_P(
    Markup, ParseCase,
    ::testing::Values(
        Case{"<a><![CDATA[x<y]]></a>", 0, "  Element name=\"a\"\n"},
        Case{"<a><![CDATA[x<y]]>t</a>", ParseCData,
             "  Element name=\"a\"\n    CData value=\"x<y\"\n    Text value=\"t\"\n"},
        Case{"<a><![CDATA[ x ]]></a>", ParseCData | TrimCData,
             "  Element name=\"a\"\n    CData value=\"x\"\n"},
        Case{"<a><![CDATA[open", ParseCData, "  Element name=\"a\"\n    CData value=\"open\"\n"},
        // An unknown section keyword is not a section: its content is text.
        Case{"<a><![IGNORE[x]]></a>", 0, "  Element name=\"a\"\n"},
        Case{"<![INCLUDE[ <x/> ]]>", ParseDoctype, "  Include value=\" <x/> \"\n"},
        Case{"<![INCLUDE[ <x/> ]]>", 0, ""}, Case{"<!-- note --><a/>", 0, "  Element name=\"a\"\n"},
        Case{"<!-- note --><a/>", ParseComments,
             "  Comment value=\" note \"\n  Element name=\"a\"\n"},
        Case{"<!-- note --><a/>", ParseComments | TrimComments,
             "  Comment value=\"note\"\n  Element name=\"a\"\n"},
        Case{"<!-- open", ParseComments, "  Comment value=\" open\"\n"},
        Case{"<?xml version=\"1.0\" encoding='UTF-8'?>\n  ", 0, ""},
        Case{"<?xml version=\"1.0\" encoding='UTF-8'?><a/>", ParsePi,
             "  ProcessingInstruction name=\"xml\" @\"version\"=\"1.0\" @\"encoding\"=\"UTF-8\"\n"
             "  Element name=\"a\"\n"},
        Case{"<?pi?><a/>", ParsePi, "  ProcessingInstruction name=\"pi\"\n  Element name=\"a\"\n"},
        Case{"<? x?><a/>", ParsePi, "  Element name=\"a\"\n"}));

INSTANTIATE_TEST_SUITE_P(
    Declarations, ParseCase,
    ::testing::Values(
        Case{"<!ENTITY % p \"x>y\">", 0, "  EntityDecl name=\"%p\" value=\"\\\"x>y\\\"\"\n"},
        Case{"<!ENTITY %p 'v'>", 0, "  EntityDecl name=\"%p\" value=\"'v'\"\n"},
        Case{"<!ENTITY e 'v'  >", TrimDeclarations, "  EntityDecl name=\"e\" value=\"'v'\"\n"},
        Case{"<!ATTLIST a b CDATA #IMPLIED><!ELEMENT a ANY><!NOTATION n SYSTEM 'n'><!FOO f x>", 0,
             "  AttlistDecl name=\"a\" value=\"b CDATA #IMPLIED\"\n"
             "  ElementDecl name=\"a\" value=\"ANY\"\n"
             "  NotationDecl name=\"n\" value=\"SYSTEM 'n'\"\n"
             "  EntityDecl name=\"f\" value=\"x\"\n"},
        Case{"<!ELEMENT>", 0, "  ElementDecl\n"},
        Case{"<!ENTITY e \"open", 0, "  EntityDecl name=\"e\" value=\"\\\"open\"\n"}));

INSTANTIATE_TEST_SUITE_P(
    Doctype, ParseCase,
    ::testing::Values(
        Case{"<!DOCTYPE r SYSTEM \"r.dtd\"><r/>", 0, "  Element name=\"r\"\n"},
        Case{"<!DOCTYPE r PUBLIC \"-//x\" 'r.dtd'><r/>", ParseDoctype,
             "  Doctype @\"r\"=\"r\" @\"PUBLIC\"=\"PUBLIC\" @\"\"=\"-//x\" @\"\"=\"r.dtd\"\n"
             "  Element name=\"r\"\n"},
        Case{"<!DOCTYPE r [ <!ENTITY e 'v'> ]><r/>", ParseDoctype,
             "  Doctype @\"r\"=\"r\" value=\" <!ENTITY e 'v'> \"\n  Element name=\"r\"\n"},
        Case{"<!DOCTYPE r [ <!ENTITY e 'v'> ]><r/>", ParseDoctype | TrimDoctype,
             "  Doctype @\"r\"=\"r\" value=\"<!ENTITY e 'v'>\"\n  Element name=\"r\"\n"},
        Case{"<!DOCTYPE r [<!ENTITY e 'v'><!ELEMENT r ANY>]><r/>", ParseDoctype | ParseDtd,
             "  Doctype @\"r\"=\"r\" value=\"<!ENTITY\"\n    EntityDecl name=\"e\" value=\"'v'\"\n"
             "    ElementDecl name=\"r\" value=\"ANY\"\n  Element name=\"r\"\n"},
        // A stray end tag in the subset climbs out of the DOCTYPE: what follows
        // it lands beside the DOCTYPE.
        Case{"<!DOCTYPE r [<!ENTITY a 'x'></x><!ENTITY b 'y'>]><r/>", ParseDoctype | ParseDtd,
             "  Doctype @\"r\"=\"r\" value=\"<!ENTITY\"\n    EntityDecl name=\"a\" value=\"'x'\"\n"
             "  EntityDecl name=\"b\" value=\"'y'\"\n  Element name=\"r\"\n"},
        // The subset's parse keeps DtdOnly: a DOCTYPE inside it ends that parse.
        Case{"<!DOCTYPE r [<!DOCTYPE s [<!ENTITY e 'v'>]><!ENTITY f 'w'>]><r/>",
             ParseDoctype | ParseDtd | DtdOnly,
             "  Doctype @\"r\"=\"r\" value=\"<!DOCTYPE s\"\n    Doctype @\"s\"=\"s\" "
             "value=\"<!ENTITY\"\n"
             "      EntityDecl name=\"e\" value=\"'v'\"\n"},
        Case{"<!DOCTYPE r [<!ENTITY e 'v'>]><r/>", ParseDoctype | DtdOnly,
             "  Doctype @\"r\"=\"r\" value=\"<!ENTITY e 'v'>\"\n"},
        // Brackets nest inside the subset.
        Case{"<!DOCTYPE r [ [x] ]><r/>", ParseDoctype,
             "  Doctype @\"r\"=\"r\" value=\" [x] \"\n  Element name=\"r\"\n"},
        Case{"<!DOCTYPE r [ open", ParseDoctype, "  Doctype @\"r\"=\"r\" value=\" open\"\n"},
        Case{"<!DOCTYPX r><a/>", 0, "  Element name=\"a\"\n"}));

TEST(Parse, StopsAtTheEndOrAfterTheSubset) {
  std::u16string text = u"<!DOCTYPE r [x]><r/>";
  XmlNode* root = create_node(XmlNodeType::Document);
  root->parent = root;
  const char16_t* stop = parse(text.data(), root, 4, ParseDoctype | DtdOnly);
  EXPECT_EQ(stop - text.data(), 15);  // just after the ']'
  destroy_tree(root);

  EXPECT_EQ(parse(nullptr, root, 4, 0), nullptr);
}

TEST(Parse, NestedDoctypesDoNotExhaustTheStack) {
  std::string xml;
  for (int i = 0; i < 20000; ++i) xml += "<!DOCTYPE r [";
  for (int i = 0; i < 20000; ++i) xml += "]>";
  const std::string dump = Dump(xml, ParseDoctype | ParseDtd);
  EXPECT_EQ(dump.rfind("  Doctype", 0), 0u);
}

TEST(Parse, DeepNestingNeedsNoStack) {
  std::string xml;
  for (int i = 0; i < 100000; ++i) xml += "<a>";
  std::u16string text = Utf8ToUtf16(xml);
  XmlNode* root = create_node(XmlNodeType::Document);
  root->parent = root;
  parse(text.data(), root, 4, 0);
  size_t depth = 0;
  for (XmlNode* n = root; n->child_count > 0; n = n->children[0]) ++depth;
  EXPECT_EQ(depth, 100000u);
  destroy_tree(root);
}

TEST(Trim, TrimAndNormalizeInPlace) {
  struct {
    const char16_t* in;
    const char16_t* trimmed;
    const char16_t* normalized;
  } cases[] = {
      {u"  a b  ", u"a b", u"a b"},
      {u"\t\r\n", u"", u""},
      {u"", u"", u""},
      {u"a \n\t b\x01 c", u"a \n\t b\x01 c", u"a b c"},
      {u"x", u"x", u"x"},
  };
  for (const auto& c : cases) {
    std::u16string a = c.in;
    char16_t* p = a.data();
    EXPECT_EQ(trim_value(p), 1);
    EXPECT_EQ(std::u16string(p), c.trimmed);
    std::u16string b = c.in;
    char16_t* q = b.data();
    EXPECT_EQ(normalize_value(q), 1);
    EXPECT_EQ(std::u16string(q), c.normalized);
  }
  char16_t* none = nullptr;
  EXPECT_EQ(trim_value(none), 0);
  EXPECT_EQ(normalize_value(none), 0);
}

TEST(AppendText, GrowsAndStartsEmpty) {
  char16_t* buffer = nullptr;
  ASSERT_EQ(append_text(buffer, u"ab"), 1);
  ASSERT_EQ(append_text(buffer, u""), 1);
  ASSERT_EQ(append_text(buffer, u"가"), 1);
  EXPECT_EQ(std::u16string(buffer), u"ab가");
  std::free(buffer);
}

TEST(NameChar, LettersOfAnyScriptDigitsAndFourMarks) {
  // Bengali, Thai, Ethiopic, Khmer, a Devanagari vowel sign and an
  // Arabic-Indic digit as well as the common scripts.
  for (char16_t c : std::u16string(u"aZ09_:-.éÀ가힣漢ДωあカㄱＡকกሀកि٣")) {
    EXPECT_TRUE(is_name_char(c)) << static_cast<int>(c);
  }
  for (char16_t c : std::u16string(u" <>/=\"'!?[]&;%#\t\x00d7\x00f7\x3000")) {
    EXPECT_FALSE(is_name_char(c)) << static_cast<int>(c);
  }
  EXPECT_FALSE(is_name_char(0));
  EXPECT_FALSE(is_name_char(0xD800));
}

// ---- files ------------------------------------------------------------------

class ParseFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SetDeviceRoot(root_.path())); }
  void Write(const std::string& bytes) {
    std::ofstream(root_.Host(u"\\doc.xml"), std::ios::binary) << bytes;
  }
  TempRoot root_;
};

TEST_F(ParseFile, EmptyFileFailsWithNoRoot) {
  Write("");
  XmlDocument doc;
  EXPECT_EQ(doc.parse_file(u"\\doc.xml"), 0);
  EXPECT_EQ(doc.root, nullptr);
}

TEST_F(ParseFile, MissingOrRefusedPathFails) {
  XmlDocument doc;
  EXPECT_EQ(doc.parse_file(u"\\missing.xml"), 0);
  EXPECT_EQ(doc.parse_file(u"\\..\\doc.xml"), 0);
  EXPECT_EQ(doc.parse_file(nullptr), 0);
}

TEST_F(ParseFile, DeclarationOnlyGivesAnEmptyRoot) {
  Write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n  \n");
  XmlDocument doc;
  ASSERT_EQ(doc.parse_file(u"\\doc.xml"), 1);
  ASSERT_NE(doc.root, nullptr);
  EXPECT_EQ(doc.root->parent, doc.root);
  EXPECT_EQ(doc.root->child_count, 0u);
}

TEST_F(ParseFile, NewCallClearsTheOldTreeEvenWhenItFails) {
  Write("<a/>");
  XmlDocument doc;
  ASSERT_EQ(doc.parse_file(u"\\doc.xml"), 1);
  EXPECT_EQ(doc.parse_file(u"\\missing.xml"), 0);
  EXPECT_EQ(doc.root, nullptr);
  EXPECT_EQ(doc.text, nullptr);
}

TEST_F(ParseFile, OptionsAreStoredOrKept) {
  Write("<!-- c --><a/>");
  XmlDocument doc;
  ASSERT_EQ(doc.parse_file(u"\\doc.xml", ParseComments), 1);
  EXPECT_EQ(doc.root->child_count, 2u);
  ASSERT_EQ(doc.parse_file(u"\\doc.xml", KeepOptions), 1);
  EXPECT_EQ(doc.options, ParseComments);
  EXPECT_EQ(doc.root->child_count, 2u);
  ASSERT_EQ(doc.parse_file(u"\\doc.xml", 0), 1);
  EXPECT_EQ(doc.root->child_count, 1u);
}

TEST_F(ParseFile, CharactersAcrossReadBoundariesDecodeWhole) {
  // 4095-byte reads: with a one-byte lead the three-byte Hangul syllables
  // straddle every boundary at some offset.
  std::string body;
  std::u16string expected;
  for (int i = 0; i < 5000; ++i) {
    body += "가";
    expected += u'가';
  }
  for (int lead = 0; lead < 3; ++lead) {
    Write("<a>" + std::string(lead, 'x') + body + "</a>");
    XmlDocument doc;
    ASSERT_EQ(doc.parse_file(u"\\doc.xml"), 1);
    const XmlNodeRef text = XmlNodeRef(doc.root).child(0).child(0);
    EXPECT_EQ(std::u16string(text.value_or_empty()), std::u16string(lead, u'x') + expected);
  }
}

TEST_F(ParseFile, InvalidUtf8AndNulBytes) {
  Write(std::string("<a>x\xFFy</a><b>c\0d</b><c/>", 25));
  XmlDocument doc;
  ASSERT_EQ(doc.parse_file(u"\\doc.xml"), 1);
  EXPECT_EQ(std::u16string(XmlNodeRef(doc.root).child(0).child(0).value_or_empty()), u"x\xFFFDy");
  // The first NUL ends the text: b keeps "c", c never appears.
  EXPECT_EQ(doc.root->child_count, 2u);
  EXPECT_EQ(std::u16string(XmlNodeRef(doc.root).child(1).child(0).value_or_empty()), u"c");
}

TEST_F(ParseFile, ByteOrderMarkIsSkipped) {
  Write("\xEF\xBB\xBF<a>t</a>");
  XmlDocument doc;
  ASSERT_EQ(doc.parse_file(u"\\doc.xml"), 1);
  EXPECT_EQ(dump_tree(doc.root), "Document\n  Element name=\"a\"\n    Text value=\"t\"\n");
}

// A tree its document does not own outlives the document, strings and all,
// whether the flag was cleared before or after the parse; destroy_tree then
// releases it (the sanitizer builds check both halves).
TEST_F(ParseFile, ATreeNotOwnedOutlivesItsDocument) {
  Write("<a><b>x</b></a>");
  for (bool clearAfterParse : {false, true}) {
    XmlNode* kept = nullptr;
    {
      XmlDocument doc(4, !clearAfterParse);
      ASSERT_EQ(doc.parse_file(u"\\doc.xml"), 1);
      doc.owns_tree = false;
      kept = doc.root;
    }
    EXPECT_EQ(dump_tree(kept),
              "Document\n  Element name=\"a\"\n    Element name=\"b\"\n"
              "      Text value=\"x\"\n");
    destroy_tree(kept);
  }
}

TEST_F(ParseFile, DecodesLikeOneStringWhateverTheReadSize) {
  // Byte soup of ASCII, Hangul, four-byte characters, cut and malformed
  // sequences, read in chunks small enough to split everything somewhere.
  const std::string pieces[] = {"a",        "<b>",      "\xEA\xB0\x80", "\xF0\x9F\x98\x80",
                                "\xC3\xA9", "\xFF",     "\xE0\x80",     "\xED\xA0\x80",
                                "\xEA\xB0", "\x80\x80", "\xF4\x90",     "\xC0\xAF"};
  uint32_t seed = 12345;
  for (int round = 0; round < 40; ++round) {
    std::string bytes;
    const int count = 1 + round * 7;
    for (int i = 0; i < count; ++i) {
      seed = seed * 1103515245u + 12345u;
      bytes += pieces[(seed >> 16) % (sizeof pieces / sizeof pieces[0])];
    }
    Write(bytes);
    const std::u16string expected = Utf8ToUtf16(bytes);
    for (size_t chunk : {2u, 3u, 4u, 5u, 7u, 16u, 17u, 4096u}) {
      char16_t* text = nullptr;
      size_t size = 0;
      ASSERT_EQ(read_file_text(u"\\doc.xml", &text, &size, chunk), 1);
      EXPECT_EQ(size, bytes.size() * 2);
      EXPECT_EQ(std::u16string(text), expected) << "round " << round << " chunk " << chunk;
      std::free(text);
    }
  }
}

// parse_file's text is scanned in aligned blocks up to its terminator: every
// scan that runs into the end of the text, at every length around a block,
// must stop there (under ASan, a block read past the buffer fails here).
TEST_F(ParseFile, ScansThatReachTheEndStopAtItWhateverTheLength) {
  const struct {
    const char* start;
    XmlParseOptions options;
    const char* tail;  // what the dump ends with, followed by the text
  } cases[] = {
      {"<a>", 0, "Text value=\""},
      {"<a b=\"", 0, "@\"b\"=\""},
      {"<!--", ParseComments, "Comment value=\""},
      {"<![CDATA[", ParseCData, "CData value=\""},
  };
  for (const auto& c : cases) {
    for (size_t n = 1; n < 40; ++n) {
      const std::string text(n, 'x');
      Write(c.start + text);
      XmlDocument doc;
      ASSERT_EQ(doc.parse_file(u"\\doc.xml", c.options), 1);
      EXPECT_TRUE(dump_tree(doc.root).ends_with(c.tail + text + "\"\n"))
          << c.start << " and " << n << " x: " << dump_tree(doc.root);
    }
  }
}

TEST_F(ParseFile, RecordsAddedToAParsedTreeAreReleasedWithIt) {
  Write("<a><b/></a>");
  XmlDocument doc;
  ASSERT_EQ(doc.parse_file(u"\\doc.xml"), 1);
  // A heap string put on a parsed record with nothing appended is released
  // too.
  XmlNode* a0 = doc.root->children[0];
  a0->value = static_cast<char16_t*>(std::calloc(4, sizeof(char16_t)));
  a0->value_in_place = false;
  XmlNode* b = a0->children[0];
  // Heap records and a heap string under pooled ones: LeakSanitizer checks
  // that clear() finds them.
  for (int i = 0; i < 10; ++i) ASSERT_NE(append_child(b, 4, XmlNodeType::Element), nullptr);
  XmlAttribute* a = append_attribute(b->children[3], 4);
  ASSERT_NE(a, nullptr);
  a->value = static_cast<char16_t*>(std::calloc(2, sizeof(char16_t)));
  a->value_in_place = false;
  EXPECT_EQ(b->child_count, 10u);
  doc.clear();
  EXPECT_EQ(doc.root, nullptr);
}

// Every seed and every input the fuzzer ever crashed on, parsed under the
// fuzzer's option sets: the sanitizer builds catch a regression here without
// a fuzzing run.
TEST(FuzzInputs, ParseWalkAndDumpCleanly) {
  const char* source = std::getenv("QUOBBLE_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const XmlParseOptions sets[] = {
      0, ParsePi | ParseDoctype | ParseComments | ParseCData,
      kAllTrims | NormalizeSpace | ParsePi | ParseDoctype | ParseComments | ParseCData,
      ParseDoctype | ParseDtd, ParseDoctype | DtdOnly};
  int files = 0;
  for (const char* folder : {"/fuzz/corpus/xml", "/fuzz/regressions/xml"}) {
    const std::filesystem::path dir = std::string(source) + folder;
    if (!std::filesystem::is_directory(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      ++files;
      for (XmlParseOptions options : sets) {
        std::u16string text = Utf8ToUtf16(bytes);
        XmlNode* root = create_node(XmlNodeType::Document);
        root->parent = root;
        parse(text.data(), root, 4, options);
        (void)XmlNodeRef(root).find_by_path(u"/rss/channel/", u"/");
        (void)XmlNodeRef(root).find_by_path(u"/*/../[!a]*/?", u"/");
        (void)dump_tree(root);
        destroy_tree(root);
      }
    }
  }
  EXPECT_GT(files, 0);
}

TEST(ReadFileText, RefusesMissingArguments) {
  char16_t* text = nullptr;
  size_t size = 0;
  EXPECT_EQ(read_file_text(nullptr, &text, &size, 4096), 0);
  EXPECT_EQ(read_file_text(u"\\x", nullptr, &size, 4096), 0);
  EXPECT_EQ(read_file_text(u"\\x", &text, nullptr, 4096), 0);
}

}  // namespace
}  // namespace quobble
