#include "xml/xml_document.h"

#include <sys/mman.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/device_fs.h"
#include "platform/scan.h"
#include "platform/text.h"
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
    {u'-', u'.'}, {u':', u':'}, {u'_', u'_'},
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
template <typename Unit>
inline bool Space(Unit c) {
  return c != 0 && c <= 32;
}

template <typename Unit>
inline Unit* SkipSpace(Unit* p) {
  while (Space(*p)) ++p;
  return p;
}

inline char16_t* SkipName(char16_t* p) {
  while (NameChar(*p)) ++p;
  return p;
}

// The bytes of the name character that starts at p, 0 when none does: a
// character of UTF-8 text is a name character when the unit it decodes to
// is one (a character beyond the BMP decodes to surrogates, which are not).
inline int NameBytes(const unsigned char* p) {
  if (*p < 0x80) return NameChar(*p) ? 1 : 0;
  char32_t cp = 0;
  // Decoding stops at the first byte that does not continue the character,
  // at the text's terminating NUL at the latest.
  const int length = DecodeUtf8Sequence(p, p + 4, cp);
  return length > 0 && cp < 0x10000 && NameChar(static_cast<char16_t>(cp)) ? length : 0;
}

inline unsigned char* SkipName(unsigned char* p) {
  for (;;) {
    if (*p < 0x80) {
      if (!NameChar(*p)) return p;
      ++p;
      continue;
    }
    const int length = NameBytes(p);
    if (length == 0) return p;
    p += length;
  }
}

inline bool NameAt(const char16_t* p) {
  return NameChar(*p);
}
inline bool NameAt(const unsigned char* p) {
  return NameBytes(p) != 0;
}

// The first `c` at or after p, or the terminating NUL.
template <typename Unit>
inline Unit* Find(Unit* p, Unit c) {
  return FindOrEnd(p, c);
}

// The first occurrence of a three-character terminator ("-->", "]]>"), or the
// terminating NUL.
template <typename Unit>
inline Unit* Find3(Unit* p, Unit a, Unit b, Unit c) {
  for (;;) {
    p = Find(p, a);
    if (*p == 0) return p;
    if (p[1] == b && p[2] == c) return p;
    ++p;
  }
}

// Whether the text at p starts with the ASCII `word`; `mismatch` is where it
// differed.
template <typename Unit>
inline bool Follows(Unit* p, const char* word, Unit*& mismatch) {
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

template <typename Unit>
bool Equal(const Unit* a, const char* b) {
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

// Where the strings of the tree come from. Wide text is parsed in place: a
// string is terminated where it ends and stays where it stood.
class WideText {
 public:
  using Unit = char16_t;
  char16_t* Emit(char16_t* start, char16_t* end) {
    *end = 0;
    return start;
  }
  char16_t* Name(char16_t* start, char16_t* end) { return Emit(start, end); }
  char16_t* Next(char16_t* p) { return p + 1; }
  void Passed(const char16_t*) {}
  bool abandoned() const { return false; }
};

// A file's UTF-8 bytes, parsed as they are: the markup is never decoded, and
// each name or value is decoded into the document's wide text when its end
// is found. A string's bytes and the delimiter that ends it belong to no
// other string, so the wide text never needs more units than the file has
// bytes, plus one for a string cut by the end.
class ByteText {
 public:
  using Unit = unsigned char;
  ByteText(char16_t* out, size_t capacity, unsigned char* bytes, bool releasable)
      : out_(out), end_(out + capacity), bytes_(bytes), releasable_(releasable) {}
  char16_t* Emit(unsigned char* start, unsigned char* end) {
    char16_t* string = out_;
    // Never past the buffer, whatever the text; the bound above keeps this
    // from ever cutting a string.
    if (static_cast<size_t>(end_ - out_) < static_cast<size_t>(end - start) + 1 + kXmlSpanPadding) {
      *string = 0;
      return string;
    }
    out_ = decode_utf8_span(start, end, out_);
    *out_++ = 0;
    return string;
  }
  // An element or attribute name. An answer repeats a handful of names
  // thousands of times, so a name decoded before is handed out again: the
  // records share the string, as the DOCTYPE's first attribute always has.
  // Names of up to 16 bytes are remembered as their bytes, so that a hit
  // costs one compare.
  char16_t* Name(unsigned char* start, unsigned char* end) {
    const size_t length = static_cast<size_t>(end - start);
#if defined(__SSE2__)
    if (length - 1 < 16) {
      // The file is followed by kXmlSpanPadding readable bytes.
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(start));
      Cached& cached = names_[(length * 7 + start[0] * 31 + end[-1]) % kNameCache];
      const unsigned wanted = (1u << length) - 1;
      const unsigned equal =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, cached.bytes)));
      if (cached.length == length && (equal & wanted) == wanted) return cached.string;
      char16_t* string = Emit(start, end);
      // Only ASCII: a cut or malformed character decodes by its context.
      if ((static_cast<unsigned>(_mm_movemask_epi8(bytes)) & wanted) == 0) {
        cached.bytes = bytes;
        cached.string = string;
        cached.length = length;
      }
      return string;
    }
