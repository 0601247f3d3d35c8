#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue_index.h"

namespace quobble::catalogue {

// The client's placeholder key, accepted when no key of our own is set.
inline constexpr std::string_view kDefaultServiceKey = "5d0c7e3b9a14f6820c3e7d9b1a5f4e27";

struct SearchRequest {
  std::string query;  // decoded UTF-8
  int display = 10;
  int start = 1;
  SortKey sort = SortKey::Sim;
};

// A refused request: the code (printed with three digits) and its message.
struct RequestError {
  int code = 0;
  std::string message;
};

// Decodes %XX (either hex case) and '+' as a space. False on a '%' that is
// not followed by two hex digits.
[[nodiscard]] bool PercentDecode(std::string_view in, std::string& out);

// Checks the query string of GET /search (the text after '?') in a fixed
// order: key, target, query, display, start, sort. The first failure is
// returned in `error`; a repeated parameter counts once, as first given.
[[nodiscard]] bool ParseSearchRequest(std::string_view rawQuery, std::string_view acceptedKey,
                                      SearchRequest& out, RequestError& error);

// "<?xml ...?><error><error_code>NNN</error_code><message>...</message></error>"
std::string ErrorDocument(const RequestError& error);

// Text for XML element content or an attribute: & < > " escaped, characters
// XML 1.0 cannot carry (most C0 controls, U+FFFE, U+FFFF) replaced by U+FFFD.
// The input must be valid UTF-8.
void AppendXmlEscaped(std::string& out, std::string_view utf8);
std::string XmlEscape(std::string_view utf8);

// Same, plus ' for HTML attribute safety.
std::string HtmlEscape(std::string_view utf8);

// "Mon, 07 Dec 2026 21:51:49 +0000"
std::string Rfc822Date(std::time_t when);

// The title with every occurrence of every word (folded) marked <b>...</b>,
// escaped for XML, so the mark-up arrives as &lt;b&gt; entity text.
std::string HighlightTitle(std::string_view title, std::u16string_view foldedTitle,
                           const std::vector<std::u16string>& foldedWords);

// "BUCKET/ID.jpg": the image's path below /shop/img/.
std::string ImagePathFor(int64_t id);

// The whole RSS answer. `base` is "http://HOST:PORT", where the pictures are
// fetched; the product links name `linkBase` instead when it is given, so
// that they stay the same whatever port served them.
std::string SearchAnswer(const CatalogueIndex& index, const SearchRequest& request,
                         const std::vector<std::u16string>& words, const Hits& hits,
                         std::string_view base, std::time_t now, std::string_view linkBase = {});

}  // namespace quobble::catalogue
