#pragma once
#include <cstddef>
#include <cstdint>

// The XML layer: a tree of plain records built in place over one wide-text
// buffer, small value-like handles and iterators to walk it, a glob-style
// name matcher and a slash-path lookup, and the non-validating parser that
// fills the tree. Nothing here throws; missing things are null handles and
// empty values.

namespace quobble {

enum class XmlNodeType : int32_t {
  Null = 0,
  Document = 1,
  Element = 2,
  Text = 3,
  CData = 4,
  Comment = 5,
  ProcessingInstruction = 6,
  Include = 7,
  Doctype = 8,
  EntityDecl = 9,
  AttlistDecl = 10,
  ElementDecl = 11,
  NotationDecl = 12,
};

// Parse options, a bit set; 0 is all off.
using XmlParseOptions = uint32_t;
inline constexpr XmlParseOptions ParsePi = 0x0002;
inline constexpr XmlParseOptions ParseDoctype = 0x0004;
inline constexpr XmlParseOptions ParseComments = 0x0008;
inline constexpr XmlParseOptions ParseCData = 0x0010;
inline constexpr XmlParseOptions TrimText = 0x0040;
inline constexpr XmlParseOptions TrimAttributes = 0x0080;
inline constexpr XmlParseOptions TrimCData = 0x0100;
inline constexpr XmlParseOptions TrimDeclarations = 0x0200;
inline constexpr XmlParseOptions TrimDoctype = 0x0400;
inline constexpr XmlParseOptions TrimComments = 0x0800;
inline constexpr XmlParseOptions NormalizeSpace = 0x1000;
inline constexpr XmlParseOptions ParseDtd = 0x2000;
inline constexpr XmlParseOptions DtdOnly = 0x4000;
// Not an option: tells parse_file to keep the document's stored options.
inline constexpr XmlParseOptions KeepOptions = 0x80000000u;

// Where a record or its arrays live. Records made by create_node and the
// append functions come from the general heap; parse_file puts the records of
// the tree it builds in a pool that the document releases with its text.
// Internal bookkeeping: callers leave it alone.
enum XmlStorage : uint8_t {
  XmlHeap = 0,
  XmlPooledRecord = 1,
  XmlPooledAttributes = 2,
  XmlPooledChildren = 4,
  // On the root of a parsed tree that its document handed over (owns_tree
  // false): the tree now owns the pool and the text, and destroy_tree
  // releases them.
  XmlHandedOver = 8,
  // On a pooled root: heap records were added to the tree after the parse.
  XmlTreeEdited = 16,
};

// Fields are ordered for size, not as listed anywhere else: pointers first,
// then the 32-bit fields, then the bytes, so that an attribute takes 24 bytes
// and a node 64, a whole cache line.
struct XmlAttribute {
  char16_t* name = nullptr;   // null for a DOCTYPE literal
  char16_t* value = nullptr;  // null for an attribute written without a value
  bool name_in_place = true;
  bool value_in_place = true;
  uint8_t storage = XmlHeap;
};

// One node. Strings are NUL-terminated wide text; a string is released with
// the node only when its in-place flag is false. The root's parent is the root.
struct XmlNode {
  XmlNode* parent = nullptr;
  char16_t* name = nullptr;
  char16_t* value = nullptr;
  XmlAttribute** attributes = nullptr;
  XmlNode** children = nullptr;  // document order
  uint32_t attribute_count = 0;
  uint32_t attribute_capacity = 0;
  uint32_t child_count = 0;
  uint32_t child_capacity = 0;
  XmlNodeType type = XmlNodeType::Null;
  bool name_in_place = true;
  bool value_in_place = true;
  uint8_t storage = XmlHeap;
};
static_assert(sizeof(XmlNode) <= 64 && sizeof(XmlAttribute) <= 24);

// Tree building. Each returns null when memory runs out, leaving the tree as
// it was.
[[nodiscard]] XmlNode* create_node(XmlNodeType type);
XmlNode* append_child(XmlNode* parent, int32_t growth_step, XmlNodeType type);
XmlAttribute* append_attribute(XmlNode* node, int32_t growth_step);
// Releases a whole tree without recursion. Give it a root only (a node whose
// parent is itself). A parsed tree kept past its document (owns_tree false)
// goes with its text.
void destroy_tree(XmlNode* root);

// True when the whole name matches the whole pattern: '*' any run, '?' one
// character, '[abc]', '[a-d]', '[!x]' sets. Case-sensitive, by 16-bit unit.
// A '[' without its closing ']' never matches.
bool wildcard_match(const char16_t* pattern, const char16_t* name);

// Letters of any script, digits, '_', ':', '-', '.'.
bool is_name_char(char16_t c);

// Reads a device file as UTF-8 into a new NUL-terminated wide buffer (release
// it with std::free), in reads of at most chunk_size - 1 bytes; the text is
// the whole file decoded at once, whatever the reads. Returns nonzero when at
// least one byte was read; *size is then nonzero too.
int read_file_text(const char16_t* path, char16_t** text, size_t* size, size_t chunk_size);

// Parses NUL-terminated text in place, appending nodes under `cursor`.
// Returns where it stopped: the end of the text unless DtdOnly stopped it.
char16_t* parse(char16_t* text, XmlNode* cursor, int32_t growth_step, XmlParseOptions options);

// In-place trims of a string inside a buffer; the pointer may move forward.
// 0 when given no string (or, for normalize_value, no scratch memory).
int trim_value(char16_t*& value);
int normalize_value(char16_t*& value);

// Appends `text` to a malloc'd NUL-terminated buffer, creating an empty one
// when *buffer is null. 0 when it cannot grow; the old buffer is then intact.
int append_text(char16_t*& buffer, const char16_t* text);

class XmlPool;

// A parsed document: the text and the tree over it.
class XmlDocument {
 public:
  XmlDocument() = default;
  XmlDocument(int32_t growth_step, bool owns_tree);
  virtual ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Reads and parses a device file. 1 when the file was read (the tree is then
  // built, however malformed the text), 0 when the path is null (the document
  // is left alone), the file cannot be opened or read, or is empty.
  [[nodiscard]] int parse_file(const char16_t* path, XmlParseOptions options = KeepOptions);
  // Destroys the tree (whatever owns_tree says) and releases the text.
  void clear();

  XmlNode* root = nullptr;
  int32_t growth_step = 4;
  bool owns_tree = true;
  char16_t* text = nullptr;
  char16_t* stop_position = nullptr;
  XmlParseOptions options = 0;

 private:
  XmlPool* pool_ = nullptr;
};

// A handle on a node. A null handle points at the empty node it carries, so
// it needs no allocation and every operation on it is safe.
class XmlNodeRef {
 public:
  XmlNodeRef();
  explicit XmlNodeRef(XmlNode* node);
  // A copy of a null handle points at its own empty node, never at the other's.
  XmlNodeRef(const XmlNodeRef& other);
  XmlNodeRef& operator=(const XmlNodeRef& other);
  virtual ~XmlNodeRef();

