#include "xml/xml_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"

namespace quobble {
namespace {

// A parsed tree over its own text, released at the end of the test.
class Tree {
 public:
  explicit Tree(const char16_t* xml, XmlParseOptions options = 0) : text_(xml) {
    root = create_node(XmlNodeType::Document);
    root->parent = root;
    parse(text_.data(), root, 4, options);
  }
  ~Tree() { destroy_tree(root); }
  XmlNodeRef Ref() const { return XmlNodeRef(root); }
  XmlNode* root;

 private:
  std::u16string text_;
};

std::u16string Name(const XmlNodeRef& ref) {
  return ref.name_or_empty();
}

TEST(CreateNode, ArraysByType) {
  struct {
    XmlNodeType type;
    uint32_t attributes;
    uint32_t children;
  } cases[] = {
      {XmlNodeType::Document, 0, 1},   {XmlNodeType::Element, 1, 1},
      {XmlNodeType::Text, 0, 0},       {XmlNodeType::CData, 0, 0},
      {XmlNodeType::Comment, 0, 0},    {XmlNodeType::Include, 0, 0},
      {XmlNodeType::Doctype, 1, 1},    {XmlNodeType::ProcessingInstruction, 1, 0},
      {XmlNodeType::EntityDecl, 1, 0},
  };
  for (const auto& c : cases) {
    XmlNode* n = create_node(c.type);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->attribute_capacity, c.attributes) << static_cast<int>(c.type);
    EXPECT_EQ(n->child_capacity, c.children) << static_cast<int>(c.type);
    EXPECT_EQ(n->attributes != nullptr, c.attributes == 1);
    EXPECT_EQ(n->children != nullptr, c.children == 1);
    EXPECT_TRUE(n->name_in_place && n->value_in_place);
    n->parent = n;
    destroy_tree(n);
  }
}

TEST(AppendChild, GrowsByTheStepThenGeometrically) {
  XmlNode* root = create_node(XmlNodeType::Document);
  root->parent = root;
  std::vector<uint32_t> capacities;
  for (int i = 0; i < 2000; ++i) {
    XmlNode* child = append_child(root, 4, XmlNodeType::Element);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->parent, root);
    if (capacities.empty() || capacities.back() != root->child_capacity) {
      capacities.push_back(root->child_capacity);
    }
  }
  EXPECT_EQ(capacities[0], 1u);
  EXPECT_EQ(capacities[1], 5u);
  EXPECT_EQ(capacities[2], 9u);
  // Step growth for small arrays, half the size once they are large: 2000
  // children need a few dozen reallocations, not 500.
  EXPECT_LT(capacities.size(), 80u);
  EXPECT_EQ(root->children[1999]->parent, root);
  EXPECT_EQ(append_child(nullptr, 4, XmlNodeType::Element), nullptr);
  destroy_tree(root);
}

TEST(AppendChild, NonPositiveStepStillGrows) {
  // A step of 0 would "grow" a full array by nothing and write past it.
  for (int32_t step : {0, -3}) {
    XmlNode* root = create_node(XmlNodeType::Document);
    root->parent = root;
    for (int i = 0; i < 20; ++i) ASSERT_NE(append_child(root, step, XmlNodeType::Text), nullptr);
    XmlNode* e = root->children[0];
    (void)e;
    EXPECT_EQ(root->child_count, 20u);
    EXPECT_GE(root->child_capacity, 20u);
    destroy_tree(root);
  }
}

TEST(AppendAttribute, KeepsOrderAndOwnsStrings) {
  XmlNode* root = create_node(XmlNodeType::Document);
  root->parent = root;
  XmlNode* e = append_child(root, 4, XmlNodeType::Element);
  for (int i = 0; i < 10; ++i) {
    XmlAttribute* a = append_attribute(e, 4);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->name, nullptr);
    EXPECT_EQ(a->value, nullptr);
  }
  EXPECT_EQ(e->attribute_count, 10u);
  // A string that is not in place is released with its node.
  e->attributes[3]->value = static_cast<char16_t*>(std::calloc(4, sizeof(char16_t)));
  e->attributes[3]->value_in_place = false;
  e->name = static_cast<char16_t*>(std::calloc(4, sizeof(char16_t)));
  e->name_in_place = false;
  EXPECT_EQ(append_attribute(nullptr, 4), nullptr);
  destroy_tree(root);  // LeakSanitizer checks the strings went too
}

