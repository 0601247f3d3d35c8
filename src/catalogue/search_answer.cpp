#include "catalogue/search_answer.h"

#include <algorithm>
#include <cstdio>

#include "platform/text.h"

namespace quobble::catalogue {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A plain decimal within [low, high]; anything else (signs, blanks, letters,
// an empty text) is out of range.
bool ParseBounded(std::string_view text, int low, int high, int& out) {
  if (text.empty() || text.size() > 9) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  out = value;
  return true;
}

struct Param {
  bool present = false;
  bool decoded = false;
  std::string value;
};

RequestError Refuse(int code, const char* message) {
  return RequestError{code, message};
}

void AppendItem(std::string& out, const char* name, std::string_view escapedText) {
  out += '<';
  out += name;
  out += '>';
  out += escapedText;
  out += "</";
  out += name;
  out += '>';
}

void AppendTextItem(std::string& out, const char* name, std::string_view text) {
  out += '<';
  out += name;
  out += '>';
  AppendXmlEscaped(out, text);
  out += "</";
  out += name;
  out += '>';
}

}  // namespace

bool PercentDecode(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      if (i + 2 >= in.size()) return false;
      int hi = HexValue(in[i + 1]);
      int lo = HexValue(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += c;
    }
  }
  return true;
}

namespace {

// The parameters /search reads, each as first given.
struct SearchParams {
  Param key, target, query, display, start, sort;
};

SearchParams ReadParams(std::string_view rawQuery) {
  SearchParams p;
  const std::pair<std::string_view, Param*> known[] = {{"key", &p.key},     {"target", &p.target},
                                                       {"query", &p.query}, {"display", &p.display},
                                                       {"start", &p.start}, {"sort", &p.sort}};
  size_t from = 0;
  while (from <= rawQuery.size()) {
    size_t amp = rawQuery.find('&', from);
    if (amp == std::string_view::npos) amp = rawQuery.size();
    const std::string_view piece = rawQuery.substr(from, amp - from);
    from = amp + 1;
    if (piece.empty()) continue;
    const size_t eq = piece.find('=');
    std::string name;
    if (!PercentDecode(piece.substr(0, eq), name)) continue;
    for (const auto& [knownName, param] : known) {
      if (knownName != name || param->present) continue;
      param->present = true;
      const std::string_view raw =
          eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
      param->decoded = PercentDecode(raw, param->value);
    }
  }
  return p;
}

bool Holds(const Param& param, std::string_view value) {
  return param.present && param.decoded && param.value == value;
}

// An absent parameter keeps `out`'s default.
bool ReadBounded(const Param& param, int low, int high, int& out) {
  return !param.present || (param.decoded && ParseBounded(param.value, low, high, out));
}

bool ReadSort(const Param& param, SortKey& out) {
  if (!param.present) return true;
  static constexpr std::pair<std::string_view, SortKey> kSorts[] = {
      {"sim", SortKey::Sim}, {"date", SortKey::Date}, {"asc", SortKey::Asc}, {"dsc", SortKey::Dsc}};
  for (const auto& [name, key] : kSorts) {
    if (!param.decoded || name != param.value) continue;
    out = key;
    return true;
  }
  return false;
}

}  // namespace

bool ParseSearchRequest(std::string_view rawQuery, std::string_view acceptedKey, SearchRequest& out,
                        RequestError& error) {
  SearchParams p = ReadParams(rawQuery);
  SearchRequest request;
  if (!Holds(p.key, acceptedKey)) {
    error = Refuse(20, "Unregistered key");
  } else if (!Holds(p.target, "shop")) {
    error = Refuse(100, "Invalid target value");
  } else if (!p.query.present || !p.query.decoded || p.query.value.empty() ||
             !IsValidUtf8(p.query.value)) {
    error = Refuse(11, "Incorrect query request");
  } else if (!ReadBounded(p.display, 1, 100, request.display)) {
    error = Refuse(101, "Invalid display value");
  } else if (!ReadBounded(p.start, 1, 1000, request.start)) {
    error = Refuse(102, "Invalid start value");
  } else if (!ReadSort(p.sort, request.sort)) {
    error = Refuse(110, "Undefined sort value");
  } else {
    request.query = std::move(p.query.value);
    out = std::move(request);
    return true;
  }
  return false;
}

