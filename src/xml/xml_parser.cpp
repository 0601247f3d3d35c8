#include "xml/xml_document.h"

#include <sys/stat.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "xml/xml_pool.h"

namespace quobble {

// ---- character classes ----------------------------------------------------

namespace {

struct Range {
  char16_t first;
  char16_t last;
};

// Letters and digits of the scripts a catalogue answer may carry, plus the
// four punctuation characters names allow. Surrogates are never name
// characters: a lone half of a pair is not a letter.
constexpr Range kNameRanges[] = {
    {u'-', u'.'},     {u'0', u':'},     {u'A', u'Z'},     {u'_', u'_'},     {u'a', u'z'},
    {0x00AA, 0x00AA}, {0x00B5, 0x00B5}, {0x00BA, 0x00BA}, {0x00C0, 0x00D6}, {0x00D8, 0x00F6},
    {0x00F8, 0x02C1}, {0x02C6, 0x02D1}, {0x02E0, 0x02E4}, {0x0370, 0x0374}, {0x0376, 0x037D},
    {0x037F, 0x037F}, {0x0386, 0x0386}, {0x0388, 0x03FF}, {0x0400, 0x0481}, {0x048A, 0x052F},
    {0x0531, 0x0556}, {0x0561, 0x0587}, {0x05D0, 0x05EA}, {0x0620, 0x064A}, {0x0660, 0x0669},
    {0x066E, 0x06D3}, {0x06F0, 0x06FC}, {0x0904, 0x0939}, {0x0966, 0x096F}, {0x0E01, 0x0E30},
    {0x0E50, 0x0E59}, {0x10A0, 0x10FF}, {0x1100, 0x11FF}, {0x1E00, 0x1FBC}, {0x1FC2, 0x1FCC},
    {0x1FD0, 0x1FDB}, {0x1FE0, 0x1FEC}, {0x1FF2, 0x1FFC}, {0x2C00, 0x2CE4}, {0x3005, 0x3006},
    {0x3041, 0x3096}, {0x309D, 0x309F}, {0x30A1, 0x30FA}, {0x30FC, 0x30FF}, {0x3105, 0x312F},
    {0x3131, 0x318E}, {0x31A0, 0x31BF}, {0x31F0, 0x31FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF},
    {0xA000, 0xA48C}, {0xAC00, 0xD7A3}, {0xD7B0, 0xD7C6}, {0xD7CB, 0xD7FB}, {0xF900, 0xFA6D},
    {0xFA70, 0xFAD9}, {0xFF10, 0xFF19}, {0xFF21, 0xFF3A}, {0xFF41, 0xFF5A}, {0xFF66, 0xFFBE},
    {0xFFC2, 0xFFC7}, {0xFFCA, 0xFFCF}, {0xFFD2, 0xFFD7}, {0xFFDA, 0xFFDC},
};

using NameTable = std::array<uint64_t, 65536 / 64>;

constexpr NameTable BuildNameTable() {
  NameTable table{};
  for (const Range& r : kNameRanges) {
    for (uint32_t c = r.first; c <= r.last; ++c) table[c >> 6] |= uint64_t{1} << (c & 63);
  }
  return table;
}

constexpr NameTable kNameTable = BuildNameTable();

// ASCII names (nearly all of an answer) test against two constant words
// instead of the table.
inline bool NameChar(char16_t c) {
  if (c < 64) return (kNameTable[0] >> c) & 1;
  if (c < 128) return (kNameTable[1] >> (c - 64)) & 1;
  return (kNameTable[c >> 6] >> (c & 63)) & 1;
}

// Whitespace is every control character and the space; NUL is the end.
inline bool Space(char16_t c) {
  return c != 0 && c <= 32;
}

inline char16_t* SkipSpace(char16_t* p) {
  while (Space(*p)) ++p;
  return p;
}

inline char16_t* SkipName(char16_t* p) {
  while (NameChar(*p)) ++p;
  return p;
}

// The first `c` at or after p, or the terminating NUL.
inline char16_t* Find(char16_t* p, char16_t c) {
  for (;;) {
    if (p[0] == c || p[0] == 0) return p;
    if (p[1] == c || p[1] == 0) return p + 1;
    if (p[2] == c || p[2] == 0) return p + 2;
    if (p[3] == c || p[3] == 0) return p + 3;
    p += 4;
  }
}

// The first occurrence of a three-character terminator ("-->", "]]>"), or the
// terminating NUL.
inline char16_t* Find3(char16_t* p, char16_t a, char16_t b, char16_t c) {
  for (;;) {
    p = Find(p, a);
    if (*p == 0) return p;
    if (p[1] == b && p[2] == c) return p;
    ++p;
  }
}

// Whether the text at p starts with `word`; `mismatch` is where it differed.
inline bool Follows(char16_t* p, const char16_t* word, char16_t*& mismatch) {
  while (*word != 0) {
    if (*p != *word) {
      mismatch = p;
      return false;
    }
    ++p;
    ++word;
  }
  mismatch = p;
  return true;
}

bool Equal(const char16_t* a, const char16_t* b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

}  // namespace

bool is_name_char(char16_t c) {
  return NameChar(c);
}

// ---- trims ----------------------------------------------------------------

int trim_value(char16_t*& value) {
  if (value == nullptr) return 0;
  char16_t* p = SkipSpace(value);
  value = p;
  char16_t* lastKept = nullptr;
  for (; *p != 0; ++p) {
    if (!Space(*p)) lastKept = p;
  }
  if (lastKept == nullptr) {
    *value = 0;
  } else if (lastKept[1] != 0) {
    lastKept[1] = 0;
  }
  return 1;
}

int normalize_value(char16_t*& value) {
  if (value == nullptr) return 0;
  const size_t length = std::char_traits<char16_t>::length(value);
  auto* scratch = static_cast<char16_t*>(std::malloc((length + 1) * sizeof(char16_t)));
  if (scratch == nullptr) return 0;
  size_t out = 0;
  bool pendingSpace = false;
  for (const char16_t* p = value; *p != 0; ++p) {
    if (Space(*p)) {
      pendingSpace = out > 0;
      continue;
    }
    if (pendingSpace) scratch[out++] = u' ';
    pendingSpace = false;
    scratch[out++] = *p;
  }
  scratch[out] = 0;
  if (out < length) std::memcpy(value, scratch, (out + 1) * sizeof(char16_t));
  std::free(scratch);
  return 1;
}

int append_text(char16_t*& buffer, const char16_t* text) {
  const size_t have = buffer == nullptr ? 0 : std::char_traits<char16_t>::length(buffer);
  const size_t add = text == nullptr ? 0 : std::char_traits<char16_t>::length(text);
  auto* grown = static_cast<char16_t*>(std::realloc(buffer, (have + add + 1) * sizeof(char16_t)));
  if (grown == nullptr) return 0;
  if (add > 0) std::memcpy(grown + have, text, add * sizeof(char16_t));
  grown[have + add] = 0;
  buffer = grown;
  return 1;
}

// ---- the parser -----------------------------------------------------------

namespace {

// Nested DOCTYPEs inside an internal subset would recurse once each; past
// this depth their subsets are kept as text instead of parsed again.
constexpr int kMaxDtdDepth = 8;

enum class State { Seek, Markup, Tag, Attributes, AfterTag, Content };

class Parser {
 public:
  Parser(XmlPool* pool, XmlNode* top, int32_t step, XmlParseOptions options, int depth)
      : pool_(pool), top_(top), cursor_(top), step_(step), options_(options), depth_(depth) {}

