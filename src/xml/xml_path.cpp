#include "xml/xml_document.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "xml/xml_pool.h"

namespace quobble {

namespace {

enum class SetResult { Member, NotMember, Unterminated };

// Matches one name character against the set that starts at `pattern` (its
// '['). On success `after` is the character after the closing ']'.
SetResult MatchSet(const char16_t* pattern, char16_t c, const char16_t*& after) {
  const char16_t* q = pattern + 1;
  bool negated = false;
  if (*q == u'!') {
    negated = true;
    ++q;
  }
  bool member = false;
  bool first = true;
  for (;;) {
    const char16_t x = *q;
    if (x == 0) return SetResult::Unterminated;
    if (x == u']' && !first) break;
    // x-y with x below y and y not ']' is a range; every other '-' is itself.
    if (q[1] == u'-' && q[2] != 0 && q[2] != u']' && x < q[2]) {
      if (c >= x && c <= q[2]) member = true;
      q += 3;
    } else {
      if (c == x) member = true;
      ++q;
    }
    first = false;
  }
  after = q + 1;
  return member != negated ? SetResult::Member : SetResult::NotMember;
}

}  // namespace

bool wildcard_match(const char16_t* pattern, const char16_t* name) {
  if (pattern == nullptr || name == nullptr) return false;
  const char16_t* p = pattern;
  const char16_t* n = name;
  // Only the latest '*' needs revisiting: whatever an earlier one could absorb
  // the later one can absorb too. This keeps the match linear in stack and
  // quadratic at worst in time, whatever the pattern.
  const char16_t* starPattern = nullptr;
  const char16_t* starName = nullptr;
  for (;;) {
    bool mismatch = false;
    if (*n == 0) {
      while (*p == u'*') ++p;
      if (*p == 0) return true;
      mismatch = true;
    } else if (*p == u'*') {
      while (*p == u'*' || *p == u'?') {
        if (*p == u'?' && *n != 0) ++n;
        ++p;
      }
      if (*n == 0) return *p == 0;
      starPattern = p;
      starName = n;
      continue;
    } else if (*p == u'?') {
      ++p;
      ++n;
      continue;
    } else if (*p == u'[') {
      const char16_t* after = nullptr;
      const SetResult r = MatchSet(p, *n, after);
      if (r == SetResult::Unterminated) return false;
      if (r == SetResult::Member) {
        p = after;
        ++n;
        continue;
      }
      mismatch = true;
    } else if (*p != 0 && *p == *n) {
      ++p;
      ++n;
      continue;
    } else {
      mismatch = true;
    }
    if (mismatch) {
      if (starPattern == nullptr || *starName == 0) return false;
      ++starName;
      p = starPattern;
      n = starName;
    }
  }
}

namespace {

// Cuts `copy` (the path's copy) at every delimiter, in place, and lists the
// pieces between them. False when the list cannot grow.
bool SplitPath(char16_t* copy, size_t length, const char16_t* delimiters,
               XmlStringList& segments) {
  const size_t delimiterCount = std::char_traits<char16_t>::length(delimiters);
  bool inSegment = false;
  for (size_t i = 0; i < length; ++i) {
    if (std::char_traits<char16_t>::find(delimiters, delimiterCount, copy[i]) != nullptr) {
      copy[i] = 0;
      inSegment = false;
    } else if (!inSegment) {
      inSegment = true;
      if (segments.add(copy + i) < 0) return false;
    }
  }
  return true;
}

// Moves `w` to its first child whose name matches `segment`.
bool MoveToMatchingChild(XmlNodeRef& w, const char16_t* segment) {
  XmlNode* at = w.node;
  if (at == nullptr || at->type == XmlNodeType::Null || at->children == nullptr) return false;
  for (uint32_t c = 0; c < at->child_count; ++c) {
    XmlNode* child = at->children[c];
    if (child != nullptr && child->name != nullptr && wildcard_match(segment, child->name)) {
      w.node = child;
      return true;
    }
  }
  return false;
}

// No child matched the segment at i: try the next sibling named like the
// node the walk stands on, else the parent's, taking the segment before
// again each time.
void Backtrack(XmlNodeRef& w, int32_t& i) {
  if (w.move_to_next_named_sibling(w.name_or_empty())) {
    if (i > 0) --i;
  } else if (!IsRoot(w.node) && w.move_to_parent() && !IsRoot(w.node)) {
    if (i > 0) --i;
    if (w.move_to_next_named_sibling(w.name_or_empty()) && i > 0) --i;
  }
}

}  // namespace

XmlNodeRef XmlNodeRef::find_by_path(const char16_t* path, const char16_t* delimiters) const {
  if (path == nullptr) return XmlNodeRef();
  if (delimiters == nullptr) delimiters = u"";
  const size_t length = std::char_traits<char16_t>::length(path);
  auto* copy = static_cast<char16_t*>(std::malloc((length + 1) * sizeof(char16_t)));
  if (copy == nullptr) return XmlNodeRef();
  std::memcpy(copy, path, (length + 1) * sizeof(char16_t));

  XmlStringList segments(4);
  XmlNodeRef result;
  if (SplitPath(copy, length, delimiters, segments) && segments.count > 0) {
    XmlNodeRef w(present());
    bool failed = false;
    if (delimiters[0] != 0 && path[0] == delimiters[0]) w.move_to_root();
    for (int32_t i = 0; i < segments.count; ++i) {
      const char16_t* s = segments.element(i);
      if (s[0] == u'.') {
        if (s[1] != u'.' || s[2] != 0) continue;  // "." and the like: skipped
        w.move_to_parent();
      } else if (!MoveToMatchingChild(w, s)) {
        Backtrack(w, i);
      }
      if (IsRoot(w.present())) {
        failed = true;
        break;
      }
    }
    if (!failed) result = XmlNodeRef(w.present());
  }
  std::free(copy);
  return result;
}

}  // namespace quobble