TEST(DestroyTree, DeepAndWideTreesWithoutRecursion) {
  XmlNode* root = create_node(XmlNodeType::Document);
  root->parent = root;
  XmlNode* n = root;
  for (int i = 0; i < 100000; ++i) {
    XmlNode* child = append_child(n, 4, XmlNodeType::Element);
    ASSERT_NE(child, nullptr);
    append_child(n, 4, XmlNodeType::Text);  // a leaf beside each level
    n = child;
  }
  destroy_tree(root);
  destroy_tree(nullptr);
}

TEST(Document, ClearAndDestructorReleaseEverything) {
  XmlDocument doc;
  EXPECT_EQ(doc.growth_step, 4);
  EXPECT_TRUE(doc.owns_tree);
  doc.root = create_node(XmlNodeType::Document);
  doc.root->parent = doc.root;
  append_child(doc.root, 4, XmlNodeType::Element);
  doc.text = static_cast<char16_t*>(std::calloc(8, sizeof(char16_t)));
  doc.owns_tree = false;
  doc.clear();  // whatever owns_tree says
  EXPECT_EQ(doc.root, nullptr);
  EXPECT_EQ(doc.text, nullptr);
}

TEST(Handle, NullHandlesAreSafe) {
  XmlNodeRef null;
  EXPECT_TRUE(null.is_null());
  EXPECT_EQ(null.node, &null.empty);
  EXPECT_EQ(null.empty.type, XmlNodeType::Null);
  EXPECT_EQ(null.empty.parent, &null.empty);
  EXPECT_FALSE(null.has_name());
  EXPECT_FALSE(null.has_value());
  EXPECT_FALSE(null.name_matches(u"*"));
  EXPECT_TRUE(null.child(0).is_null());
  EXPECT_FALSE(null.move_to_root());
  EXPECT_FALSE(null.move_to_parent());
  EXPECT_FALSE(null.move_to_sibling(0));
  EXPECT_FALSE(null.move_to_next_named_sibling(u"*"));
  EXPECT_TRUE(null.find_by_path(u"/a", u"/").is_null());
  EXPECT_EQ(std::u16string(null.name_or_empty()), u"");

  XmlNodeRef missing;
  missing.node = nullptr;
  EXPECT_TRUE(missing.is_null());
  EXPECT_FALSE(missing.has_name());
  EXPECT_TRUE(missing.child(0).is_null());
  EXPECT_FALSE(missing.move_to_root());

  // A copy of a null handle must not point into the handle it came from.
  auto* original = new XmlNodeRef;
  XmlNodeRef copy(*original);
  XmlNodeRef assigned;
  assigned = *original;
  delete original;
  EXPECT_EQ(copy.node, &copy.empty);
  EXPECT_EQ(assigned.node, &assigned.empty);
}

