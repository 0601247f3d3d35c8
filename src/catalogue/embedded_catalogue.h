#pragma once
#include <memory>
#include <string>
#include <vector>

namespace quobble {

struct CatalogueOptions {
  std::string host = "127.0.0.1";
  int port = 0;               // 0: an ephemeral port
  std::string catalogueFile;  // empty: the bundled catalogue
  std::string key;            // empty: the client's default key
  int imageDelayMs = 0;       // for tests: answer every image this late
  // "Name: value" headers every /search request must carry (else 401).
  std::vector<std::string> requiredHeaders;
};

// The stand-in shopping search service running inside this process, on its
// own threads. Stops (and waits for its threads) when destroyed.
class EmbeddedCatalogue {
 public:
  // Null when it could not start; `error` (if given) says why.
  static std::unique_ptr<EmbeddedCatalogue> Start(const CatalogueOptions& options = {},
                                                  std::string* error = nullptr);
  virtual ~EmbeddedCatalogue() = default;
  // "http://127.0.0.1:PORT" (the bound host when another was asked for),
  // ready to take requests when Start returns.
  virtual std::string Endpoint() const = 0;
};

}  // namespace quobble
