#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quobble {

// Server text made safe for a terminal, as UTF-8: control characters (which
// could move the cursor or retitle the window) become U+FFFD.
std::string TerminalText(std::u16string_view text);

// A JSON string literal, quotes included.
std::string JsonString(std::u16string_view text);

// What the client shows of one page, in either form.
struct PageRow {
  std::u16string title;
  std::u16string link;
  std::u16string imageUrl;
  int32_t lowPrice = 0;
  int32_t highPrice = 0;
  std::u16string thumbPath;  // device path, empty until fetched
  std::string thumbFile;     // the same on the host, empty until fetched
};

struct PageView {
  int result = 0;  // RunSearch's
  std::u16string title, total, range;
  bool previous = false, next = false;
  int32_t start = 0, totalCount = 0, display = 0;
  std::vector<PageRow> rows;
};

// The labels, then per row its title, "Low : …", "High : …" and link.
std::string RenderPageText(const PageView& page);
// One JSON document on one line.
std::string RenderPageJson(const PageView& page);

}  // namespace quobble