  // No node, or a node of type Null.
  bool is_null() const;
  bool has_name() const;
  bool has_value() const;
  // The name or value, or "" when there is none.
  const char16_t* name_or_empty() const;
  const char16_t* value_or_empty() const;
  bool name_matches(const char16_t* pattern) const;
  XmlNodeRef child(uint32_t index) const;

  bool move_to_root();
  bool move_to_parent();
  bool move_to_sibling(uint32_t index);
  bool move_to_next_named_sibling(const char16_t* pattern);

  // Slash-path lookup with backtracking over same-named siblings; a path that
  // starts with the first delimiter starts at the root. Null handle on failure.
  XmlNodeRef find_by_path(const char16_t* path, const char16_t* delimiters) const;

  XmlNode* operator->() const { return node; }

  XmlNode* node;
  XmlNode empty;

 private:
  // The node pointer, or null for a missing or Null node.
  XmlNode* present() const;
};

// A growable array of wide-string pointers (path segments).
class XmlStringList {
 public:
  explicit XmlStringList(int32_t growth);
  virtual ~XmlStringList();
  XmlStringList(const XmlStringList&) = delete;
  XmlStringList& operator=(const XmlStringList&) = delete;

  // The index of the new entry, or -1 when there is no room and no memory.
  int32_t add(char16_t* item);
  // The slot at index; past the count a spare slot holding null.
  virtual char16_t*& element_ref(int32_t index);
  virtual char16_t* element(int32_t index) const;

  int32_t count = 0;
  int32_t capacity = 0;
  char16_t** items = nullptr;
  int32_t growth = 4;

 private:
  char16_t* spare_ = nullptr;
};

// Owns one heap handle, made null with the holder; null if that failed.
class XmlRefHolder {
 public:
  XmlRefHolder();
  virtual ~XmlRefHolder();
  XmlRefHolder(const XmlRefHolder&) = delete;
  XmlRefHolder& operator=(const XmlRefHolder&) = delete;

