#include "catalogue/catalogue_service.h"

#include <cstdio>
#include <ctime>

#include "platform/text.h"

namespace quobble::catalogue {
namespace {

constexpr std::string_view kXmlType = "text/xml; charset=utf-8";
constexpr std::string_view kTextType = "text/plain; charset=utf-8";

bool AllDigits(std::string_view s) {
  if (s.empty() || s.size() > 15) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int64_t ToId(std::string_view digits) {
  int64_t v = 0;
  for (char c : digits) v = v * 10 + (c - '0');
  return v;
}

// A Host header goes into every address of the answer, so only the plain
// characters of a host name, an IP literal and a port are taken from it.
bool IsPlainHost(std::string_view host) {
  if (host.empty() || host.size() > 262) return false;
  for (char c : host) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    if (!ok) return false;
  }
  return true;
}

ServiceReply Reply(int status, std::string_view type, std::string body) {
  ServiceReply reply;
  reply.status = status;
  reply.contentType = type;
  reply.body = std::move(body);
  return reply;
}

ServiceReply NotFound() {
  return Reply(404, kTextType, "Not Found\n");
}

}  // namespace

bool ParseRequiredHeader(std::string_view text, RequiredHeader& out) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view name = text.substr(0, colon);
  for (char c : name) {
    if (!IsHttpTokenChar(c)) return false;
  }
  std::string_view value = Trim(text.substr(colon + 1));
  for (char c : value) {
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  out = RequiredHeader{std::string(name), std::string(value)};
  return true;
}

std::string BaseAddress(std::string_view hostHeader, std::string_view fallbackHost) {
  return "http://" + std::string(IsPlainHost(hostHeader) ? hostHeader : fallbackHost);
}

CatalogueService::CatalogueService(std::unique_ptr<CatalogueIndex> index, std::string key,
                                   std::vector<RequiredHeader> requiredHeaders, bool logFailures,
                                   std::string linkBase)
    : index_(std::move(index)),
      key_(key.empty() ? std::string(kDefaultServiceKey) : std::move(key)),
      requiredHeaders_(std::move(requiredHeaders)),
      logFailures_(logFailures),
      linkBase_(std::move(linkBase)) {}

ServiceReply CatalogueService::Answer(const ServiceRequest& request) {
  const std::string_view path = request.path;
  constexpr std::string_view kImg = "/shop/img/";
  constexpr std::string_view kProduct = "/shop/product/";
  if (path == "/search") {
    if (!Authorised(request)) {
      return Reply(401, kXmlType, ErrorDocument({24, "Authentication failed"}));
    }
    return Search(request.rawQuery, BaseAddress(request.host, request.fallbackHost));
  }
  if (path.starts_with(kImg)) return Image(path.substr(kImg.size()));
  if (path.starts_with(kProduct)) {
    return ProductPage(path.substr(kProduct.size()),
                       BaseAddress(request.host, request.fallbackHost));
  }
  return NotFound();
}

bool CatalogueService::Authorised(const ServiceRequest& request) const {
  for (const RequiredHeader& header : requiredHeaders_) {
    if (!request.hasHeader || !request.hasHeader(header.name, header.value)) return false;
  }
  return true;
}

ServiceReply CatalogueService::Search(std::string_view rawQuery, std::string_view base) {
  SearchRequest request;
  RequestError refused;
  if (!ParseSearchRequest(rawQuery, key_, request, refused)) {
    return Reply(200, kXmlType, ErrorDocument(refused));
  }
  std::vector<std::u16string> words = SplitWords(Utf8ToUtf16(request.query));
  std::string error;
  std::shared_ptr<const Hits> hits = index_->Search(words, request.sort, error);
  if (!hits) {
    if (logFailures_) std::fprintf(stderr, "search failed: %s\n", error.c_str());
    return Reply(500, kXmlType, ErrorDocument({999, "System error"}));
  }
  return Reply(200, kXmlType,
               SearchAnswer(*index_, request, words, *hits, base, std::time(nullptr), linkBase_));
}

ServiceReply CatalogueService::Image(std::string_view rest) {
  size_t slash = rest.find('/');
  constexpr std::string_view kJpg = ".jpg";
  if (slash == std::string_view::npos || !rest.ends_with(kJpg)) return NotFound();
  std::string_view digits = rest.substr(slash + 1, rest.size() - slash - 1 - kJpg.size());
  if (!AllDigits(digits)) return NotFound();
  int64_t id = ToId(digits);
  if (ImagePathFor(id) != rest || index_->Find(id) < 0) return NotFound();
  std::shared_ptr<const std::string> jpeg = thumbnails_.Get(id);
  if (!jpeg) return Reply(500, kTextType, "cannot render the picture\n");
  ServiceReply reply;
  reply.contentType = "image/jpeg";
  reply.sharedBody = std::move(jpeg);
  reply.isImage = true;
  return reply;
}

ServiceReply CatalogueService::ProductPage(std::string_view rest, std::string_view base) {
  if (!AllDigits(rest)) return NotFound();
  int64_t pos = index_->Find(ToId(rest));
  if (pos < 0) return NotFound();
  const Product& p = index_->Products()[static_cast<size_t>(pos)];
  const std::string title = HtmlEscape(p.title);
  const std::string size = std::to_string(kThumbnailSize);
  std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                     "</title></head>\n<body>\n<h1>" + title + "</h1>\n<p><img src=\"" +
                     HtmlEscape(std::string(base) + "/shop/img/" + ImagePathFor(p.id)) +
                     "\" width=\"" + size + "\" height=\"" + size + "\" alt=\"\"></p>\n<p>" +
                     std::to_string(p.lowPrice) + " ~ " + std::to_string(p.highPrice) +
                     "</p>\n<p>" + HtmlEscape(p.mallName) + "</p>\n</body></html>\n";
  return Reply(200, "text/html; charset=utf-8", std::move(html));
}

}  // namespace quobble::catalogue
