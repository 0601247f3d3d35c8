#include "search/search_state.h"

#include <cstdlib>
#include <limits>
#include <mutex>

#include "platform/text.h"
#include "search/commands.h"

namespace quobble {

namespace {

int32_t Saturate(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

}  // namespace

int32_t SearchState::StartIndexFor(int commandId) const {
  switch (commandId) {
    case ID_PREV_PAGE: {
      const int32_t s = Saturate(int64_t{start} - display);
      return s < 1 ? 1 : s;
    }
    case ID_NEXT_PAGE:
      return Saturate(int64_t{start} + display);
    default:
      return 1;
  }
}

MenuGroup SearchState::ApplyMenuCommand(int commandId) {
  for (const MenuChoice& choice : MenuChoices()) {
    if (choice.commandId != commandId) continue;
    if (choice.group == MenuGroup::PageSize)
      pageSize = choice.pageSize;
    else
      sortKey = choice.sortKey;
    return choice.group;
  }
  return MenuGroup::None;
}

std::span<const MenuChoice> MenuChoices() {
  static constexpr MenuChoice kChoices[] = {
      {ID_SORT_SIM, MenuGroup::Sort, u"Similarity", u"sim", 0},
      {ID_SORT_DATE, MenuGroup::Sort, u"Update", u"date", 0},
      {ID_SORT_DSC, MenuGroup::Sort, u"High Price", u"dsc", 0},
      {ID_SORT_ASC, MenuGroup::Sort, u"Low Price", u"asc", 0},
      {ID_DISPLAY_10, MenuGroup::PageSize, u"10", {}, 10},
      {ID_DISPLAY_30, MenuGroup::PageSize, u"30", {}, 30},
      {ID_DISPLAY_50, MenuGroup::PageSize, u"50", {}, 50},
      {ID_DISPLAY_75, MenuGroup::PageSize, u"75", {}, 75},
      {ID_DISPLAY_100, MenuGroup::PageSize, u"100", {}, 100},
  };
  return kChoices;
}

int PageSizeCommand(int32_t pageSize) {
  for (const MenuChoice& choice : MenuChoices())
    if (choice.group == MenuGroup::PageSize && choice.pageSize == pageSize) return choice.commandId;
  return 0;
}

int SortCommand(std::u16string_view sortKey) {
  for (const MenuChoice& choice : MenuChoices())
    if (choice.group == MenuGroup::Sort && choice.sortKey == sortKey) return choice.commandId;
  return 0;
}

std::u16string LimitQuery(std::u16string_view query) {
  std::u16string_view kept = CutUtf16(query, kQueryLimit);
  // A screen that cut the text itself may have left half a pair at the end.
  if (!kept.empty() && IsHighSurrogate(kept.back())) kept.remove_suffix(1);
  return std::u16string(kept);
}

std::u16string PercentEncodeQuery(std::u16string_view query) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  const std::string utf8 = Utf16ToUtf8(query);
  std::u16string out;
  out.reserve(utf8.size() * 3);
  for (unsigned char byte : utf8) {
    out.push_back(u'%');
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0xF]);
  }
  return out;
}

std::u16string BuildRequestUrl(std::u16string_view encodedQuery, int32_t pageSize, int32_t start,
                               std::u16string_view sortKey) {
  std::u16string url = ServiceEndpoint();
  url += ServicePath();
  url += u"?key=";
  url += ApiKey();
  url += u"&query=";
  url += encodedQuery;
  url += u"&display=";
  AppendDecimal(url, pageSize);
  url += u"&start=";
  AppendDecimal(url, start);
  url += u"&target=shop&sort=";
  url += sortKey;
  return url;
}

std::u16string AnswerFilePath(std::u16string_view dataFolder) {
  std::u16string path(dataFolder);
  path += u"GoodsDataTemp.xml";
  return path;
}

std::u16string ApiKey() {
  const char* env = std::getenv("QUOBBLE_API_KEY");
  return Utf8ToUtf16(env != nullptr && *env != '\0' ? std::string_view(env) : kDefaultApiKey);
}

}  // namespace quobble
