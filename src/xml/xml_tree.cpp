#include "xml/xml_document.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "xml/xml_pool.h"

namespace quobble {

// ---- pool ----------------------------------------------------------------

XmlPool::~XmlPool() {
  while (blocks_ != nullptr) {
    Block* next = blocks_->next;
    std::free(blocks_);
    blocks_ = next;
  }
  while (firstNodeBlock_ != nullptr) {
    NodeBlock* next = firstNodeBlock_->next;
    std::free(firstNodeBlock_);
    firstNodeBlock_ = next;
  }
}

bool XmlPool::add_node_block() {
  const size_t size = (nextNodeBlockSize_ + 63) & ~size_t{63};
  auto* block = static_cast<NodeBlock*>(std::aligned_alloc(64, size));
  if (block == nullptr) return false;
  block->next = nullptr;
  block->capacity = (size - 64) / sizeof(XmlNode);
  if (lastNodeBlock_ == nullptr) {
    firstNodeBlock_ = block;
  } else {
    lastNodeBlock_->next = block;
  }
  lastNodeBlock_ = block;
  nodeCursor_ = block->nodes();
  nodeEnd_ = nodeCursor_ + block->capacity;
  if (nextNodeBlockSize_ < kMaxBlock) nextNodeBlockSize_ *= 2;
  return true;
}

void* XmlPool::allocate_slow(size_t size) {
  // Blocks double up to 32 MiB: small answers stay small, large ones make
  // few blocks.
  size_t blockSize = nextBlockSize_;
  if (blockSize < size + sizeof(Block)) blockSize = size + sizeof(Block);
  auto* block = static_cast<Block*>(std::malloc(blockSize));
  if (block == nullptr) return nullptr;
  block->next = blocks_;
  blocks_ = block;
  cursor_ = reinterpret_cast<char*>(block) + sizeof(Block);
  end_ = reinterpret_cast<char*>(block) + blockSize;
  if (nextBlockSize_ < kMaxBlock) nextBlockSize_ *= 2;
  void* result = cursor_;
  cursor_ += size;
  return result;
}

uint32_t next_capacity(uint32_t capacity, int32_t growth_step) {
  uint32_t grow = growth_step < 1 ? 1u : static_cast<uint32_t>(growth_step);
  if (capacity >= kGeometricGrowthFrom && capacity / 2 > grow) grow = capacity / 2;
  if (capacity > UINT32_MAX / sizeof(void*) - grow) return 0;
  return capacity + grow;
}

namespace {

bool HasOwnAttributeArray(XmlNodeType type) {
  return type != XmlNodeType::Document && type != XmlNodeType::Text && type != XmlNodeType::CData &&
         type != XmlNodeType::Comment && type != XmlNodeType::Include;
}

bool HasOwnChildArray(XmlNodeType type) {
  return type == XmlNodeType::Document || type == XmlNodeType::Element ||
         type == XmlNodeType::Doctype;
}

// Makes room for one more entry. A pooled array moves to a larger pooled
// array (the old one is abandoned to the pool: with growth by half beyond a
// few hundred slots that waste stays below twice the final array); a heap
// array is realloc'd, which may extend it in place.
template <typename T>
bool GrowArray(XmlPool* pool, XmlNode* node, T**& array, uint32_t& capacity, uint32_t count,
               int32_t growthStep, uint8_t pooledFlag) {
  // A pooled record starts without arrays; its first one has one slot.
  const uint32_t newCapacity =
      pool != nullptr && capacity == 0 ? 1 : next_capacity(capacity, growthStep);
  if (newCapacity == 0) return false;
  const bool pooled = (node->storage & pooledFlag) != 0;
  T** grown = nullptr;
  if (pool != nullptr) {
    grown = static_cast<T**>(pool->take_array(newCapacity));
    if (grown == nullptr) return false;
    if (count > 0) std::memcpy(grown, array, count * sizeof(T*));
    if (pooled) pool->give_array(array, capacity);
    node->storage |= pooledFlag;
  } else if (pooled || array == nullptr) {
    grown = static_cast<T**>(std::malloc(newCapacity * sizeof(T*)));
    if (grown == nullptr) return false;
    if (count > 0) std::memcpy(grown, array, count * sizeof(T*));
    node->storage &= static_cast<uint8_t>(~pooledFlag);
  } else {
    grown = static_cast<T**>(std::realloc(array, newCapacity * sizeof(T*)));
    if (grown == nullptr) return false;
  }
  array = grown;
  capacity = newCapacity;
  return true;
}

void ReleaseString(char16_t* text, bool inPlace) {
  if (!inPlace) std::free(text);
}

// Heap records added to a pooled tree: its root learns that the tree must be
// walked when it goes, or they would leak.
void MarkEdited(XmlNode* node) {
  if ((node->storage & XmlPooledRecord) == 0) return;
  while (node->parent != nullptr && node->parent != node) node = node->parent;
  node->storage |= XmlTreeEdited;
}

// Whether releasing the record frees anything: a parsed record frees
// nothing unless a caller gave it a heap string, array or attribute. Tested
// inline, so that the tear-down of a parsed tree only reads it.
inline bool HoldsHeapParts(const XmlNode* node) {
  const uint8_t storage = node->storage;
  return (storage & XmlPooledRecord) == 0 || !node->name_in_place || !node->value_in_place ||
         node->attribute_count > 0 ||
         (node->attributes != nullptr && (storage & XmlPooledAttributes) == 0) ||
         (node->children != nullptr && (storage & XmlPooledChildren) == 0);
}

// The strings a record owns (those whose in-place flag is false), its
// attributes' included.
void ReleaseOwnedStrings(XmlNode& node) {
  ReleaseString(node.name, node.name_in_place);
  ReleaseString(node.value, node.value_in_place);
  for (uint32_t i = 0; i < node.attribute_count; ++i) {
    XmlAttribute* attribute = node.attributes[i];
    if (attribute == nullptr) continue;
    ReleaseString(attribute->name, attribute->name_in_place);
    ReleaseString(attribute->value, attribute->value_in_place);
  }
}

void ReleaseNode(XmlNode* node) {
  ReleaseOwnedStrings(*node);
  for (uint32_t i = 0; i < node->attribute_count; ++i) {
    XmlAttribute* attribute = node->attributes[i];
    if (attribute != nullptr && (attribute->storage & XmlPooledRecord) == 0) delete attribute;
  }
  if ((node->storage & XmlPooledAttributes) == 0) std::free(node->attributes);
  if ((node->storage & XmlPooledChildren) == 0) std::free(node->children);
  if ((node->storage & XmlPooledRecord) == 0) delete node;
}

}  // namespace

// ---- tree building --------------------------------------------------------

XmlNode* create_node_in(XmlPool* pool, XmlNodeType type) {
  if (pool != nullptr) {
    // No arrays yet: most records never get attributes, and text records
    // never get children.
    void* memory = pool->allocate_node();
    if (memory == nullptr) return nullptr;
    XmlNode* node = new (memory) XmlNode;
    node->type = type;
    node->storage = XmlPooledRecord;
    return node;
  }
  const bool attributes = HasOwnAttributeArray(type);
  const bool children = HasOwnChildArray(type);
  XmlNode* node = new (std::nothrow) XmlNode;
  if (node == nullptr) return nullptr;
  node->type = type;
  if (attributes) {
    node->attributes = static_cast<XmlAttribute**>(std::malloc(sizeof(XmlAttribute*)));
    if (node->attributes != nullptr) node->attribute_capacity = 1;
  }
  if (children) {
    node->children = static_cast<XmlNode**>(std::malloc(sizeof(XmlNode*)));
    if (node->children != nullptr) node->child_capacity = 1;
  }
  return node;
}

XmlNode* create_parsed_root(XmlPool* pool) {
  void* memory = pool->allocate(sizeof(XmlParsedRoot));
  if (memory == nullptr) return nullptr;
  XmlNode* node = &(new (memory) XmlParsedRoot)->node;
  node->type = XmlNodeType::Document;
  node->parent = node;
  node->storage = XmlPooledRecord;
  return node;
}

XmlNode* create_node(XmlNodeType type) {
  return create_node_in(nullptr, type);
}

XmlNode* append_child_in(XmlPool* pool, XmlNode* parent, int32_t growthStep, XmlNodeType type) {
  if (parent == nullptr) return nullptr;
  if (pool == nullptr) MarkEdited(parent);
  if (parent->child_count >= parent->child_capacity &&
      !GrowArray(pool, parent, parent->children, parent->child_capacity, parent->child_count,
                 growthStep, XmlPooledChildren)) {
    return nullptr;
  }
  XmlNode* child = create_node_in(pool, type);
  if (child == nullptr) return nullptr;
  child->parent = parent;
  parent->children[parent->child_count++] = child;
  return child;
}

XmlNode* append_child(XmlNode* parent, int32_t growthStep, XmlNodeType type) {
  return append_child_in(nullptr, parent, growthStep, type);
}

XmlAttribute* append_attribute_in(XmlPool* pool, XmlNode* node, int32_t growthStep) {
  if (node == nullptr) return nullptr;
  if (pool == nullptr) MarkEdited(node);
  if (node->attribute_count >= node->attribute_capacity &&
      !GrowArray(pool, node, node->attributes, node->attribute_capacity, node->attribute_count,
                 growthStep, XmlPooledAttributes)) {
    return nullptr;
  }
  XmlAttribute* attribute = nullptr;
  if (pool != nullptr) {
    void* memory = pool->allocate(sizeof(XmlAttribute));
    if (memory == nullptr) return nullptr;
    attribute = new (memory) XmlAttribute;
    attribute->storage = XmlPooledRecord;
  } else {
    attribute = new (std::nothrow) XmlAttribute;
    if (attribute == nullptr) return nullptr;
  }
  node->attributes[node->attribute_count++] = attribute;
  return attribute;
}

XmlAttribute* append_attribute(XmlNode* node, int32_t growthStep) {
  return append_attribute_in(nullptr, node, growthStep);
}

namespace {

// Releases a tree by its parent links, never climbing above the node it was
// given: depth costs no stack, and a subtree handed in by mistake stays a
// subtree. Children go last-first.
void WalkAndRelease(XmlNode* root) {
  XmlNode* n = root;
  for (;;) {
    while (n->child_count > 0) {
      XmlNode* last = n->children[n->child_count - 1];
      if (last != nullptr && last->child_count > 0) {
        n = last;
        continue;
      }
      if (last != nullptr && HoldsHeapParts(last)) ReleaseNode(last);
      --n->child_count;
    }
    if (n == root || n->parent == n || n->parent == nullptr) break;
    n = n->parent;
  }
  ReleaseNode(n);
}

// What a tree built in `pool` holds outside it. Without appends by callers
// only strings can be there, found in one pass over the node records.
void ReleaseParsedTree(XmlNode* root, XmlPool* pool) {
  if ((root->storage & XmlTreeEdited) != 0) {
    WalkAndRelease(root);
    return;
  }
  ReleaseOwnedStrings(*root);
  pool->for_each_node([](XmlNode& node) {
    if (!node.name_in_place || !node.value_in_place || node.attribute_count > 0) {
      ReleaseOwnedStrings(node);
    }
  });
}

}  // namespace

void destroy_tree(XmlNode* root) {
  if (root == nullptr) return;
  if ((root->storage & XmlHandedOver) == 0) {
    WalkAndRelease(root);
    return;
  }
  // The record lives in the pool it names, so both are read first.
  auto* parsed = reinterpret_cast<XmlParsedRoot*>(root);
  XmlPool* pool = parsed->pool;
  char16_t* text = parsed->text;
  ReleaseParsedTree(root, pool);
  delete pool;
  std::free(text);
}

// ---- document -------------------------------------------------------------

XmlDocument::XmlDocument(int32_t growthStep, bool ownsTree)
    : growth_step(growthStep), owns_tree(ownsTree) {}

XmlDocument::~XmlDocument() {
  // A tree the document no longer owns keeps the pool and text its records
  // and strings live in.
  if (root != nullptr && !owns_tree && pool_ != nullptr &&
      (root->storage & XmlPooledRecord) != 0) {
    auto* parsed = reinterpret_cast<XmlParsedRoot*>(root);
    parsed->pool = pool_;
    parsed->text = text;
    root->storage |= XmlHandedOver;
    pool_ = nullptr;
    text = nullptr;
    root = nullptr;
  }
  if (!owns_tree) root = nullptr;
  clear();
}

void XmlDocument::clear() {
  if (root != nullptr && pool_ != nullptr && (root->storage & XmlPooledRecord) != 0) {
    ReleaseParsedTree(root, pool_);
  } else {
    destroy_tree(root);
  }
  root = nullptr;
  delete pool_;
  pool_ = nullptr;
  std::free(text);
  text = nullptr;
  stop_position = nullptr;
}

// ---- handle ---------------------------------------------------------------

namespace {

void MakeEmpty(XmlNode& empty) {
  std::memset(static_cast<void*>(&empty), 0, sizeof(empty));
  empty.type = XmlNodeType::Null;
  empty.parent = &empty;
}

}  // namespace

XmlNodeRef::XmlNodeRef() : node(&empty) {
  MakeEmpty(empty);
}

XmlNodeRef::XmlNodeRef(XmlNode* n) : node(&empty) {
  MakeEmpty(empty);
  if (n != nullptr) node = n;
}

XmlNodeRef::XmlNodeRef(const XmlNodeRef& other) : node(&empty) {
  MakeEmpty(empty);
  if (other.node != &other.empty && other.node != nullptr) node = other.node;
}

XmlNodeRef& XmlNodeRef::operator=(const XmlNodeRef& other) {
  if (this == &other) return *this;
  node = (other.node == &other.empty || other.node == nullptr) ? &empty : other.node;
  return *this;
}

XmlNodeRef::~XmlNodeRef() = default;

bool XmlNodeRef::name_matches(const char16_t* pattern) const {
  if (pattern == nullptr || node == nullptr || node->name == nullptr) return false;
  return wildcard_match(pattern, node->name);
}

XmlNodeRef XmlNodeRef::child(uint32_t index) const {
  if (node == nullptr || node->children == nullptr || index >= node->child_count) {
    return XmlNodeRef();
  }
  return XmlNodeRef(node->children[index]);
}

bool XmlNodeRef::move_to_root() {
  XmlNode* n = present();
  if (n == nullptr) return false;
  while (!IsRoot(n)) {
    // A detached node (no parent, or a self-linked non-document) is as high
    // as it goes.
    if (n->parent == nullptr || n->parent == n) break;
    n = n->parent;
  }
  node = n;
  return true;
}

bool XmlNodeRef::move_to_parent() {
  XmlNode* n = present();
  if (n == nullptr || IsRoot(n) || n->parent == nullptr) return false;
  node = n->parent;
  return true;
}

bool XmlNodeRef::move_to_sibling(uint32_t index) {
  XmlNode* n = present();
  if (n == nullptr || n->parent == nullptr || n->parent == n) return false;
  XmlNode* parent = n->parent;
  if (parent->children == nullptr || index >= parent->child_count) return false;
  node = parent->children[index];
  return true;
}

bool XmlNodeRef::move_to_next_named_sibling(const char16_t* pattern) {
  XmlNode* n = present();
  if (n == nullptr || IsRoot(n) || n->parent == nullptr || n->parent == n || pattern == nullptr) {
    return false;
  }
  XmlNode* parent = n->parent;
  if (parent->children == nullptr || parent->child_count <= 1) return false;
  uint32_t own = 0;
  while (own < parent->child_count && parent->children[own] != n) ++own;
  for (uint32_t i = own + 1; i < parent->child_count; ++i) {
    const XmlNode* sibling = parent->children[i];
    if (sibling != nullptr && sibling->name != nullptr && wildcard_match(pattern, sibling->name)) {
      return move_to_sibling(i);
    }
  }
  return false;
}

// ---- string list ----------------------------------------------------------

XmlStringList::XmlStringList(int32_t g) : growth(g < 1 ? 1 : g) {
  items = static_cast<char16_t**>(std::malloc(sizeof(char16_t*) * static_cast<size_t>(growth)));
  if (items != nullptr) capacity = growth;
}

XmlStringList::~XmlStringList() {
  std::free(items);
}

int32_t XmlStringList::add(char16_t* item) {
  if (count >= capacity) {
    if (capacity > INT32_MAX - growth) return -1;
    const int32_t grown = capacity + growth;
    auto* more = static_cast<char16_t**>(
        std::realloc(items, sizeof(char16_t*) * static_cast<size_t>(grown)));
    if (more == nullptr) return -1;
    items = more;
    capacity = grown;
  }
  items[count] = item;
  return count++;
}

char16_t*& XmlStringList::element_ref(int32_t index) {
  if (index < 0 || index >= count) {
    // Whatever a caller wrote there last time is gone: the spare reads null.
    spare_ = nullptr;
    return spare_;
  }
  return items[index];
}

char16_t* XmlStringList::element(int32_t index) const {
  if (index < 0 || index >= count) return nullptr;
  return items[index];
}

// ---- iteration ------------------------------------------------------------

XmlRefHolder::XmlRefHolder() : ref(new (std::nothrow) XmlNodeRef()) {}

XmlRefHolder::~XmlRefHolder() {
  delete ref;
}

XmlIteratorBase::~XmlIteratorBase() = default;

void XmlIteratorBase::set_index(int32_t i) {
  index = i;
}
int32_t XmlIteratorBase::get_index() const {
  return index;
}

XmlIteratorBase& XmlIteratorBase::assign(const XmlIteratorBase& other) {
  node = other.node;
  index = other.index;
  return *this;
}

bool XmlIteratorBase::equal(const XmlIteratorBase& other) const {
  return index == other.index;
}
bool XmlIteratorBase::less(const XmlIteratorBase& other) const {
  return index < other.index;
}
bool XmlIteratorBase::greater(const XmlIteratorBase& other) const {
  return index > other.index;
}
bool XmlIteratorBase::less_equal(const XmlIteratorBase& other) const {
  return index <= other.index;
}
bool XmlIteratorBase::greater_equal(const XmlIteratorBase& other) const {
  return index >= other.index;
}

XmlIteratorBase& XmlIteratorBase::decrement() {
  if (index > INT32_MIN) --index;
  return *this;
}

XmlChildIterator::XmlChildIterator(XmlNode* n, int32_t i) : XmlIteratorBase(n, i) {}

XmlChildIterator::XmlChildIterator(const XmlChildIterator& other)
    : XmlIteratorBase(other.node, other.index) {}

XmlChildIterator& XmlChildIterator::operator=(const XmlChildIterator& other) {
  assign(other);
  return *this;
}

XmlChildIterator::~XmlChildIterator() = default;

namespace {
XmlNode* PresentNode(const XmlNodeRef& ref) {
  if (ref.node == nullptr || ref.node->type == XmlNodeType::Null) return nullptr;
  return ref.node;
}
}  // namespace

XmlChildIterator XmlChildIterator::begin_of(const XmlNodeRef& ref) {
  return XmlChildIterator(PresentNode(ref), 0);
}

XmlChildIterator XmlChildIterator::end_of(const XmlNodeRef& ref) {
  XmlNode* n = PresentNode(ref);
  const uint32_t count = n == nullptr ? 0 : n->child_count;
  return XmlChildIterator(n, count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count));
}

XmlNodeRef* XmlChildIterator::dereference_ptr() {
  return &dereference();
}

}  // namespace quobble