  char16_t* Run(char16_t* p);

 private:
  bool Has(XmlParseOptions o) const { return (options_ & o) != 0; }

  // The cursor never climbs above the node this parse started at: an end tag
  // too many inside an internal subset stays inside the DOCTYPE.
  void Close() {
    if (cursor_ != top_ && cursor_->parent != nullptr) cursor_ = cursor_->parent;
  }

  XmlNode* Append(XmlNodeType type) { return append_child_in(pool_, cursor_, step_, type); }

  void Trim(char16_t*& value) {
    if (Has(NormalizeSpace)) {
      normalize_value(value);
    } else {
      trim_value(value);
    }
  }

  // Each handler starts at the character after "<" and returns the next
  // state, with p moved; Stop means the text ended (or memory ran out).
  bool Markup(char16_t*& p, State& next);
  bool ProcessingInstruction(char16_t*& p, State& next);
  bool Comment(char16_t*& p, State& next);
  bool Section(char16_t*& p, State& next);
  bool Doctype(char16_t*& p, State& next);
  bool Declaration(char16_t*& p, State& next);
  bool Tag(char16_t*& p, State& next);
  bool Attribute(char16_t*& p, State& next);
  bool Content(char16_t*& p, State& next);
  bool EndTag(char16_t*& p, State& next);

