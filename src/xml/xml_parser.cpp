#include "xml/xml_document.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xml/xml_pool.h"

namespace quobble {

// ---- character classes ----------------------------------------------------

namespace {

struct Range {
  char16_t first;
  char16_t last;
};

// Every alphabetic character and decimal digit of any script (generated from
// the Unicode data when the build is configured), plus the four punctuation
// characters names allow. Surrogates are never name characters: a lone half
// of a pair is not a letter.
constexpr Range kNameRanges[] = {
    {u'-', u'.'},
    {u':', u':'},
    {u'_', u'_'},
#include "xml/name_ranges.inc"
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

inline bool NameAt(const char16_t* p) {
  return NameChar(*p);
}

// The first `c` at or after p, or the terminating NUL, one unit at a time:
// for text whose buffer may end right after its terminator.
inline char16_t* FindScalar(char16_t* p, char16_t c) {
  while (*p != c && *p != 0) ++p;
  return p;
}

#if defined(__SSE2__)
// FindScalar eight units at a time, for text that parse_file read: its
// buffer starts 16-byte aligned and has kXmlTextPadding units after the
// terminator, so the block that holds the terminator is inside the buffer.
// The first load is made from p itself: the parser has often just written a
// terminator right before p, and an aligned load over that store would wait
// for it.
inline char16_t* FindPadded(char16_t* p, char16_t c) {
  const __m128i wanted = _mm_set1_epi16(static_cast<short>(c));
  const __m128i zero = _mm_setzero_si128();
  const auto hits = [&](__m128i units) {
    return static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi16(units, wanted), _mm_cmpeq_epi16(units, zero))));
  };
  unsigned found = hits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  if (found != 0) return p + __builtin_ctz(found) / 2;
  auto* block = reinterpret_cast<const __m128i*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t{15});
  do {
    found = hits(_mm_load_si128(++block));
  } while (found == 0);
  return reinterpret_cast<char16_t*>(const_cast<__m128i*>(block)) + __builtin_ctz(found) / 2;
}

#else
inline char16_t* FindPadded(char16_t* p, char16_t c) {
  return FindScalar(p, c);
}
#endif

// Whether the text at p starts with the ASCII `word`; `mismatch` is where it
// differed.
inline bool Follows(char16_t* p, const char* word, char16_t*& mismatch) {
  while (*word != 0) {
    if (*p != static_cast<unsigned char>(*word)) {
      mismatch = p;
      return false;
    }
    ++p;
    ++word;
  }
  mismatch = p;
  return true;
}