std::string ErrorDocument(const RequestError& error) {
  char code[16];
  std::snprintf(code, sizeof code, "%03d", error.code);
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><error><error_code>";
  out += code;
  out += "</error_code><message>";
  AppendXmlEscaped(out, error.message);
  out += "</message></error>";
  return out;
}

namespace {

// Bytes that need a look: the markup characters, the C0 controls XML cannot
// carry, and the lead byte of U+FFFE and U+FFFF. Everything else is copied
// in runs, which matters: answers are mostly such runs.
struct SpecialBytes {
  bool special[256] = {};
  constexpr SpecialBytes() {
    for (int c = 0; c < 0x20; ++c) special[c] = c != '\t' && c != '\n' && c != '\r';
    for (unsigned char c : {'&', '<', '>', '"'}) special[c] = true;
    special[0xEF] = true;
  }
};
constexpr SpecialBytes kSpecial;

}  // namespace

void AppendXmlEscaped(std::string& out, std::string_view s) {
  const size_t n = s.size();
  size_t run = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (!kSpecial.special[c]) continue;
    const char* replacement = nullptr;
    size_t skip = 0;
    switch (c) {
      case '&':
        replacement = "&amp;";
        break;
      case '<':
        replacement = "&lt;";
        break;
      case '>':
        replacement = "&gt;";
        break;
      case '"':
        replacement = "&quot;";
        break;
      case 0xEF:
        // U+FFFE and U+FFFF are not XML characters either.
        if (i + 2 < n && static_cast<unsigned char>(s[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(s[i + 2]) & 0xFE) == 0xBE) {
          replacement = "\xEF\xBF\xBD";
          skip = 2;
        }
        break;
      default:
        replacement = "\xEF\xBF\xBD";
        break;
    }
    if (!replacement) continue;
    out.append(s.data() + run, i - run);
    out += replacement;
    i += skip;
    run = i + 1;
  }
  out.append(s.data() + run, n - run);
}

std::string XmlEscape(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 16);
  AppendXmlEscaped(out, utf8);
  return out;
}