#endif
    return Emit(start, end);
  }

  // Past the character at p, which ends a name. The wide parser steps past
  // one unit there; a character beyond the BMP is two, and stepping into its
  // middle has no byte position, so the parse is abandoned and the caller
  // parses the wide text instead. Only such hostile or odd text pays for it.
  unsigned char* Next(unsigned char* p) {
    if (*p < 0x80) return p + 1;
    char32_t cp = 0;
    const int length = DecodeUtf8Sequence(p, p + 4, cp);
    if (length < 0) return p - length;
    if (cp >= 0x10000) abandoned_ = true;
    return p + length;
  }
  bool abandoned() const { return abandoned_; }

  // Bytes behind the parse are never read again: a large file's pages go
  // back to the system as the parse leaves them, so the file and the tree
  // built from it are not both held whole.
  void Passed(const unsigned char* p) {
    if (!releasable_ || p < nextRelease_) return;
    ReleasePages(p);
  }
  char16_t* written() const { return out_; }

 private:
  void ReleasePages(const unsigned char* p);

  char16_t* out_;
  char16_t* end_;
  unsigned char* bytes_;
  static constexpr size_t kNameCache = 64;
#if defined(__SSE2__)
  struct Cached {
    __m128i bytes = _mm_setzero_si128();
    char16_t* string = nullptr;
    size_t length = 0;
  };
#else
  struct Cached {};
#endif
  Cached names_[kNameCache];
  bool releasable_;
  bool abandoned_ = false;
  const unsigned char* nextRelease_ = nullptr;
};

template <typename Text>
class Parser {
 public:
  using Unit = typename Text::Unit;
  Parser(XmlPool* pool, XmlNode* cursor, int32_t step, XmlParseOptions options, int depth,
         Text& text)
      : pool_(pool), cursor_(cursor), step_(step), options_(options), depth_(depth), text_(text) {}

  Unit* Run(Unit* p);

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

  char16_t* Emit(Unit* start, Unit* end) { return text_.Emit(start, end); }
  char16_t* Name(Unit* start, Unit* end) { return text_.Name(start, end); }

  // Each handler starts at the character after "<" and returns the next
  // state, with p moved; false means the text ended (or memory ran out).
  bool Markup(Unit*& p, State& next);
  bool ProcessingInstruction(Unit*& p, State& next);
  bool Comment(Unit*& p, State& next);
  bool Section(Unit*& p, State& next);
  bool Doctype(Unit*& p, State& next);
  bool DoctypeIdentifier(Unit*& p, XmlNode* doctype);
  bool DoctypeSubset(Unit*& p, XmlNode* doctype);
  bool Declaration(Unit*& p, State& next);
  bool DeclarationValue(Unit*& p, XmlNode* decl);
  bool Tag(Unit*& p, State& next);
  bool Attribute(Unit*& p, State& next);
  bool Content(Unit*& p, State& next);
  bool EndTag(Unit*& p, State& next);

  XmlPool* pool_;
  XmlNode* cursor_;
  int32_t step_;
  XmlParseOptions options_;
  int depth_;
  Text& text_;
  bool dtdStopped_ = false;
};

