#pragma once
#include <memory>
#include <string>
#include <vector>

namespace quobble {

// The stand-in's home: the port quobble-catalogue listens on by default, and
// the one the clients' built-in catalogue takes when it is free.
inline constexpr int kCatalogueHomePort = 8080;
inline constexpr char kCatalogueHome[] = "http://127.0.0.1:8080";

struct CatalogueOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: an ephemeral port
  // Listen on 127.0.0.1 at the home port, or on any free port when another
  // program holds it; the product links name the home address either way,
  // so the same product has the same link in every run (host and port are
  // then not used).
  bool atHome = false;
  // Prices that move from day to day: today's, or those of `date`
  // ("YYYY-MM-DD") when it is given. Else the catalogue's own prices.
  bool dailyPrices = false;
  std::string date;
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
