#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/catalogue_index.h"
#include "catalogue/search_answer.h"
#include "catalogue/thumbnail.h"

namespace quobble::catalogue {

// A request header the service insists on for /search: the name compared
// without regard to case, the value exactly.
struct RequiredHeader {
  std::string name;
  std::string value;
};

// "Name: value" (blanks around the value dropped) into a RequiredHeader;
// false when there is no name, no colon, or the name holds characters a
// header name cannot.
[[nodiscard]] bool ParseRequiredHeader(std::string_view text, RequiredHeader& out);

// One request as the HTTP layer hands it over.
struct ServiceRequest {
  std::string_view path;          // percent-decoded, without the query
  std::string_view rawQuery;      // the text after '?', as sent
  std::string_view host;          // the Host header, empty when absent
  std::string_view fallbackHost;  // "ADDR:PORT" the connection came in on
  // True when the request carries a header of this name (any case) with
  // exactly this value.
  std::function<bool(std::string_view name, std::string_view value)> hasHeader;
};

// What the service answers. A thumbnail shares its bytes with the cache.
struct ServiceReply {
  int status = 200;
  std::string_view contentType;
  std::string body;
  std::shared_ptr<const std::string> sharedBody;
  bool isImage = false;  // images may be answered late (tests of slow thumbnails)

  std::string_view Body() const { return sharedBody ? std::string_view(*sharedBody) : body; }
};

// The stand-in service without its sockets: GET /search, /shop/img/BUCKET/ID.jpg
// and /shop/product/ID over one catalogue, so that the HTTP layer stays thin
// and the fuzz target drives the same code the server runs.
class CatalogueService {
 public:
  // `linkBase` ("http://HOST:PORT"), when given, is what every product link
  // names, whatever address the request came to: a product's link is its
  // identity, kept by those who watch it.
  CatalogueService(std::unique_ptr<CatalogueIndex> index, std::string key,
                   std::vector<RequiredHeader> requiredHeaders, bool logFailures,
                   std::string linkBase = {});

  ServiceReply Answer(const ServiceRequest& request);
  // The /search answer for a raw query string, credentials already checked.
  ServiceReply Search(std::string_view rawQuery, std::string_view base);

  const CatalogueIndex& Index() const { return *index_; }

 private:
  ServiceReply Image(std::string_view rest);
  ServiceReply ProductPage(std::string_view rest, std::string_view base);
  bool Authorised(const ServiceRequest& request) const;

  std::unique_ptr<CatalogueIndex> index_;
  std::string key_;
  std::vector<RequiredHeader> requiredHeaders_;
  bool logFailures_;
  std::string linkBase_;
  ThumbnailCache thumbnails_;
};

// "http://HOST" from the Host header when it holds only the characters of a
// host name, an IP literal and a port; else from the connection's address.
std::string BaseAddress(std::string_view hostHeader, std::string_view fallbackHost);

}  // namespace quobble::catalogue