  XmlPool* pool_;
  XmlNode* top_;
  XmlNode* cursor_;
  int32_t step_;
  XmlParseOptions options_;
  int depth_;
  bool dtdStopped_ = false;
};

char16_t* Parser::Run(char16_t* p) {
  State state = State::Seek;
  for (;;) {
    bool go = true;
    switch (state) {
      case State::Seek:
        p = Find(p, u'<');
        if (*p == 0) return p;
        ++p;
        state = State::Markup;
        break;
      case State::Markup:
        go = Markup(p, state);
        break;
      case State::Tag:
        go = Tag(p, state);
        break;
      case State::Attributes:
        if (NameChar(*p)) {
          go = Attribute(p, state);
        } else {
          state = State::AfterTag;
        }
        break;
      case State::AfterTag:
        if (*p == u'>') {
          ++p;
          state = State::Content;
        } else if (*p == u'/') {
          ++p;
          if (*p == u'>') {
            ++p;
            Close();
          }
          state = State::Seek;
        } else {
          state = State::Seek;
        }
        break;
      case State::Content:
        go = Content(p, state);
        break;
    }
    if (!go || dtdStopped_) return p;
  }
}

bool Parser::Markup(char16_t*& p, State& next) {
  const char16_t c = *p;
  if (c == u'?') return ProcessingInstruction(p, next);
  if (c == u'!') {
    const char16_t d = p[1];
    if (d == u'-') return Comment(p, next);
    if (d == u'[') return Section(p, next);
    if (d == u'D') return Doctype(p, next);
    if (NameChar(d)) return Declaration(p, next);
    ++p;
    next = State::Seek;
    return d != 0;
  }
  if (NameChar(c)) {
    XmlNode* element = Append(XmlNodeType::Element);
    if (element == nullptr) return false;
    cursor_ = element;
    next = State::Tag;
    return true;
  }
  if (c == u'/') return EndTag(p, next);
  next = State::Seek;
  return c != 0;
}

// At the '/' of an end tag: its name is not compared with anything.
bool Parser::EndTag(char16_t*& p, State& next) {
  p = Find(p, u'>');
  if (*p == 0) return false;
  Close();
  next = State::Seek;
  return true;
}

bool Parser::ProcessingInstruction(char16_t*& p, State& next) {
  char16_t* target = p + 1;
  if (NameChar(*target) && Has(ParsePi)) {
    // The closing '?' becomes '/' so that the instruction reads as an empty
    // element whose pseudo-attributes are attributes.
    char16_t* question = Find(target, u'?');
    if (*question == u'?') *question = u'/';
    XmlNode* pi = Append(XmlNodeType::ProcessingInstruction);
    if (pi == nullptr) return false;
    cursor_ = pi;
    p = target;
    next = State::Tag;
    return true;
  }
  p = Find(p, u'>');
  next = State::Seek;
  return *p != 0;
}

bool Parser::Comment(char16_t*& p, State& next) {
  // p is at "!-".
  if (Has(ParseComments) && p[2] == u'-') {
    XmlNode* comment = Append(XmlNodeType::Comment);
    if (comment == nullptr) return false;
    comment->value = p + 3;
    char16_t* end = Find3(p + 3, u'-', u'-', u'>');
    if (*end == 0) {
      p = end;
      return false;
    }
    *end = 0;
    if (Has(TrimComments)) Trim(comment->value);
    p = end + 2;
    next = State::AfterTag;
    return true;
  }
  p = Find3(p + 2, u'-', u'-', u'>');
  if (*p == 0) return false;
  p += 2;
  next = State::AfterTag;
  return true;
}

bool Parser::Section(char16_t*& p, State& next) {
  // p is at "![".
  char16_t* mismatch = nullptr;
  XmlNodeType type = XmlNodeType::CData;
  bool keep = false;
  if (Follows(p + 2, u"CDATA[", mismatch)) {
    keep = Has(ParseCData);
  } else if (mismatch == p + 2 && Follows(p + 2, u"INCLUDE[", mismatch)) {
    type = XmlNodeType::Include;
    keep = Has(ParseDoctype);
  } else {
    p = mismatch;
    next = State::Seek;
    return *p != 0;
  }
  char16_t* body = mismatch;
  char16_t* end = Find3(body, u']', u']', u'>');
  const bool closed = *end != 0;
  if (keep) {
    XmlNode* section = Append(type);
    if (section == nullptr) return false;
    section->value = body;
    if (closed) {
      *end = 0;
      if (Has(TrimCData)) Trim(section->value);
    }
  }
  if (!closed) {
    p = end;
    return false;
  }
  p = end + 2;
  next = State::AfterTag;
  return true;
}

bool Parser::Doctype(char16_t*& p, State& next) {
  // p is at "!D".
  char16_t* mismatch = nullptr;
  if (!Follows(p + 2, u"OCTYPE", mismatch)) {
    p = mismatch;
    next = State::Seek;
    return *p != 0;
  }
  const bool keep = Has(ParseDoctype);
  XmlNode* const before = cursor_;
  XmlNode* doctype = nullptr;
  p = SkipSpace(mismatch);
  if (keep) {
    doctype = Append(XmlNodeType::Doctype);
    if (doctype == nullptr) return false;
    cursor_ = doctype;
    XmlAttribute* rootName = append_attribute_in(pool_, doctype, 1);
    if (rootName == nullptr) return false;
    rootName->name = p;
    rootName->value = p;
  }
  // Whatever happens below, the parse goes on where it stood.
  struct Restore {
    XmlNode*& cursor;
    XmlNode* saved;
    ~Restore() { cursor = saved; }
  } restore{cursor_, before};

  // The root element's name and its stop character.
  p = SkipName(p);
  char16_t stop = *p;
  if (stop == 0) return false;
  *p++ = 0;
  if (Space(stop)) p = SkipSpace(p);

  // External identifier: name tokens and quoted literals.
  while (NameChar(*p)) {
    char16_t* token = p;
    p = SkipName(p);
    stop = *p;
    if (keep) {
      XmlAttribute* a = append_attribute_in(pool_, doctype, 1);
      if (a == nullptr) return false;
      a->name = token;
      a->value = token;
      *p = 0;
    }
    if (stop == 0) return false;
    ++p;
    p = SkipSpace(p);
    bool literal = false;
    while (*p == u'"' || *p == u'\'') {
      literal = true;
      const char16_t quote = *p++;
      char16_t* text = p;
      p = Find(p, quote);
      if (keep) {
        XmlAttribute* a = append_attribute_in(pool_, doctype, 1);
        if (a == nullptr) return false;
        a->value = text;
      }
      if (*p == 0) return false;
      if (keep) *p = 0;
      ++p;
      p = SkipSpace(p);
    }
    if (!literal) break;
  }

  if (*p == u'[') {
    ++p;
    if (keep) doctype->value = p;
    int depth = 1;
    for (;; ++p) {
      if (*p == 0) return false;
      if (*p == u'[') ++depth;
      if (*p == u']' && --depth == 0) break;
    }
    if (keep) {
      *p = 0;
      if (Has(ParseDtd) && depth_ < kMaxDtdDepth) {
        // Only the subset's text, with a fresh top: its declarations become
        // the DOCTYPE's children.
        parse_in(pool_, doctype->value, doctype, step_, options_ & ~DtdOnly, depth_ + 1);
      }
      if (Has(DtdOnly)) {
        ++p;
        dtdStopped_ = true;
        return true;
      }
      if (!Has(ParseDtd) && Has(TrimDoctype)) Trim(doctype->value);
    }
    ++p;
    p = Find(p, u'>');
    if (*p == 0) return false;
  }
  next = State::Seek;
  return true;
}

bool Parser::Declaration(char16_t*& p, State& next) {
  // p is at '!' and a name character follows.
  char16_t* keyword = p + 1;
  p = SkipName(keyword);
  const char16_t stop = *p;
  *p = 0;
  XmlNodeType type = XmlNodeType::EntityDecl;
  if (Equal(keyword, u"ATTLIST")) {
    type = XmlNodeType::AttlistDecl;
  } else if (Equal(keyword, u"ELEMENT")) {
    type = XmlNodeType::ElementDecl;
  } else if (Equal(keyword, u"NOTATION")) {
    type = XmlNodeType::NotationDecl;
  }
  XmlNode* decl = Append(type);
  if (decl == nullptr || stop == 0) return false;
  ++p;
  next = State::Seek;
  if (!Space(stop)) return true;
  p = SkipSpace(p);

  char16_t* name = nullptr;
  if (*p == u'%') {
    if (Space(p[1])) {
      // "% name": the blank just before the name becomes the '%'.
      p = SkipSpace(p + 1);
      p[-1] = u'%';
      name = p - 1;
    } else {
      name = p;
      ++p;
    }
  } else if (NameChar(*p)) {
    name = p;
  } else {
    return *p != 0;
  }
  decl->name = name;
  p = SkipName(p);
  const char16_t nameStop = *p;
  if (nameStop == 0) return false;
  *p++ = 0;
  if (!Space(nameStop)) return true;
  p = SkipSpace(p);

  decl->value = p;
  if (type == XmlNodeType::EntityDecl) {
    // A '>' inside a quoted literal does not end an entity declaration.
    while (*p != 0 && *p != u'>') {
      if (*p == u'"' || *p == u'\'') {
        p = Find(p + 1, *p);
        if (*p == 0) break;
      }
      ++p;
    }
  } else {
    p = Find(p, u'>');
  }
  const bool ended = *p != 0;
  if (ended) *p++ = 0;
  if (Has(TrimDeclarations)) Trim(decl->value);
  return ended;
}

bool Parser::Tag(char16_t*& p, State& next) {
  cursor_->name = p;
  p = SkipName(p);
  const char16_t stop = *p;
  if (stop == 0) return false;
  *p++ = 0;
  if (stop == u'/') {
    p = Find(p, u'>');
    if (*p == 0) return false;
    Close();
    next = State::Seek;
  } else if (Space(stop)) {
    p = SkipSpace(p);
    next = State::Attributes;
  } else {
    next = State::Content;
  }
  return true;
}

bool Parser::Attribute(char16_t*& p, State& next) {
  XmlAttribute* attribute = append_attribute_in(pool_, cursor_, step_);
  if (attribute == nullptr) return false;
  attribute->name = p;
  p = SkipName(p);
  const char16_t stop = *p;
  if (stop == 0) return false;
  *p++ = 0;
  if (Space(stop)) p = SkipSpace(p);

  if (stop == u'=' || *p == u'=') {
    if (*p == u'=') ++p;
    p = SkipSpace(p);
    if (*p == u'"' || *p == u'\'') {
      const char16_t quote = *p++;
      attribute->value = p;
      p = Find(p, quote);
      if (*p == 0) return false;
      *p++ = 0;
      if (Has(TrimAttributes)) Trim(attribute->value);
      if (*p == u'>') {
        ++p;
        next = State::Content;
        return true;
      }
      if (*p == u'/') {
        Close();
        p = SkipSpace(p + 1);
        if (*p == u'>') ++p;
        next = State::Content;
        return true;
      }
      if (Space(*p)) {
        p = SkipSpace(p);
        next = State::Attributes;
        return true;
      }
    }
  }
  // No quoted value, or something other than the usual after it.
  if (NameChar(*p)) {
    next = State::Attributes;
    return true;
  }
  if (cursor_->type == XmlNodeType::ProcessingInstruction) {
    p = Find(p, u'/');
    if (*p == 0) return false;
    p = SkipSpace(p + 1);
    if (*p == u'>') ++p;
    Close();
    next = State::Content;
    return true;
  }
  next = State::AfterTag;
  return *p != 0;
}

bool Parser::Content(char16_t*& p, State& next) {
  char16_t* mark = p;
  p = SkipSpace(p);
  if (*p == 0) return false;
  if (*p == u'<') {
    ++p;
    if (*p == u'/') return EndTag(p, next);
    next = State::Markup;
    return true;
  }
  XmlNode* text = Append(XmlNodeType::Text);
  if (text == nullptr) return false;
  text->value = mark;
  p = Find(p, u'<');
  if (*p == 0) {
    if (Has(TrimText)) Trim(text->value);
    return false;
  }
  *p++ = 0;
  if (Has(TrimText)) Trim(text->value);
  if (*p == u'/') {
    p = Find(p, u'>');
    if (*p == 0) return false;
    Close();
    next = State::AfterTag;
    return true;
  }
  next = State::Markup;
  return true;
}

}  // namespace

char16_t* parse_in(XmlPool* pool, char16_t* text, XmlNode* cursor, int32_t growthStep,
                   XmlParseOptions options, int depth) {
  if (text == nullptr || cursor == nullptr || *text == 0) return text;
  Parser parser(pool, cursor, growthStep, options, depth);
  return parser.Run(text);
}

char16_t* parse(char16_t* text, XmlNode* cursor, int32_t growthStep, XmlParseOptions options) {
  return parse_in(nullptr, text, cursor, growthStep, options, 0);
}

// ---- files ----------------------------------------------------------------

namespace {

// The file's size, to size the text buffer once; 0 when it cannot be told.
size_t SizeHint(const char16_t* path) {
  const auto host = MapDevicePath(path);
  if (!host) return 0;
  struct stat st {};
  if (::stat(host->c_str(), &st) != 0 || st.st_size <= 0) return 0;
  return static_cast<size_t>(st.st_size);
}

}  // namespace

int read_file_text(const char16_t* path, char16_t** text, size_t* size, size_t chunkSize) {
  if (path == nullptr || text == nullptr || size == nullptr) return 0;
  *text = nullptr;
  *size = 0;
  if (chunkSize < 2) return 0;
  const std::u16string_view devicePath(path);
  DeviceFile file;
  if (!file.OpenForRead(devicePath)) return 0;
  auto* chunk = static_cast<unsigned char*>(std::calloc(chunkSize, 1));
  if (chunk == nullptr) return 0;

  XmlWideBuffer buffer;
  const size_t hint = SizeHint(path);
  if (hint > 0) {
    buffer.data = static_cast<char16_t*>(std::malloc((hint + 1) * sizeof(char16_t)));
    if (buffer.data != nullptr) buffer.capacity = hint + 1;
    advise_huge_pages(buffer.data, buffer.capacity * sizeof(char16_t));
  }
  XmlChunkDecoder decoder(buffer);
  size_t bytes = 0;
  bool complete = true;
  for (;;) {
    const int64_t n = file.Read(chunk, chunkSize - 1);
    if (n <= 0) break;
    if (!decoder.feed(chunk, static_cast<size_t>(n))) {
      complete = false;
      break;
    }
    bytes += static_cast<size_t>(n);
  }
  if (complete) decoder.finish();
  std::free(chunk);
  if (bytes == 0 || buffer.data == nullptr) {
    std::free(buffer.data);
    return 0;
  }
  buffer.data[buffer.length] = 0;
  // Text that shrank in decoding (Hangul: three bytes, one unit) gives the
  // spare space back.
  if (buffer.capacity > buffer.length + 1 + buffer.capacity / 8) {
    auto* fitted =
        static_cast<char16_t*>(std::realloc(buffer.data, (buffer.length + 1) * sizeof(char16_t)));
    if (fitted != nullptr) buffer.data = fitted;
  }
  *text = buffer.data;
  *size = bytes * 2;
  return 1;
}

int XmlDocument::parse_file(const char16_t* path, XmlParseOptions newOptions) {
  if (path == nullptr) return 0;
  clear();
  if (newOptions != KeepOptions) options = newOptions;
  size_t size = 0;
  if (read_file_text(path, &text, &size, 4096) == 0 || size == 0) {
    std::free(text);
    text = nullptr;
    return 0;
  }
  // A tree the document owns lives in a pool released with the text; one
  // handed to someone else is built from ordinary heap records.
  if (owns_tree) {
    // A shopping answer's tree takes about three bytes per byte of the file.
    pool_ = new (std::nothrow) XmlPool(size / 2 * 3);
    if (pool_ == nullptr) {
      clear();
      return 0;
    }
  }
  root = create_node_in(pool_, XmlNodeType::Document);
  if (root == nullptr) {
    clear();
    return 0;
  }
  root->parent = root;
  stop_position = parse_in(pool_, text, root, growth_step, options, 0);
  return 1;
}

}  // namespace quobble
