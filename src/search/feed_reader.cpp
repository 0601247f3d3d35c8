#include "search/feed_reader.h"

#include <limits>
#include <memory>

#include "platform/text.h"

namespace quobble {

namespace {

bool IsSpace(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

// The element's text: the value of its first child when that is a text. It
// lives as long as the document.
std::u16string_view TextOf(const XmlNodeRef& element) {
  const char16_t* text = element.child(0).value_or_empty();
  return std::u16string_view(text, WideLength(text));
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
      record->title.assign(TextOf(child));
      CleanTitle(record->title);
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

  const XmlChildIterator end = XmlChildIterator::end_of(channel);
  for (XmlChildIterator it = XmlChildIterator::begin_of(channel); it != end; ++it) {
    const XmlNodeRef& child = *it;
    const char16_t* name = child.name_or_empty();
    if (NameIs(name, u"item")) {
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
  // Every text to clean up is a reference: most titles have none.
  if (FindUnit(title, u'&') == std::u16string_view::npos) return;
  static constexpr std::u16string_view kDropped[] = {
      u"&lt;b&gt;", u"&lt;/b&gt;", u"&lt;center&gt;", u"&lt;/center&gt;",
      u"&lt;l&gt;", u"&lt;/l&gt;", u"&lt;u&gt;",      u"&lt;/u&gt;",
  };
  for (const auto tag : kDropped) ReplaceAll(title, tag, u"");
  ReplaceAll(title, u"&nbsp;", u" ");
  ReplaceAll(title, u"&quot;", u"'");
}

}  // namespace quobble