TEST(Handle, ChildrenMovesAndSiblings) {
  Tree t(u"<r><a>1</a><b/><a>2</a><title></title></r>");
  XmlNodeRef r = t.Ref().child(0);
  EXPECT_EQ(Name(r), u"r");
  EXPECT_TRUE(r.child(5).is_null());
  EXPECT_TRUE(r.child(4).is_null());
  EXPECT_EQ(std::u16string(r.child(0).child(0).value_or_empty()), u"1");
  // An element without children reads as "".
  EXPECT_TRUE(r.child(3).child(0).is_null());
  EXPECT_FALSE(r.child(3).child(0).has_value());

  XmlNodeRef w = r.child(0);
  EXPECT_TRUE(w.move_to_next_named_sibling(u"a"));
  EXPECT_EQ(std::u16string(w.child(0).value_or_empty()), u"2");
  EXPECT_FALSE(w.move_to_next_named_sibling(u"a"));
  EXPECT_TRUE(w.move_to_sibling(1));
  EXPECT_EQ(Name(w), u"b");
  EXPECT_FALSE(w.move_to_sibling(4));
  EXPECT_EQ(Name(w), u"b");
  EXPECT_TRUE(w.move_to_parent());
  EXPECT_EQ(Name(w), u"r");
  EXPECT_TRUE(w.move_to_parent());
  EXPECT_EQ(w.node, t.root);
  EXPECT_FALSE(w.move_to_parent());
  EXPECT_FALSE(w.move_to_sibling(0));
  EXPECT_FALSE(w.move_to_next_named_sibling(u"*"));
  XmlNodeRef deep = r.child(2).child(0);
  EXPECT_TRUE(deep.move_to_root());
  EXPECT_EQ(deep.node, t.root);

  XmlNodeRef only = Tree(u"<x/>").Ref();  // root of a tree already gone: pointer only
  (void)only;
}

TEST(Iterator, VisitsChildrenInOrder) {
  Tree t(u"<r><a/><b/><c/></r>");
  XmlNodeRef r = t.Ref().child(0);
  std::u16string seen;
  for (XmlChildIterator it = XmlChildIterator::begin_of(r), end = XmlChildIterator::end_of(r);
       it != end; ++it) {
    XmlNodeRef& child = *it;
    ASSERT_TRUE(child.has_name());
    seen += child.node->name;
  }
  EXPECT_EQ(seen, u"abc");

  XmlChildIterator it = XmlChildIterator::begin_of(r);
  XmlChildIterator end = XmlChildIterator::end_of(r);
  EXPECT_TRUE(it < end && end > it && it <= it && it >= it);
  it.set_index(3);
  EXPECT_TRUE(it.at_end());
  EXPECT_TRUE((*it).is_null());
  it.decrement();
  EXPECT_EQ(Name(*it), u"c");
  EXPECT_EQ(it->node->name[0], u'c');
  it.set_index(-1);
  EXPECT_TRUE(it.at_end());

  // A node without children: the loop body never runs.
  XmlNodeRef leaf = r.child(0);
  EXPECT_TRUE(XmlChildIterator::begin_of(leaf) == XmlChildIterator::end_of(leaf));
  EXPECT_FALSE(XmlChildIterator::begin_of(leaf).valid());
  XmlNodeRef null;
  EXPECT_TRUE(XmlChildIterator::begin_of(null) == XmlChildIterator::end_of(null));
}

TEST(StringList, GrowsAndAnswersNullPastTheEnd) {
  XmlStringList list(4);
  std::u16string s = u"x";
  for (int i = 0; i < 9; ++i) EXPECT_EQ(list.add(s.data()), i);
  EXPECT_EQ(list.count, 9);
  EXPECT_GE(list.capacity, 9);
  EXPECT_EQ(list.element(8), s.data());
  EXPECT_EQ(list.element(9), nullptr);
  EXPECT_EQ(list.element(-1), nullptr);
  list.element_ref(20) = s.data();
  EXPECT_EQ(list.element_ref(21), nullptr);
}

