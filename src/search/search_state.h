#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "search/service.h"

namespace quobble {

// The data folder of every file the search keeps (the answer, the cache).
inline constexpr std::u16string_view kDataFolder = u"\\VOVo Vidav\\quobble\\";
// The key the service expects when nobody configured one (QUOBBLE_API_KEY).
inline constexpr std::string_view kDefaultApiKey = "5d0c7e3b9a14f6820c3e7d9b1a5f4e27";

// The largest page the menu offers, and so the most records a page holds.
inline constexpr int32_t kMaxPageSize = 100;
// The query box holds at most this many UTF-16 units.
inline constexpr size_t kQueryLimit = 127;
// What an empty query is answered with (caption "Warning").
inline constexpr std::u16string_view kEmptyQueryWarning = u"검색어를 넣어주세요.";
// The agent name every internet session is opened with.
inline constexpr char16_t kInternetAgent[] = u"QUOBBLE";

// The query as the box would hold it: at most kQueryLimit units, never
// ending in half a surrogate pair.
std::u16string LimitQuery(std::u16string_view query);

enum class MenuGroup { None, PageSize, Sort };

// One sort or page-size choice of the "Option" menu.
struct MenuChoice {
  int commandId;
  MenuGroup group;
  std::u16string_view label;    // as the menu shows it
  std::u16string_view sortKey;  // Sort: the request's sort value
  int32_t pageSize;             // PageSize: results per page
};
// Every choice, sort choices first, each group in menu order.
std::span<const MenuChoice> MenuChoices();
// The command of a page size or sort key; 0 when the menu offers none.
int PageSizeCommand(int32_t pageSize);
int SortCommand(std::u16string_view sortKey);

struct SearchState {
  int32_t pageSize = 10;
  std::u16string sortKey = u"sim";
  int32_t start = 0;
  int32_t total = 0;
  int32_t display = 0;
  int32_t pendingCommand = 0;
  std::u16string dataFolder;

  // Start index for ID_SEARCH, ID_PREV_PAGE or ID_NEXT_PAGE, from the last
  // answer's start and display (not pageSize). Saturates instead of
  // overflowing.
  int32_t StartIndexFor(int commandId) const;
  // Applies a sort or page-size menu command; reports its group.
  MenuGroup ApplyMenuCommand(int commandId);
};

// Every byte of the query's UTF-8 form as "%xx" (lowercase hex), nothing left
// unescaped. No length limit: the result is never cut and never ends in a
// partial escape.
std::u16string PercentEncodeQuery(std::u16string_view query);

// ENDPOINT/search?key=KEY&query=Q&display=N&start=S&target=shop&sort=K, with
// the endpoint's own path in place of "/search" when it has one.
std::u16string BuildRequestUrl(std::u16string_view encodedQuery, int32_t pageSize, int32_t start,
                               std::u16string_view sortKey);
std::u16string AnswerFilePath(std::u16string_view dataFolder);

// QUOBBLE_API_KEY, else kDefaultApiKey.
std::u16string ApiKey();

}  // namespace quobble
