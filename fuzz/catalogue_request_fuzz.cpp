// Arbitrary requests through the catalogue service as the server runs it:
// parameter parsing, validation, word matching, ranking and the answer. Each
// answer must parse with our own XML parser and be either the error document
// a separate, simpler reading of the parameters expects, or a channel whose
// counts agree and whose items hold every word of the query.
//
// Input: the raw query string (the text after '?'). An input starting with
// '/' is a whole target instead, routed like a request (images, pages, 404).

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "catalogue/catalogue_service.h"
#include "platform/text.h"
#include "xml/xml_document.h"

using namespace quobble;
using namespace quobble::catalogue;

namespace {

constexpr std::string_view kBase = "http://127.0.0.1:8080";

[[noreturn]] void Fail(const char* why, std::string_view body) {
  std::fprintf(stderr, "catalogue_request_fuzz: %s\n%.*s\n", why, static_cast<int>(body.size()),
               body.data());
  std::abort();
}

CatalogueService& Service() {
  static CatalogueService* service = [] {
    std::vector<Product> products;
    std::string error;
    if (!LoadCatalogue("", products, error)) Fail("cannot read the bundled catalogue", error);
    // Caches off: every input runs the whole lookup, and runs stay repeatable.
    auto index = CatalogueIndex::Build(std::move(products), error, 0);
    if (!index) Fail("cannot build the index", error);
    return new CatalogueService(std::move(index), "", {}, false);
  }();
  return *service;
}

// The oracle's own reading of a query string: the first piece named `name`
// (names compared after decoding), its value still encoded.
std::optional<std::string> Decoded(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] != '%') {
      out += s[i];
    } else if (i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::strtol(std::string(s.substr(i + 1, 2)).c_str(), nullptr, 16));
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::optional<std::string> First(std::string_view raw, std::string_view name) {
  while (true) {
    std::string_view piece = raw.substr(0, raw.find('&'));
    std::string_view key = piece.substr(0, piece.find('='));
    if (!piece.empty() && Decoded(key) == std::string(name)) {
      return key.size() < piece.size() ? std::string(piece.substr(key.size() + 1)) : "";
    }
    if (piece.size() == raw.size()) return std::nullopt;
    raw.remove_prefix(piece.size() + 1);
  }
}

bool InRange(const std::optional<std::string>& text, int high) {
  if (!text || text->empty() || text->size() > 9) return false;
  for (char c : *text) {
    if (c < '0' || c > '9') return false;
  }
  const long value = std::atol(text->c_str());
  return value >= 1 && value <= high;
}

// The error code the parameters call for, 0 for none.
int ExpectedError(std::string_view raw) {
  auto param = [&](std::string_view name) -> std::optional<std::optional<std::string>> {
    auto value = First(raw, name);
    if (!value) return std::nullopt;  // absent
    return Decoded(*value);           // present; empty optional when undecodable
  };
  auto key = param("key");
  if (!key || *key != std::string(kDefaultServiceKey)) return 20;
  auto target = param("target");
  if (!target || *target != std::string("shop")) return 100;
  auto query = param("query");
  if (!query || !*query || (*query)->empty() || !IsValidUtf8(**query)) return 11;
  if (auto display = param("display"); display && !InRange(*display, 100)) return 101;
  if (auto start = param("start"); start && !InRange(*start, 1000)) return 102;
  if (auto sort = param("sort")) {
    const std::string s = sort->value_or("?");
    if (s != "sim" && s != "date" && s != "asc" && s != "dsc") return 110;
  }
  return 0;
}

std::u16string ChildText(XmlNode* node, const char16_t* name) {
  for (uint32_t i = 0; node && i < node->child_count; ++i) {
    XmlNode* child = node->children[i];
    if (child->type != XmlNodeType::Element || std::u16string_view(child->name) != name) continue;
    std::u16string text;
    for (uint32_t j = 0; j < child->child_count; ++j) {
      if (child->children[j]->value) text += child->children[j]->value;
    }
    return text;
  }
  return u"\xFFFF";  // missing
}

