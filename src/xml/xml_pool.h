#pragma once
#include <cstddef>
#include <cstdint>
#include <new>

#include "xml/xml_document.h"

namespace quobble {

// A bump allocator for the records of one parsed tree. The tree made by
// parse_file is released as a whole with the document's text, so its records
// need no frees of their own; one pool allocation costs a pointer bump instead
// of a malloc, and a record costs its size and no heap header.
class XmlPool {
  static constexpr size_t kMinBlock = 16 * 1024;
  static constexpr size_t kMaxBlock = 32 * 1024 * 1024;

 public:
  XmlPool() = default;
  // The first block sized for the expected tree, so that a typical answer
  // takes one block: one malloc, no mmap and no page faults of its own.
  // Node records take about four fifths of a parsed tree.
  explicit XmlPool(size_t expected)
      : nextNodeBlockSize_(Clamp(expected / 5 * 4)), nextBlockSize_(Clamp(expected / 5)) {}
  ~XmlPool();
  XmlPool(const XmlPool&) = delete;
  XmlPool& operator=(const XmlPool&) = delete;

  // 8-byte aligned memory, or null when no memory can be had.
  void* allocate(size_t size) {
    size = (size + 7) & ~size_t{7};
    if (static_cast<size_t>(end_ - cursor_) < size) return allocate_slow(size);
    void* result = cursor_;
    cursor_ += size;
    return result;
  }

  // A pointer array of `capacity` slots. Arrays that a growth left behind
  // are taken again first: each item of an answer grows its child array
  // through the same capacities as the item before it, so without reuse
  // two thirds of its slots would be abandoned.
  void* take_array(uint32_t capacity) {
    if (capacity >= kReusedCapacities || spare_[capacity] == nullptr) {
      return allocate(size_t{capacity} * sizeof(void*));
    }
    void* array = spare_[capacity];
    spare_[capacity] = *static_cast<void**>(array);
    return array;
  }
  void give_array(void* array, uint32_t capacity) {
    if (array == nullptr || capacity == 0 || capacity >= kReusedCapacities) return;
    *static_cast<void**>(array) = spare_[capacity];
    spare_[capacity] = array;
  }

  // Node records have blocks of their own, so that every record of a tree
  // can be looked over in one sequential pass (for_each_node), a fraction
  // of the cost of a walk by pointers.
  XmlNode* allocate_node() {
    if (nodeCursor_ == nodeEnd_ && !add_node_block()) return nullptr;
    return nodeCursor_++;
  }
  // f(XmlNode&) on every node record handed out, oldest first.
  template <typename F>
  void for_each_node(F&& f) {
    for (NodeBlock* b = firstNodeBlock_; b != nullptr; b = b->next) {
      XmlNode* end = b->next == nullptr ? nodeCursor_ : b->nodes() + b->capacity;
      for (XmlNode* n = b->nodes(); n != end; ++n) f(*n);
    }
  }

 private:
  void* allocate_slow(size_t size);
  bool add_node_block();

  // The records follow the header, a cache line in.
  struct NodeBlock {
    NodeBlock* next;
    size_t capacity;
    XmlNode* nodes() { return reinterpret_cast<XmlNode*>(reinterpret_cast<char*>(this) + 64); }
  };
  NodeBlock* firstNodeBlock_ = nullptr;
  NodeBlock* lastNodeBlock_ = nullptr;
  XmlNode* nodeCursor_ = nullptr;
  XmlNode* nodeEnd_ = nullptr;
  size_t nextNodeBlockSize_ = kMinBlock;
  static constexpr uint32_t kReusedCapacities = 64;
  void* spare_[kReusedCapacities] = {};

  struct Block {
    Block* next;
  };
  Block* blocks_ = nullptr;
  char* cursor_ = nullptr;
  char* end_ = nullptr;
  static constexpr size_t Clamp(size_t size) {
    return size < kMinBlock ? kMinBlock : size > kMaxBlock ? kMaxBlock : size;
  }
  size_t nextBlockSize_ = kMinBlock;
};

// From this capacity on, arrays grow by half their size instead of the
// document's step, so n appends cost O(n) copies rather than O(n^2 / step).
inline constexpr uint32_t kGeometricGrowthFrom = 256;

// The capacity after one growth of a full array; 0 on overflow.
uint32_t next_capacity(uint32_t capacity, int32_t growth_step);

// The root of a tree built by parse_file. The pool and the text the tree
// lives in are kept beside its record once the document hands the tree over,
// so that destroy_tree can release them with it.
struct XmlParsedRoot {
  XmlNode node;
  XmlPool* pool = nullptr;
  char16_t* text = nullptr;
};
XmlNode* create_parsed_root(XmlPool* pool);

// A root: a Document node that is its own parent.
inline bool IsRoot(const XmlNode* node) {
  return node != nullptr && node->parent == node && node->type == XmlNodeType::Document;
}

// The building blocks of parse_file's tree: with a pool, the records and small
// arrays come from it; with none, they behave exactly as create_node,
// append_child and append_attribute.
XmlNode* create_node_in(XmlPool* pool, XmlNodeType type);
XmlNode* append_child_in(XmlPool* pool, XmlNode* parent, int32_t growth_step, XmlNodeType type);
XmlAttribute* append_attribute_in(XmlPool* pool, XmlNode* node, int32_t growth_step);

// append_child_in with a pool, with the common cases inline: room in the
// parent's array, or a parsed record's first child.
inline XmlNode* append_pooled_child(XmlPool* pool, XmlNode* parent, int32_t growth_step,
                                    XmlNodeType type) {
  if (parent->child_count >= parent->child_capacity) {
    if (parent->child_capacity != 0 || (parent->storage & XmlPooledRecord) == 0) {
      return append_child_in(pool, parent, growth_step, type);
    }
    void* array = pool->take_array(1);
    if (array == nullptr) return nullptr;
    parent->children = static_cast<XmlNode**>(array);
    parent->child_capacity = 1;
    parent->storage |= XmlPooledChildren;
  }
  void* memory = pool->allocate_node();
  if (memory == nullptr) return nullptr;
  XmlNode* child = new (memory) XmlNode;
  child->type = type;
  child->storage = XmlPooledRecord;
  child->parent = parent;
  parent->children[parent->child_count++] = child;
  return child;
}

// parse with the pool to take records from; depth counts internal-subset
// re-parses so that nested DOCTYPEs cannot exhaust the stack. `padded`: the
// text's buffer starts 16-byte aligned and has kXmlTextPadding units after
// its terminator (xml_decode.h), so the parser may scan it in blocks.
char16_t* parse_in(XmlPool* pool, char16_t* text, XmlNode* cursor, int32_t growth_step,
                   XmlParseOptions options, int depth, bool padded);

}  // namespace quobble
