#include "search/feed_reader.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "platform/text.h"

namespace quobble {

namespace {

bool IsSpace(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

struct CleanUp {
  std::u16string_view target;
  std::u16string_view with;
};

// The clean-ups of a title, in the order they are made.
constexpr CleanUp kCleanUps[] = {
    {u"&lt;b&gt;", u""}, {u"&lt;/b&gt;", u""}, {u"&lt;center&gt;", u""}, {u"&lt;/center&gt;", u""},
    {u"&lt;l&gt;", u""}, {u"&lt;/l&gt;", u""}, {u"&lt;u&gt;", u""},      {u"&lt;/u&gt;", u""},
    {u"&nbsp;", u" "},   {u"&quot;", u"'"},
};

// The clean-up whose target starts at `rest` (which starts with '&'), or
// null. Targets never overlap: none starts inside another.
const CleanUp* CleanUpAt(std::u16string_view rest) {
  for (const CleanUp& c : kCleanUps) {
    if (rest.size() >= c.target.size() && rest[1] == c.target[1] &&
        rest.substr(0, c.target.size()) == c.target) {
      return &c;
    }
  }
  return nullptr;
}

bool HoldsCleanUp(std::u16string_view text) {
  for (size_t at = FindUnit(text, u'&'); at != std::u16string_view::npos;
       at = FindUnit(text, u'&', at + 1)) {
    if (CleanUpAt(text.substr(at)) != nullptr) return true;
  }
  return false;
}

// `title` cleaned up, into `out` (which must not be `title`'s storage).
void CleanInto(std::u16string_view title, std::u16string& out) {
  size_t amp = FindUnit(title, u'&');
  // Every text to clean up is a reference: most titles have none.
  if (amp == std::u16string_view::npos) {
    out.assign(title);
    return;
  }
  // All clean-ups in one pass. The rule is one replacement after another,
  // each over what the ones before left; the two differ only when a removal
  // joins the text around it into a new target, which the one pass leaves
  // in its result. Then (hardly ever) the replacements run one by one.
  out.assign(title.substr(0, amp));
  size_t from = amp;
  while (amp != std::u16string_view::npos) {
    out.append(title.substr(from, amp - from));
    const CleanUp* c = CleanUpAt(title.substr(amp));
    if (c == nullptr) {
      out += u'&';
      from = amp + 1;
    } else {
      out += c->with;
      from = amp + c->target.size();
    }
    amp = FindUnit(title, u'&', from);
  }
  out.append(title.substr(from));
  if (!HoldsCleanUp(out)) return;
  out.assign(title);
  for (const CleanUp& c : kCleanUps) ReplaceAll(out, c.target, c.with);
}

// The element's text: the value of its first child when that is a text. It
// lives as long as the document.
std::u16string_view TextOf(const XmlNodeRef& element) {
  const char16_t* text = element.child(0).value_or_empty();
  return std::u16string_view(text);
}

// Whether a name is exactly the literal `want`, compared where it stands
// without measuring either first: most names differ from `want` in the
// first character.
template <size_t N>
bool NameIs(const char16_t* name, const char16_t (&want)[N]) {
  for (size_t i = 0; i + 1 < N; ++i) {
    if (name[i] != want[i]) return false;
  }
  return name[N - 1] == 0;
}

std::unique_ptr<ProductRecord> ReadItem(const XmlNodeRef& item) {
  auto record = std::make_unique<ProductRecord>();
  const XmlChildIterator end = XmlChildIterator::end_of(item);
  for (XmlChildIterator it = XmlChildIterator::begin_of(item); it != end; ++it) {
    const XmlNodeRef& child = *it;
    const char16_t* name = child.name_or_empty();
    if (NameIs(name, u"title")) {
      CleanInto(TextOf(child), record->title);
    } else if (NameIs(name, u"link")) {
      record->link.assign(TextOf(child));
    } else if (NameIs(name, u"image")) {
      record->imageUrl.assign(TextOf(child));
    } else if (NameIs(name, u"lprice")) {
      record->lowPrice = ReadAnswerNumber(TextOf(child));
    } else if (NameIs(name, u"hprice")) {
      record->highPrice = ReadAnswerNumber(TextOf(child));
    }
  }
  return record;
}

}  // namespace

void ReadResultFeed(const XmlNodeRef& root, SearchState& state, SearchScreen& screen,
                    ProductList& list) {
  const XmlNodeRef channel = root.find_by_path(u"/rss/channel/", u"/");
  if (channel.is_null()) return;

  // A page holds at most what was asked for, whatever the server sends: an
  // answer of a million items must not become a million rows.
  const size_t pageLimit = static_cast<size_t>(std::clamp(state.pageSize, 1, kMaxPageSize));
  const XmlChildIterator end = XmlChildIterator::end_of(channel);
  for (XmlChildIterator it = XmlChildIterator::begin_of(channel); it != end; ++it) {
    const XmlNodeRef& child = *it;
    const char16_t* name = child.name_or_empty();
    if (NameIs(name, u"item")) {
      if (list.RecordCount() >= pageLimit) continue;
      auto record = ReadItem(child);
      // The row's index is the count of records kept so far; a refused row
      // drops its record, so the rows and the records stay in step.
      if (screen.InsertRow(static_cast<int>(list.RecordCount())))
        list.AppendRecord(std::move(record));
    } else if (NameIs(name, u"title")) {
      screen.SetTitleText(std::u16string(TextOf(child)));
    } else if (NameIs(name, u"total")) {
      state.total = ReadAnswerNumber(TextOf(child));
      screen.SetTotalText(FormatThousands(state.total));
    } else if (NameIs(name, u"start")) {
      state.start = ReadAnswerNumber(TextOf(child));
    } else if (NameIs(name, u"display")) {
      state.display = ReadAnswerNumber(TextOf(child));
      // In 64 bits: a hostile start near the 32-bit limit must not wrap
      // round and enable "->" or show a negative range.
      const int64_t end = int64_t{state.start} + state.display;
      screen.EnableNext(end < state.total);
      screen.EnablePrevious(state.start > 1);
      screen.SetRangeText(DecimalText(state.start) + u"~" + DecimalText(end));
    }
  }
}

namespace {

// text.find(what, from), looking for what's first unit eight at a time.
size_t Find(std::u16string_view text, std::u16string_view what, size_t from) {
  for (size_t at = FindUnit(text, what[0], from); at != std::u16string_view::npos;
       at = FindUnit(text, what[0], at + 1)) {
    if (text.substr(at, what.size()) == what) return at;
  }
  return std::u16string_view::npos;
}

}  // namespace

void ReplaceAll(std::u16string& text, std::u16string_view what, std::u16string_view with) {
  if (what.empty()) return;
  // Resuming inside a replacement that holds `what` would never end.
  const bool resumeAfter = with.find(what) != std::u16string_view::npos;
  size_t pos = Find(text, what, 0);
  while (pos != std::u16string::npos) {
    text.replace(pos, what.size(), with);
    if (resumeAfter) pos += with.size();
    pos = Find(text, what, pos);
  }
}

int32_t ReadAnswerNumber(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  // Counted in 64 bits and held at the limit: no digit string can overflow.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - u'0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value);
}

void CleanTitle(std::u16string& title) {
  std::u16string cleaned;
  CleanInto(title, cleaned);
  title = std::move(cleaned);
}

}  // namespace quobble
