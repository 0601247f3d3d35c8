#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "search/product_list.h"
#include "search/search_screen.h"
#include "search/search_state.h"
#include "xml/xml_document.h"

namespace quobble {

// Reads one answer of the shopping search: the channel's counts go into
// `state`, the labels and paging buttons onto `screen`, and each "item"
// becomes a record appended to `list` (one row announced for each), up to
// the page size asked for (state.pageSize, at most kMaxPageSize); items
// past it are skipped. An answer without "/rss/channel/" changes nothing.
void ReadResultFeed(const XmlNodeRef& root, SearchState& state, SearchScreen& screen,
                    ProductList& list);

// Replaces every `what` in `text` by `with`, left to right; the scan resumes
// at the start of each replacement, so an occurrence formed by a removal is
// replaced too. An empty `what` changes nothing.
void ReplaceAll(std::u16string& text, std::u16string_view what, std::u16string_view with);

// An answer's number: leading white space, a sign, then the digits up to the
// first other character; 0 without digits. Saturates at the 32-bit limits.
int32_t ReadAnswerNumber(std::u16string_view text);

// The title clean-ups: drops the escaped <b>, <center>, <l>, <u> tags, turns
// "&nbsp;" into a space and "&quot;" into an apostrophe.
void CleanTitle(std::u16string& title);

}  // namespace quobble
