#include "xml/xml_document.h"

#include <cstdlib>
#include <cstring>
#include <string>

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

bool IsRoot(const XmlNode* node) {
  return node != nullptr && node->parent == node && node->type == XmlNodeType::Document;
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

XmlNodeRef XmlNodeRef::find_by_path(const char16_t* path, const char16_t* delimiters) const {
  if (path == nullptr) return XmlNodeRef();
  if (delimiters == nullptr) delimiters = u"";
  const size_t length = std::char_traits<char16_t>::length(path);
  auto* copy = static_cast<char16_t*>(std::malloc((length + 1) * sizeof(char16_t)));
  if (copy == nullptr) return XmlNodeRef();
  std::memcpy(copy, path, (length + 1) * sizeof(char16_t));

  XmlStringList segments(4);
  bool inSegment = false;
  for (size_t i = 0; i < length; ++i) {
    if (std::char_traits<char16_t>::find(delimiters, std::char_traits<char16_t>::length(delimiters),
                                         copy[i]) != nullptr) {
      copy[i] = 0;
      inSegment = false;
    } else if (!inSegment) {
      inSegment = true;
      if (segments.add(copy + i) < 0) {
        std::free(copy);
        return XmlNodeRef();
      }
    }
  }

  XmlNodeRef result;
  if (segments.count > 0) {
    XmlNodeRef w(present());
    bool failed = false;
    if (delimiters[0] != 0 && path[0] == delimiters[0]) w.move_to_root();
    for (int32_t i = 0; i < segments.count; ++i) {
      const char16_t* s = segments.element(i);
      if (s[0] == u'.') {
        if (s[1] != u'.' || s[2] != 0) continue;  // "." and the like: skipped
        w.move_to_parent();
      } else {
        bool found = false;
        XmlNode* at = w.present();
        if (at != nullptr && at->children != nullptr) {
          for (uint32_t c = 0; c < at->child_count; ++c) {
            XmlNode* child = at->children[c];
            if (child != nullptr && child->name != nullptr && wildcard_match(s, child->name)) {
              w.node = child;
              found = true;
              break;
            }
          }
        }
        if (!found) {
          if (w.move_to_next_named_sibling(w.name_or_empty())) {
            if (i > 0) --i;
          } else if (!IsRoot(w.present()) && w.move_to_parent() && !IsRoot(w.present())) {
            if (i > 0) --i;
            if (w.move_to_next_named_sibling(w.name_or_empty()) && i > 0) --i;
          }
        }
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