template <typename Text>
typename Text::Unit* Parser<Text>::Run(Unit* p) {
  State state = State::Seek;
  for (;;) {
    bool go = true;
    switch (state) {
      case State::Seek:
        text_.Passed(p);
        p = Find(p, Unit{'<'});
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
    if (!go || dtdStopped_ || text_.abandoned()) return p;
  }
}

template <typename Text>
bool Parser<Text>::Markup(Unit*& p, State& next) {
  const Unit c = *p;
  if (c == '?') return ProcessingInstruction(p, next);
  if (c == '!') {
    const Unit d = p[1];
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
template <typename Text>
bool Parser<Text>::EndTag(Unit*& p, State& next) {
  p = Find(p, Unit{'>'});
  if (*p == 0) return false;
  Close();
  next = State::Seek;
  return true;
}

template <typename Text>
bool Parser<Text>::ProcessingInstruction(Unit*& p, State& next) {
  Unit* target = p + 1;
  if (NameAt(target) && Has(ParsePi)) {
    // The closing '?' becomes '/' so that the instruction reads as an empty
    // element whose pseudo-attributes are attributes.
    Unit* question = Find(target, Unit{'?'});
    if (*question == '?') *question = '/';
    XmlNode* pi = Append(XmlNodeType::ProcessingInstruction);
    if (pi == nullptr) return false;
    cursor_ = pi;
    p = target;
    next = State::Tag;
    return true;
  }
  p = Find(p, Unit{'>'});
  next = State::Seek;
  return *p != 0;
}

template <typename Text>
bool Parser<Text>::Comment(Unit*& p, State& next) {
  // p is at "!-".
  if (Has(ParseComments) && p[2] == '-') {
    XmlNode* comment = Append(XmlNodeType::Comment);
    if (comment == nullptr) return false;
    Unit* end = Find3(p + 3, Unit{'-'}, Unit{'-'}, Unit{'>'});
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
  p = Find3(p + 2, Unit{'-'}, Unit{'-'}, Unit{'>'});
  if (*p == 0) return false;
  p += 2;
  next = State::AfterTag;
  return true;
}

template <typename Text>
bool Parser<Text>::Section(Unit*& p, State& next) {
  // p is at "![".
  Unit* mismatch = nullptr;
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
  Unit* body = mismatch;
  Unit* end = Find3(body, Unit{']'}, Unit{']'}, Unit{'>'});
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

template <typename Text>
bool Parser<Text>::Doctype(Unit*& p, State& next) {
  // p is at "!D".
  Unit* mismatch = nullptr;
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
  Unit* const rootName = p;
  p = SkipName(p);
  const Unit stop = *p;
  if (keep) {
    XmlAttribute* a = append_attribute_in(pool_, doctype, 1);
    if (a == nullptr) return false;
    a->name = a->value = Emit(rootName, p);
  }
  if (stop == 0) return false;
  p = text_.Next(p);
  if (Space(stop)) p = SkipSpace(p);

  if (!DoctypeIdentifier(p, doctype)) return false;
  if (*p == '[') {
    ++p;
    if (!DoctypeSubset(p, doctype)) return false;
    if (dtdStopped_) return true;
    ++p;
    p = Find(p, Unit{'>'});
    if (*p == 0) return false;
  }
  next = State::Seek;
  return true;
}

// The external identifier: name tokens (as name and value of an attribute)
// and quoted literals (as values), while literals follow a token. False when
// the text ended.
template <typename Text>
bool Parser<Text>::DoctypeIdentifier(Unit*& p, XmlNode* doctype) {
  while (NameAt(p)) {
    Unit* token = p;
    p = SkipName(p);
    const Unit stop = *p;
    if (doctype != nullptr) {
      XmlAttribute* a = append_attribute_in(pool_, doctype, 1);
      if (a == nullptr) return false;
      a->name = a->value = Emit(token, p);
    }
    if (stop == 0) return false;
    p = text_.Next(p);
    p = SkipSpace(p);
    bool literal = false;
    while (*p == '"' || *p == '\'') {
      literal = true;
      const Unit quote = *p++;
      Unit* text = p;
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
template <typename Text>
bool Parser<Text>::DoctypeSubset(Unit*& p, XmlNode* doctype) {
  Unit* const subset = p;
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
    parse_in(pool_, doctype->value, doctype, step_, options_, depth_ + 1);
  }
  if (Has(DtdOnly)) {
    ++p;
    dtdStopped_ = true;
    return true;
  }
  if (!Has(ParseDtd) && Has(TrimDoctype)) Trim(doctype->value);
  return true;
}

template <typename Text>
bool Parser<Text>::Declaration(Unit*& p, State& next) {
  // p is at '!' and a name character follows.
  Unit* keyword = p + 1;
  p = SkipName(keyword);
  const Unit stop = *p;
  Unit* const afterStop = stop == 0 ? p : text_.Next(p);
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

  Unit* name = nullptr;
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
  const Unit nameStop = *p;
  decl->name = Emit(name, p);
  if (nameStop == 0) return false;
  p = text_.Next(p);
  if (!Space(nameStop)) return true;
  p = SkipSpace(p);
  return DeclarationValue(p, decl);
}

// The rest of a declaration, to its closing '>'. False when the text ended.
template <typename Text>
bool Parser<Text>::DeclarationValue(Unit*& p, XmlNode* decl) {
  Unit* const value = p;
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
    p = Find(p, Unit{'>'});
  }
  const bool ended = *p != 0;
  decl->value = Emit(value, p);
  if (ended) ++p;
  if (Has(TrimDeclarations)) Trim(decl->value);
  return ended;
}

template <typename Text>
bool Parser<Text>::Tag(Unit*& p, State& next) {
  Unit* const name = p;
  p = SkipName(p);
  const Unit stop = *p;
  cursor_->name = Name(name, p);
  if (stop == 0) return false;
  p = text_.Next(p);
  if (stop == '/') {
    p = Find(p, Unit{'>'});
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

template <typename Text>
bool Parser<Text>::Attribute(Unit*& p, State& next) {
  XmlAttribute* attribute = append_attribute_in(pool_, cursor_, step_);
  if (attribute == nullptr) return false;
  Unit* const name = p;
  p = SkipName(p);
  const Unit stop = *p;
  attribute->name = Name(name, p);
  if (stop == 0) return false;
  p = text_.Next(p);
  if (Space(stop)) p = SkipSpace(p);

  if (stop == '=' || *p == '=') {
    if (*p == '=') ++p;
    p = SkipSpace(p);
    if (*p == '"' || *p == '\'') {
      const Unit quote = *p++;
      Unit* const value = p;
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
    p = Find(p, Unit{'/'});
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

template <typename Text>
bool Parser<Text>::Content(Unit*& p, State& next) {
  Unit* const mark = p;
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
  p = Find(p, Unit{'<'});
  const bool closed = *p != 0;
  text->value = Emit(mark, p);
  // Only a text ended by '<' is trimmed: one cut off by the end of the
  // text stays as it was read.
  if (!closed) return false;
  ++p;
  if (Has(TrimText)) Trim(text->value);
  if (*p == '/') {
    p = Find(p, Unit{'>'});
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
  WideText strings;
  Parser<WideText> parser(pool, cursor, growthStep, options, depth, strings);
  return parser.Run(text);
}

char16_t* parse(char16_t* text, XmlNode* cursor, int32_t growthStep, XmlParseOptions options) {
  return parse_in(nullptr, text, cursor, growthStep, options, 0);
}

// ---- files ----------------------------------------------------------------


namespace {

// read_file_text on a file already open.
int ReadWideText(DeviceFile& file, char16_t** text, size_t* size, size_t chunkSize) {
  auto* chunk = static_cast<unsigned char*>(std::calloc(chunkSize, 1));
  if (chunk == nullptr) return 0;

  XmlWideBuffer buffer;
  const int64_t length = file.Size();
  const size_t hint = length > 0 ? static_cast<size_t>(length) : 0;
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

}  // namespace

int read_file_text(const char16_t* path, char16_t** text, size_t* size, size_t chunkSize) {
  if (path == nullptr || text == nullptr || size == nullptr) return 0;
  *text = nullptr;
  *size = 0;
  if (chunkSize < 2) return 0;
  DeviceFile file;
  if (!file.OpenForRead(std::u16string_view(path))) return 0;
  return ReadWideText(file, text, size, chunkSize);
}

namespace {

// The whole of a file as NUL-terminated bytes, read chunk_size - 1 bytes at
// a time like read_file_text. A large file's buffer is mapped memory of its
// own, so that the parse can give its pages back as it leaves them.
class FileBytes {
 public:
  FileBytes() = default;
  ~FileBytes() { Release(); }
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;

  // False when the file cannot be read, is empty, or no memory can be had.
  bool Read(DeviceFile& file, size_t chunkSize);
  unsigned char* data() const { return data_; }
  size_t size() const { return size_; }
  bool mapped() const { return mapped_; }

 private:
  bool Reserve(size_t capacity);
  void Release();

  static constexpr size_t kMapFrom = size_t{1} << 20;
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool mapped_ = false;
};

bool FileBytes::Reserve(size_t capacity) {
  if (capacity <= capacity_) return true;
  unsigned char* grown = nullptr;
  const bool map = capacity >= kMapFrom;
  if (map) {
    void* memory = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
    if (memory == MAP_FAILED) return false;
    advise_huge_pages(memory, capacity);
    grown = static_cast<unsigned char*>(memory);
  } else {
    grown = static_cast<unsigned char*>(std::malloc(capacity));
    if (grown == nullptr) return false;
  }
  if (size_ > 0) std::memcpy(grown, data_, size_);
  Release();
  data_ = grown;
  capacity_ = capacity;
  mapped_ = map;
  return true;
}

void FileBytes::Release() {
  if (mapped_) {
    ::munmap(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  capacity_ = 0;
}

bool FileBytes::Read(DeviceFile& file, size_t chunkSize) {
  const int64_t length = file.Size();
  // Room for the whole file (as its size says) and the terminator; a file
  // that grows while it is read still goes in whole.
  if (!Reserve((length > 0 ? static_cast<size_t>(length) : 0) + chunkSize)) return false;
  for (;;) {
    if (capacity_ - size_ < chunkSize && !Reserve(capacity_ + capacity_ / 2 + chunkSize)) {
      return false;
    }
    const int64_t n = file.Read(data_ + size_, chunkSize - 1);
    if (n <= 0) break;
    size_ += static_cast<size_t>(n);
  }
  // The terminator, and zeros the span decoder may read past a string.
  if (size_ == 0 || !Reserve(size_ + 1 + kXmlSpanPadding)) return false;
  std::memset(data_ + size_, 0, 1 + kXmlSpanPadding);
  return true;
}

}  // namespace

void ByteText::ReleasePages(const unsigned char* p) {
  // Whole huge pages, as the buffer is advised to take: a part of one
  // would split it.
  constexpr uintptr_t kPage = uintptr_t{2} << 20;
  const uintptr_t from = (reinterpret_cast<uintptr_t>(bytes_) + kPage - 1) & ~(kPage - 1);
  const uintptr_t to = reinterpret_cast<uintptr_t>(p) & ~(kPage - 1);
  if (to > from) (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
  bytes_ = reinterpret_cast<unsigned char*>(to > from ? to : from);
  nextRelease_ = p + kPage;
}

namespace {

// Below this size a file is decoded whole and parsed in place, which is the
// quicker way; from it on the bytes are parsed and only the strings decoded,
// so that the file, its decoded text and the tree are never all held whole.
std::atomic<int64_t> byteParseFrom{kXmlByteParseFrom};

}  // namespace

void set_xml_byte_parse_from(int64_t size) {
  byteParseFrom.store(size, std::memory_order_relaxed);
}

bool XmlDocument::parse_wide(DeviceFile& file) {
  size_t size = 0;
  if (ReadWideText(file, &text, &size, 4096) == 0) return false;
  // A shopping answer's tree takes about three bytes per byte of the file.
  pool_ = new (std::nothrow) XmlPool(size / 2 * 3);
  root = pool_ == nullptr ? nullptr : create_parsed_root(pool_);
  if (root == nullptr) return false;
  stop_position = parse_in(pool_, text, root, growth_step, options, 0);
  return true;
}

bool XmlDocument::parse_bytes(DeviceFile& file, bool& abandoned) {
  FileBytes bytes;
  if (!bytes.Read(file, 4096)) return false;
  // Every string of the tree, decoded (see ByteText for the bound).
  const size_t capacity = bytes.size() + 2 + kXmlSpanPadding;
  text = static_cast<char16_t*>(std::malloc(capacity * sizeof(char16_t)));
  pool_ = text == nullptr ? nullptr : new (std::nothrow) XmlPool(bytes.size() * 3);
  root = pool_ == nullptr ? nullptr : create_parsed_root(pool_);
  if (root == nullptr) return false;
  advise_huge_pages(text, capacity * sizeof(char16_t));
  *text = 0;
  ByteText strings(text, capacity, bytes.data(), bytes.mapped());
  Parser<ByteText> parser(pool_, root, growth_step, options, 0, strings);
  parser.Run(bytes.data());
  stop_position = strings.written();
  abandoned = strings.abandoned();
  return true;
}

int XmlDocument::parse_file(const char16_t* path, XmlParseOptions newOptions) {
  if (path == nullptr) return 0;
  clear();
  if (newOptions != KeepOptions) options = newOptions;
  DeviceFile file;
  if (!file.OpenForRead(std::u16string_view(path))) return 0;
  bool abandoned = false;
  bool parsed = file.Size() < byteParseFrom.load(std::memory_order_relaxed)
                    ? parse_wide(file)
                    : parse_bytes(file, abandoned);
  if (parsed && abandoned) {
    // A name ended inside a character the byte parse cannot stand in: the
    // same file again, the wide way.
    clear();
    DeviceFile again;
    parsed = again.OpenForRead(std::u16string_view(path)) && parse_wide(again);
  }
  if (!parsed) {
    clear();
    return 0;
  }
  return 1;
}

}  // namespace quobble