  XmlNodeRef* ref;
};

// An iterator over the children of one node; comparisons compare indexes only.
class XmlIteratorBase {
 public:
  XmlIteratorBase(XmlNode* node, int32_t index) : node(node), index(index) {}
  virtual ~XmlIteratorBase();

  virtual bool valid() const = 0;
  virtual bool at_end() const = 0;
  virtual void set_index(int32_t i);
  virtual int32_t get_index() const;
  virtual XmlIteratorBase& assign(const XmlIteratorBase& other);
  virtual bool equal(const XmlIteratorBase& other) const;
  virtual bool not_equal(const XmlIteratorBase& other) const;
  virtual bool less(const XmlIteratorBase& other) const;
  virtual bool greater(const XmlIteratorBase& other) const;
  virtual bool less_equal(const XmlIteratorBase& other) const;
  virtual bool greater_equal(const XmlIteratorBase& other) const;
  virtual XmlIteratorBase& increment();
  virtual XmlIteratorBase& decrement();
  virtual XmlNodeRef& dereference() = 0;
  virtual XmlNodeRef* dereference_ptr() = 0;

  bool operator==(const XmlIteratorBase& other) const { return equal(other); }
  bool operator!=(const XmlIteratorBase& other) const { return not_equal(other); }
  bool operator<(const XmlIteratorBase& other) const { return less(other); }
  bool operator>(const XmlIteratorBase& other) const { return greater(other); }
  bool operator<=(const XmlIteratorBase& other) const { return less_equal(other); }
  bool operator>=(const XmlIteratorBase& other) const { return greater_equal(other); }
  XmlNodeRef& operator*() { return dereference(); }
  XmlNodeRef* operator->() { return dereference_ptr(); }

  XmlNode* node;
  int32_t index;

 protected:
  XmlIteratorBase(const XmlIteratorBase&) = default;
  XmlIteratorBase& operator=(const XmlIteratorBase&) = default;
};

class XmlChildIterator : public XmlIteratorBase {
 public:
  XmlChildIterator(XmlNode* node, int32_t index);
  XmlChildIterator(const XmlChildIterator& other);
  XmlChildIterator& operator=(const XmlChildIterator& other);
  ~XmlChildIterator() override;

  // The first child and one past the last child of the handle's node.
  static XmlChildIterator begin_of(const XmlNodeRef& ref);
  static XmlChildIterator end_of(const XmlNodeRef& ref);

  bool valid() const override;
  bool at_end() const override;
  // The handle belongs to the iterator and is reused by the next dereference.
  XmlNodeRef& dereference() override;
  XmlNodeRef* dereference_ptr() override;
  XmlChildIterator& operator++() {
    increment();
    return *this;
  }
  XmlChildIterator& operator--() {
    decrement();
    return *this;
  }

  XmlRefHolder holder;

 private:
  // Used only when the holder could not get its handle.
  XmlNodeRef fallback_;
};

// The accessors a reader calls for every node, inline: the feed reader
// walks an answer's two thousand nodes through them.

inline XmlNode* XmlNodeRef::present() const {
  if (node == nullptr || node->type == XmlNodeType::Null) return nullptr;
  return node;
}
inline bool XmlNodeRef::is_null() const {
  return present() == nullptr;
}
inline bool XmlNodeRef::has_name() const {
  return present() != nullptr && node->name != nullptr;
}
inline bool XmlNodeRef::has_value() const {
  return present() != nullptr && node->value != nullptr;
}
inline const char16_t* XmlNodeRef::name_or_empty() const {
  return has_name() ? node->name : u"";
}
inline const char16_t* XmlNodeRef::value_or_empty() const {
  return has_value() ? node->value : u"";
}

inline bool XmlIteratorBase::not_equal(const XmlIteratorBase& other) const {
  return index != other.index;
}
inline XmlIteratorBase& XmlIteratorBase::increment() {
  if (index < INT32_MAX) ++index;
  return *this;
}

inline bool XmlChildIterator::valid() const {
  return node != nullptr && node->children != nullptr && node->child_count > 0;
}
inline bool XmlChildIterator::at_end() const {
  return !valid() || index < 0 || static_cast<uint32_t>(index) >= node->child_count;
}
inline XmlNodeRef& XmlChildIterator::dereference() {
  XmlNodeRef& ref = holder.ref != nullptr ? *holder.ref : fallback_;
  ref.node = at_end() ? &ref.empty : node->children[index];
  if (ref.node == nullptr) ref.node = &ref.empty;
  return ref;
}

}  // namespace quobble