bool Equal(const char16_t* a, const char* b) {
  while (*a != 0 && *a == static_cast<unsigned char>(*b)) {
    ++a;
    ++b;
  }
  return *a == static_cast<unsigned char>(*b);
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
  Parser(XmlPool* pool, XmlNode* cursor, int32_t step, XmlParseOptions options, int depth,
         bool padded)
      : pool_(pool),
        cursor_(cursor),
        step_(step),
        options_(options),
        depth_(depth),
        padded_(padded) {}

  char16_t* Run(char16_t* p);

 private:
  bool Has(XmlParseOptions o) const { return (options_ & o) != 0; }

  // An end tag climbs whatever it closes, also out of a DOCTYPE whose subset
  // is being parsed: declarations after a stray end tag then land beside the
  // DOCTYPE. The root is its own parent, so nothing climbs above it.
  void Close() {
    if (cursor_->parent != nullptr) cursor_ = cursor_->parent;
  }

  XmlNode* Append(XmlNodeType type) {
    return pool_ != nullptr ? append_pooled_child(pool_, cursor_, step_, type)
                            : append_child_in(nullptr, cursor_, step_, type);
  }

  void Trim(char16_t*& value) {
    if (Has(NormalizeSpace)) {
      normalize_value(value);
    } else {
      trim_value(value);
    }
  }

  // A name or value ends where its terminator is written; it stays where it
  // stood in the text.
  static char16_t* Emit(char16_t* start, char16_t* end) {
    *end = 0;
    return start;
  }

  // The first `c` at or after p, or the terminating NUL.
  char16_t* Find(char16_t* p, char16_t c) const {
    return padded_ ? FindPadded(p, c) : FindScalar(p, c);
  }
  // The first three-character terminator ("-->", "]]>"), or the
  // terminating NUL.
  char16_t* Find3(char16_t* p, char16_t a, char16_t b, char16_t c) const {
    for (;;) {
      p = Find(p, a);
      if (*p == 0 || (p[1] == b && p[2] == c)) return p;
      ++p;
    }
  }

  // Each handler starts at the character after "<" and returns the next
  // state, with p moved; false means the text ended (or memory ran out).
  bool Markup(char16_t*& p, State& next);
  bool ProcessingInstruction(char16_t*& p, State& next);
  bool Comment(char16_t*& p, State& next);
  bool Section(char16_t*& p, State& next);
  bool Doctype(char16_t*& p, State& next);
  bool DoctypeIdentifier(char16_t*& p, XmlNode* doctype);
  bool DoctypeSubset(char16_t*& p, XmlNode* doctype);
  bool Declaration(char16_t*& p, State& next);
  bool DeclarationValue(char16_t*& p, XmlNode* decl);
  bool Tag(char16_t*& p, State& next);
  bool Attribute(char16_t*& p, State& next);
  bool Content(char16_t*& p, State& next);
  bool EndTag(char16_t*& p, State& next);

  XmlPool* pool_;
  XmlNode* cursor_;
  int32_t step_;
  XmlParseOptions options_;
  int depth_;
  bool padded_;
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
        if (NameAt(p)) {
          go = Attribute(p, state);
        } else {
          state = State::AfterTag;
        }
        break;
      case State::AfterTag:
        if (*p == '>') {
          ++p;
          state = State::Content;
        } else if (*p == '/') {
          ++p;
          if (*p == '>') {
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
  if (c == '?') return ProcessingInstruction(p, next);
  if (c == '!') {
    const char16_t d = p[1];
    if (d == '-') return Comment(p, next);
    if (d == '[') return Section(p, next);
    if (d == 'D') return Doctype(p, next);
    if (NameAt(p + 1)) return Declaration(p, next);
    ++p;
    next = State::Seek;
    return d != 0;
  }
  if (NameAt(p)) {
    XmlNode* element = Append(XmlNodeType::Element);
    if (element == nullptr) return false;
    cursor_ = element;
    next = State::Tag;
    return true;
  }
  if (c == '/') return EndTag(p, next);
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
  if (NameAt(target) && Has(ParsePi)) {
    // The closing '?' becomes '/' so that the instruction reads as an empty
    // element whose pseudo-attributes are attributes.
    char16_t* question = Find(target, u'?');
    if (*question == '?') *question = '/';
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
  if (Has(ParseComments) && p[2] == '-') {
    XmlNode* comment = Append(XmlNodeType::Comment);
    if (comment == nullptr) return false;
    char16_t* end = Find3(p + 3, u'-', u'-', u'>');
    const bool closed = *end != 0;
    comment->value = Emit(p + 3, end);
    if (!closed) {
      p = end;
      return false;
    }
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
  if (Follows(p + 2, "CDATA[", mismatch)) {
    keep = Has(ParseCData);
  } else if (mismatch == p + 2 && Follows(p + 2, "INCLUDE[", mismatch)) {
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
    section->value = Emit(body, end);
    if (closed && Has(TrimCData)) Trim(section->value);
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
  if (!Follows(p + 2, "OCTYPE", mismatch)) {
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
  }
  // Whatever happens below, the parse goes on where it stood.
  struct Restore {
    XmlNode*& cursor;
    XmlNode* saved;
    ~Restore() { cursor = saved; }
  } restore{cursor_, before};

  // The root element's name (as name and value of the first attribute) and
  // its stop character.
  char16_t* const rootName = p;
  p = SkipName(p);
  const char16_t stop = *p;
  if (keep) {
    XmlAttribute* a = append_attribute_in(pool_, doctype, 1);
    if (a == nullptr) return false;
    a->name = a->value = Emit(rootName, p);
  }
  if (stop == 0) return false;
  p = p + 1;
  if (Space(stop)) p = SkipSpace(p);

  if (!DoctypeIdentifier(p, doctype)) return false;
  if (*p == '[') {
    ++p;
    if (!DoctypeSubset(p, doctype)) return false;
    if (dtdStopped_) return true;
    ++p;
    p = Find(p, u'>');
    if (*p == 0) return false;
  }
  next = State::Seek;
  return true;
}

// The external identifier: name tokens (as name and value of an attribute)
// and quoted literals (as values), while literals follow a token. False when
// the text ended.
bool Parser::DoctypeIdentifier(char16_t*& p, XmlNode* doctype) {
  while (NameAt(p)) {
    char16_t* token = p;
    p = SkipName(p);
    const char16_t stop = *p;
    if (doctype != nullptr) {
      XmlAttribute* a = append_attribute_in(pool_, doctype, 1);
      if (a == nullptr) return false;
      a->name = a->value = Emit(token, p);
    }
    if (stop == 0) return false;
    p = p + 1;
    p = SkipSpace(p);
    bool literal = false;
    while (*p == '"' || *p == '\'') {
      literal = true;
      const char16_t quote = *p++;
      char16_t* text = p;
      p = Find(p, quote);
      const bool closed = *p != 0;
      if (doctype != nullptr) {
        XmlAttribute* a = append_attribute_in(pool_, doctype, 1);
        if (a == nullptr) return false;
        a->value = Emit(text, p);
      }
      if (!closed) return false;
      ++p;
      p = SkipSpace(p);
    }
    if (!literal) break;
  }
  return true;
}

// The internal subset, from the character after '[' to the ']' that closes
// it (where p is left). False when the text ended.
bool Parser::DoctypeSubset(char16_t*& p, XmlNode* doctype) {
  char16_t* const subset = p;
  int depth = 1;
  for (;; ++p) {
    if (*p == 0) break;
    if (*p == '[') ++depth;
    if (*p == ']' && --depth == 0) break;
  }
  const bool closed = *p != 0;
  if (doctype == nullptr) return closed;
  doctype->value = Emit(subset, p);
  if (!closed) return false;
  if (Has(ParseDtd) && depth_ < kMaxDtdDepth) {
    // Only the subset's text, with the DOCTYPE as cursor: its declarations
    // become the DOCTYPE's children.
    parse_in(pool_, doctype->value, doctype, step_, options_, depth_ + 1, padded_);
  }
  if (Has(DtdOnly)) {
    ++p;
    dtdStopped_ = true;
    return true;
  }
  if (!Has(ParseDtd) && Has(TrimDoctype)) Trim(doctype->value);
  return true;
}

bool Parser::Declaration(char16_t*& p, State& next) {
  // p is at '!' and a name character follows.
  char16_t* keyword = p + 1;
  p = SkipName(keyword);
  const char16_t stop = *p;
  char16_t* const afterStop = stop == 0 ? p : p + 1;
  *p = 0;
  XmlNodeType type = XmlNodeType::EntityDecl;
  if (Equal(keyword, "ATTLIST")) {
    type = XmlNodeType::AttlistDecl;
  } else if (Equal(keyword, "ELEMENT")) {
    type = XmlNodeType::ElementDecl;
  } else if (Equal(keyword, "NOTATION")) {
    type = XmlNodeType::NotationDecl;
  }
  XmlNode* decl = Append(type);
  if (decl == nullptr || stop == 0) return false;
  p = afterStop;
  next = State::Seek;
  if (!Space(stop)) return true;
  p = SkipSpace(p);

  char16_t* name = nullptr;
  if (*p == '%') {
    if (Space(p[1])) {
      // "% name": the blank just before the name becomes the '%'.
      p = SkipSpace(p + 1);
      p[-1] = '%';
      name = p - 1;
    } else {
      name = p;
      ++p;
    }
  } else if (NameAt(p)) {
    name = p;
  } else {
    return *p != 0;
  }
  p = SkipName(p);
  const char16_t nameStop = *p;
  decl->name = Emit(name, p);
  if (nameStop == 0) return false;
  p = p + 1;
  if (!Space(nameStop)) return true;
  p = SkipSpace(p);
  return DeclarationValue(p, decl);
}

// The rest of a declaration, to its closing '>'. False when the text ended.
bool Parser::DeclarationValue(char16_t*& p, XmlNode* decl) {
  char16_t* const value = p;
  if (decl->type == XmlNodeType::EntityDecl) {
    // A '>' inside a quoted literal does not end an entity declaration.
    while (*p != 0 && *p != '>') {
      if (*p == '"' || *p == '\'') {
        p = Find(p + 1, *p);
        if (*p == 0) break;
      }
      ++p;
    }
  } else {
    p = Find(p, u'>');
  }
  const bool ended = *p != 0;
  decl->value = Emit(value, p);
  if (ended) ++p;
  if (Has(TrimDeclarations)) Trim(decl->value);
  return ended;
}

bool Parser::Tag(char16_t*& p, State& next) {
  char16_t* const name = p;
  p = SkipName(p);
  const char16_t stop = *p;
  cursor_->name = Emit(name, p);
  if (stop == 0) return false;
  p = p + 1;
  if (stop == '/') {
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
  char16_t* const name = p;
  p = SkipName(p);
  const char16_t stop = *p;
  attribute->name = Emit(name, p);
  if (stop == 0) return false;
  p = p + 1;
  if (Space(stop)) p = SkipSpace(p);

  if (stop == '=' || *p == '=') {
    if (*p == '=') ++p;
    p = SkipSpace(p);
    if (*p == '"' || *p == '\'') {
      const char16_t quote = *p++;
      char16_t* const value = p;
      p = Find(p, quote);
      const bool closed = *p != 0;
      attribute->value = Emit(value, p);
      if (!closed) return false;
      ++p;
      if (Has(TrimAttributes)) Trim(attribute->value);
      if (*p == '>') {
        ++p;
        next = State::Content;
        return true;
      }
      if (*p == '/') {
        Close();
        p = SkipSpace(p + 1);
        if (*p == '>') ++p;
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
  if (NameAt(p)) {
    next = State::Attributes;
    return true;
  }
  if (cursor_->type == XmlNodeType::ProcessingInstruction) {
    p = Find(p, u'/');
    if (*p == 0) return false;
    p = SkipSpace(p + 1);
    if (*p == '>') ++p;
    Close();
    next = State::Content;
    return true;
  }
  next = State::AfterTag;
  return *p != 0;
}

bool Parser::Content(char16_t*& p, State& next) {
  char16_t* const mark = p;
  p = SkipSpace(p);
  if (*p == 0) return false;
  if (*p == '<') {
    ++p;
    if (*p == '/') return EndTag(p, next);
    next = State::Markup;
    return true;
  }
  XmlNode* text = Append(XmlNodeType::Text);
  if (text == nullptr) return false;
  p = Find(p, u'<');
  const bool closed = *p != 0;
  text->value = Emit(mark, p);
  // Only a text ended by '<' is trimmed: one cut off by the end of the
  // text stays as it was read.
  if (!closed) return false;
  ++p;
  if (Has(TrimText)) Trim(text->value);
  if (*p == '/') {
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
                   XmlParseOptions options, int depth, bool padded) {
  if (text == nullptr || cursor == nullptr || *text == 0) return text;
  Parser parser(pool, cursor, growthStep, options, depth, padded);
  return parser.Run(text);
}

char16_t* parse(char16_t* text, XmlNode* cursor, int32_t growthStep, XmlParseOptions options) {
  return parse_in(nullptr, text, cursor, growthStep, options, 0, false);
}

}  // namespace quobble