TEST(Wildcard, Patterns) {
  struct {
    const char16_t* pattern;
    const char16_t* name;
    bool match;
  } cases[] = {
      {u"", u"", true},
      {u"", u"a", false},
      {u"a", u"", false},
      {u"*", u"", true},
      {u"*", u"anything", true},
      {u"***", u"x", true},
      {u"r*", u"rss", true},
      {u"*s", u"rss", true},
      {u"*x*", u"rss", false},
      {u"ch?nnel", u"channel", true},
      {u"ch?nnel", u"chnnel", false},
      {u"?", u"", false},
      {u"*?", u"", false},
      {u"*?", u"a", true},
      {u"a*b*c", u"aXbYc", true},
      {u"a*b*c", u"aXbY", false},
      {u"*ab", u"aab", true},
      {u"[a-d]hannel", u"channel", true},
      {u"[a-b]hannel", u"channel", false},
      {u"[!c]hannel", u"channel", false},
      {u"[!c]hannel", u"xhannel", true},
      {u"[]]", u"]", true},
      {u"[!]]", u"]", false},
      {u"[!]]", u"a", true},
      {u"[-a]", u"-", true},
      {u"[a-]", u"-", true},
      {u"[d-a]", u"b", false},  // not a range: d, -, a
      {u"[d-a]", u"-", true},
      {u"[a-]]", u"]", false},  // "a-" then a literal ']' after the set
      {u"[a-]]", u"a]", true},
      {u"[abc", u"a", false},  // unterminated: never matches
      {u"*[abc", u"xa", false},
      {u"가*", u"가격", true},
      {u"RSS", u"rss", false},
      {u"*a*a*a*a*a*a*a*a*a*a*a*a*b", u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wildcard_match(c.pattern, c.name), c.match)
        << Utf16ToUtf8(c.pattern) << " ~ " << Utf16ToUtf8(c.name);
  }
  EXPECT_FALSE(wildcard_match(nullptr, u"a"));
  EXPECT_FALSE(wildcard_match(u"a", nullptr));
}

TEST(FindByPath, Lookups) {
  Tree t(u"<rss><channel><title>T</title><item>1</item></channel></rss>");
  const XmlNodeRef root = t.Ref();
  XmlNode* channel = root.child(0).child(0).node;
  struct {
    const char16_t* path;
    XmlNode* expected;
  } cases[] = {
      {u"/rss/channel/", channel},
      {u"rss/channel", channel},
      {u"//rss///channel", channel},
      {u"/rss/./channel", channel},
      {u"/rss/../rss/channel", nullptr},
      {u"/r*/ch?nnel", channel},
      {u"/rss/[a-d]hannel", channel},
      {u"/rss/[!c]hannel", nullptr},
      {u"/", nullptr},
      {u"", nullptr},
      {u"/rss/nothing", nullptr},
      {u"/atom/channel", nullptr},
  };
  for (const auto& c : cases) {
    const XmlNodeRef found = root.find_by_path(c.path, u"/");
    if (c.expected == nullptr) {
      EXPECT_TRUE(found.is_null()) << Utf16ToUtf8(c.path);
      EXPECT_EQ(found.node->type, XmlNodeType::Null);
      EXPECT_FALSE(found.has_name());
      EXPECT_FALSE(found.has_value());
    } else {
      EXPECT_EQ(found.node, c.expected) << Utf16ToUtf8(c.path);
    }
  }
  EXPECT_TRUE(root.find_by_path(nullptr, u"/").is_null());
  // Relative to a node below the root.
  EXPECT_EQ(Name(root.child(0).find_by_path(u"channel/item", u"/")), u"item");
}

TEST(FindByPath, BacktracksOverSameNamedSiblings) {
  Tree t(u"<rss><x/></rss><rss><channel><item/></channel></rss>");
  const XmlNodeRef found = t.Ref().find_by_path(u"/rss/channel/", u"/");
  EXPECT_EQ(found.node, t.root->children[1]->children[0]);

  // The parent's later namesake is tried with the previous segment.
  Tree u(u"<a><b><c/></b></a><a><b><d/></b></a>");
  EXPECT_EQ(Name(u.Ref().find_by_path(u"/a/b/d", u"/")), u"d");
  EXPECT_TRUE(u.Ref().find_by_path(u"/a/b/e", u"/").is_null());
}

TEST(FindByPath, TerminatesOnManySiblings) {
  std::u16string xml;
  for (int i = 0; i < 2000; ++i) xml += u"<rss><a><b/></a><a/></rss>";
  xml += u"<rss><channel/></rss>";
  Tree t(xml.c_str());
  EXPECT_EQ(Name(t.Ref().find_by_path(u"/rss/channel", u"/")), u"channel");
  EXPECT_TRUE(t.Ref().find_by_path(u"/rss/a/c", u"/").is_null());
}

}  // namespace
}  // namespace quobble