std::string HtmlEscape(std::string_view utf8) {
  std::string out;
  for (char c : XmlEscape(utf8)) {
    if (c == '\'') {
      out += "&#39;";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Rfc822Date(std::time_t when) {
  std::tm tm{};
  gmtime_r(&when, &tm);
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[tm.tm_wday % 7],
                tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return buf;
}

namespace {

// Bytes of the UTF-8 sequence led by `lead`, and the UTF-16 units it becomes.
// Only called on valid UTF-8.
size_t SequenceLength(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// `knownValid`: the title is valid UTF-8 (the index's titles are), so the
// check can be skipped.
void AppendHighlighted(std::string& out, std::string_view title, std::u16string_view foldedTitle,
                       const std::vector<std::u16string>& foldedWords, bool knownValid) {
  if (!knownValid && !IsValidUtf8(title)) {
    const std::string clean = Utf16ToUtf8(Utf8ToUtf16(title));
    AppendHighlighted(out, clean, FoldCase(Utf8ToUtf16(clean)), foldedWords, true);
    return;
  }
  size_t units = 0;
  for (size_t i = 0; i < title.size(); i += SequenceLength(static_cast<unsigned char>(title[i]))) {
    units += SequenceLength(static_cast<unsigned char>(title[i])) == 4 ? 2 : 1;
  }
  std::u16string refolded;
  if (foldedTitle.size() != units) {
    refolded = FoldCase(Utf8ToUtf16(title));
    foldedTitle = refolded;
  }
  std::vector<char> marked(units, 0);
  for (const auto& w : foldedWords) {
    if (w.empty()) continue;
    for (size_t at = foldedTitle.find(w); at != std::u16string_view::npos;
         at = foldedTitle.find(w, at + 1)) {
      std::fill(marked.begin() + static_cast<std::ptrdiff_t>(at),
                marked.begin() + static_cast<std::ptrdiff_t>(at + w.size()), 1);
    }
  }
  // Walk the UTF-8 title once, cutting it into marked and unmarked runs.
  size_t runStart = 0;
  bool inMark = false;
  size_t unit = 0;
  for (size_t i = 0; i <= title.size();) {
    const bool atEnd = i == title.size();
    const bool mark = !atEnd && marked[unit];
    if (atEnd || mark != inMark) {
      AppendXmlEscaped(out, title.substr(runStart, i - runStart));
      if (inMark) out += "&lt;/b&gt;";
      if (atEnd) break;
      if (mark) out += "&lt;b&gt;";
      inMark = mark;
      runStart = i;
    }
    const size_t length = SequenceLength(static_cast<unsigned char>(title[i]));
    unit += length == 4 ? 2 : 1;
    i += length;
  }
}

// "BUCKET/ID.jpg", written straight into the answer.
void AppendImagePath(std::string& out, int64_t id) {
  const int bucket = static_cast<int>(id % 100);
  if (bucket >= 0) {
    out += static_cast<char>('0' + bucket / 10);
    out += static_cast<char>('0' + bucket % 10);
  } else {
    out += std::to_string(bucket);
  }
  out += '/';
  out += std::to_string(id);
  out += ".jpg";
}

// One <item>, its parts appended in place: an answer holds a hundred.
void AppendProduct(std::string& out, const CatalogueIndex& index, uint32_t pos,
                   const std::vector<std::u16string>& foldedWords, std::string_view escapedBase,
                   std::string_view escapedLinkBase) {
  const Product& p = index.Products()[pos];
  const std::string id = std::to_string(p.id);
  out += "<item><title>";
  AppendHighlighted(out, p.title, index.FoldedTitle(pos), foldedWords, true);
  out += "</title><link>";
  ((out += escapedLinkBase) += "/shop/product/") += id;
  out += "</link><image>";
  (out += escapedBase) += "/shop/img/";
  AppendImagePath(out, p.id);
  out += "</image>";
  AppendItem(out, "lprice", std::to_string(p.lowPrice));
  AppendItem(out, "hprice", std::to_string(p.highPrice));
  AppendTextItem(out, "mallName", p.mallName);
  AppendItem(out, "productId", id);
  AppendItem(out, "productType", std::to_string(p.productType));
  AppendTextItem(out, "maker", p.maker);
  AppendTextItem(out, "brand", p.brand);
  static constexpr const char* kCategories[] = {"category1", "category2", "category3", "category4"};
  for (int c = 0; c < 4; ++c) AppendTextItem(out, kCategories[c], p.category[c]);
  out += "</item>\n";
}

}  // namespace

std::string HighlightTitle(std::string_view title, std::u16string_view foldedTitle,
                           const std::vector<std::u16string>& foldedWords) {
  std::string out;
  AppendHighlighted(out, title, foldedTitle, foldedWords, false);
  return out;
}

std::string ImagePathFor(int64_t id) {
  std::string path;
  AppendImagePath(path, id);
  return path;
}

std::string SearchAnswer(const CatalogueIndex& index, const SearchRequest& request,
                         const std::vector<std::u16string>& words, const Hits& hits,
                         std::string_view base, std::time_t now, std::string_view linkBase) {
  std::vector<std::u16string> folded;
  for (const auto& w : words) folded.push_back(FoldCase(w));
  const size_t total = hits.size();
  const size_t first = static_cast<size_t>(request.start) - 1;
  const size_t end = std::min(total, first + static_cast<size_t>(request.display));
  const size_t shown = end > first ? end - first : 0;

  std::string channelTitle = "quobble catalogue - shop ::'" + request.query + "'";
  std::string out;
  out.reserve(512 + shown * 900);
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\">\n<channel>\n";
  AppendTextItem(out, "title", channelTitle);
  out += '\n';
  AppendTextItem(out, "link", std::string(base) + "/search");
  out += '\n';
  AppendTextItem(out, "description", channelTitle);
  out += '\n';
  AppendItem(out, "lastBuildDate", Rfc822Date(now));
  out += '\n';
  AppendItem(out, "total", std::to_string(total));
  out += '\n';
  AppendItem(out, "start", std::to_string(request.start));
  out += '\n';
  AppendItem(out, "display", std::to_string(shown));
  out += '\n';
  const std::string escapedBase = XmlEscape(base);
  const std::string escapedLinkBase = linkBase.empty() ? escapedBase : XmlEscape(linkBase);
  for (size_t i = first; i < end; ++i)
    AppendProduct(out, index, hits[i], folded, escapedBase, escapedLinkBase);
  out += "</channel>\n</rss>\n";
  return out;
}

}  // namespace quobble::catalogue
