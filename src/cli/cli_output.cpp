#include "cli/cli_output.h"

#include <cstdio>

#include "platform/text.h"

namespace quobble {

namespace {

bool IsControl(char16_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) ||
         // Bidirectional overrides and isolates: they reorder what follows.
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void Line(std::string& out, std::string_view label, std::u16string_view text) {
  out += label;
  out += TerminalText(text);
  out += '\n';
}

void Field(std::string& out, std::string_view name, const std::string& value, bool comma = true) {
  if (comma) out += ',';
  out += '"';
  out += name;
  out += "\":";
  out += value;
}

}  // namespace

std::string TerminalText(std::u16string_view text) {
  std::u16string safe(text);
  for (char16_t& c : safe)
    if (IsControl(c)) c = u'\uFFFD';
  return Utf16ToUtf8(safe);
}

std::string JsonString(std::u16string_view text) {
  std::string out = "\"";
  size_t plain = 0;  // start of the run not yet written
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool escape = c < 0x20 || c == u'"' || c == u'\\' || c == 0x2028 || c == 0x2029;
    if (!escape) continue;
    out += Utf16ToUtf8(text.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case u'"':
        out += "\\\"";
        break;
      case u'\\':
        out += "\\\\";
        break;
      case u'\n':
        out += "\\n";
        break;
      case u'\r':
        out += "\\r";
        break;
      case u'\t':
        out += "\\t";
        break;
      case u'\b':
        out += "\\b";
        break;
      case u'\f':
        out += "\\f";
        break;
      default: {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
        out += buffer;
      }
    }
  }
  out += Utf16ToUtf8(text.substr(plain));
  out += '"';
  return out;
}

std::string RenderPageText(const PageView& page) {
  std::string out;
  Line(out, "", page.title);
  Line(out, "Search Total Count : ", page.total);
  Line(out, "Display Range : ", page.range);
  for (const PageRow& row : page.rows) {
    out += '\n';
    Line(out, "", row.title);
    Line(out, "Low : ", FormatThousands(row.lowPrice));
    Line(out, "High : ", FormatThousands(row.highPrice));
    Line(out, "", row.link);
  }
  return out;
}

std::string RenderPageJson(const PageView& page) {
  std::string out = "{";
  Field(out, "result", std::to_string(page.result), false);
  Field(out, "title", JsonString(page.title));
  Field(out, "total", JsonString(page.total));
  Field(out, "range", JsonString(page.range));
  Field(out, "previous", page.previous ? "true" : "false");
  Field(out, "next", page.next ? "true" : "false");
  Field(out, "start", std::to_string(page.start));
  Field(out, "totalCount", std::to_string(page.totalCount));
  Field(out, "display", std::to_string(page.display));
  out += ",\"rows\":[";
  for (size_t i = 0; i < page.rows.size(); ++i) {
    const PageRow& row = page.rows[i];
    if (i > 0) out += ',';
    out += '{';
    Field(out, "title", JsonString(row.title), false);
    Field(out, "low", JsonString(u"Low : " + FormatThousands(row.lowPrice)));
    Field(out, "high", JsonString(u"High : " + FormatThousands(row.highPrice)));
    Field(out, "lowPrice", std::to_string(row.lowPrice));
    Field(out, "highPrice", std::to_string(row.highPrice));
    Field(out, "link", JsonString(row.link));
    Field(out, "image", JsonString(row.imageUrl));
    Field(out, "thumbPath", JsonString(row.thumbPath));
    Field(out, "thumbFile", JsonString(Utf8ToUtf16(row.thumbFile)));
    out += '}';
  }
  out += "]}\n";
  return out;
}

}  // namespace quobble