XmlNode* FirstElement(XmlNode* node) {
  for (uint32_t i = 0; i < node->child_count; ++i) {
    if (node->children[i]->type == XmlNodeType::Element) return node->children[i];
  }
  return nullptr;
}

void CheckChannel(XmlNode* rss, const SearchRequest& request, std::string_view body) {
  XmlNode* channel = FirstElement(rss);
  if (!channel) Fail("no channel", body);
  const int total = std::atoi(Utf16ToUtf8(ChildText(channel, u"total")).c_str());
  const int start = std::atoi(Utf16ToUtf8(ChildText(channel, u"start")).c_str());
  const int display = std::atoi(Utf16ToUtf8(ChildText(channel, u"display")).c_str());
  if (start != request.start) Fail("start differs from the request", body);
  if (display > request.display || display > total) Fail("display out of bounds", body);
  std::vector<std::u16string> words = SplitWords(Utf8ToUtf16(request.query));
  int items = 0;
  for (uint32_t i = 0; i < channel->child_count; ++i) {
    XmlNode* item = channel->children[i];
    if (item->type != XmlNodeType::Element || std::u16string_view(item->name) != u"item") continue;
    ++items;
    // The reader leaves references as written: the title's own text comes
    // back once they are replaced and the highlight marks dropped.
    std::u16string title = ChildText(item, u"title");
    const std::pair<std::u16string_view, std::u16string_view> kSteps[] = {
        {u"&lt;b&gt;", u""}, {u"&lt;/b&gt;", u""}, {u"&lt;", u"<"},
        {u"&gt;", u">"},     {u"&quot;", u"\""},   {u"&amp;", u"&"}};
    for (const auto& [from, to] : kSteps) {
      for (size_t at = 0; (at = title.find(from, at)) != std::u16string::npos; at += to.size()) {
        title.replace(at, from.size(), to);
      }
    }
    const std::u16string folded = FoldCase(title);
    for (const auto& w : words) {
      if (folded.find(FoldCase(w)) == std::u16string::npos) Fail("an item lacks a word", body);
    }
  }
  if (items != display) Fail("display differs from the items", body);
}

void CheckSearchAnswer(std::string_view raw, const ServiceReply& reply) {
  const std::string_view body = reply.Body();
  if (reply.status != 200) Fail("a search was not answered 200", body);
  std::u16string text = Utf8ToUtf16(body);
  XmlNode* root = create_node(XmlNodeType::Document);
  if (!root) return;
  root->parent = root;
  parse(text.data(), root, 4, 0);
  XmlNode* top = FirstElement(root);
  const std::u16string name = top ? top->name : u"";
  const int expected = ExpectedError(raw);
  if (expected != 0) {
    char code[8];
    std::snprintf(code, sizeof code, "%03d", expected);
    if (name != u"error" || Utf16ToUtf8(ChildText(top, u"error_code")) != code) {
      Fail("not the expected error document", body);
    }
  } else {
    SearchRequest request;
    RequestError refused;
    if (name != u"rss" || !ParseSearchRequest(raw, kDefaultServiceKey, request, refused)) {
      Fail("a valid request got no channel", body);
    }
    CheckChannel(top, request, body);
  }
  destroy_tree(root);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CatalogueService& service = Service();
  if (!input.starts_with('/')) {
    CheckSearchAnswer(input, service.Search(input, kBase));
    return 0;
  }
  const size_t q = input.find('?');
  ServiceRequest request;
  request.path = input.substr(0, q);
  request.rawQuery = q == std::string_view::npos ? std::string_view() : input.substr(q + 1);
  request.host = "fuzz.example:1";
  request.fallbackHost = "127.0.0.1:8080";
  ServiceReply reply = service.Answer(request);
  if (request.path == "/search") {
    CheckSearchAnswer(request.rawQuery, reply);
  } else if (reply.status != 200 && reply.status != 404) {
    Fail("a page or image neither served nor missing", reply.Body());
  }
  return 0;
}
