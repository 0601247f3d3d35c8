#include "catalogue/embedded_catalogue.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "catalogue/catalogue_server.h"
#include "catalogue/price_days.h"

namespace quobble {
namespace {

class RunningCatalogue final : public EmbeddedCatalogue {
 public:
  explicit RunningCatalogue(std::unique_ptr<catalogue::CatalogueServer> server)
      : server_(std::move(server)) {
    thread_ = std::thread([this] {
      (void)server_->Run();
      ended_ = true;
    });
  }
  ~RunningCatalogue() override {
    server_->Stop();
    if (thread_.joinable()) thread_.join();
  }
  std::string Endpoint() const override {
    // A wildcard address is reached through loopback.
    std::string host = server_->Host();
    if (host.empty() || host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(server_->Port());
  }
  bool WaitUntilServing() const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->IsRunning()) {
      // A server that could not start has ended already.
      if (ended_ || std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

 private:
  std::unique_ptr<catalogue::CatalogueServer> server_;
  std::thread thread_;
  std::atomic<bool> ended_{false};
};

bool Configure(const CatalogueOptions& options, catalogue::ServerConfig& config,
               std::string& error) {
  config.host = options.host.empty() || options.atHome ? "127.0.0.1" : options.host;
  config.port = options.atHome ? kCatalogueHomePort : options.port;
  if (options.atHome) config.linkBase = kCatalogueHome;
  config.key = options.key;
  config.imageDelayMs = options.imageDelayMs;
  // Inside a client the service stays quiet: the client owns the terminal.
  config.logRequests = false;
  for (const std::string& text : options.requiredHeaders) {
    catalogue::RequiredHeader header;
    if (!catalogue::ParseRequiredHeader(text, header)) {
      error = "a required header must read 'Name: value': " + text;
      return false;
    }
    config.requiredHeaders.push_back(std::move(header));
  }
  return true;
}

bool LoadForDay(const CatalogueOptions& options, std::vector<catalogue::Product>& products,
                std::string& error) {
  int64_t day = catalogue::CatalogueToday();
  if (!options.date.empty() && !catalogue::ParseCatalogueDay(options.date, day)) {
    error = "the catalogue date \"" + options.date + "\" is not a date (YYYY-MM-DD)";
    return false;
  }
  if (!catalogue::LoadCatalogue(options.catalogueFile, products, error)) return false;
  if (options.dailyPrices || !options.date.empty()) catalogue::ApplyCatalogueDay(products, day);
  return true;
}

std::unique_ptr<catalogue::CatalogueServer> CreateServer(std::vector<catalogue::Product> products,
                                                         catalogue::ServerConfig config,
                                                         bool anyPortIfTaken, std::string& error) {
  if (!anyPortIfTaken)
    return catalogue::CatalogueServer::Create(std::move(products), config, error);
  // Another client's catalogue (or another program) may hold the home port.
  auto server = catalogue::CatalogueServer::Create(products, config, error);
  if (server) return server;
  config.port = 0;
  error.clear();
  return catalogue::CatalogueServer::Create(std::move(products), config, error);
}

}  // namespace

std::unique_ptr<EmbeddedCatalogue> EmbeddedCatalogue::Start(const CatalogueOptions& options,
                                                            std::string* error) {
  std::string why;
  std::vector<catalogue::Product> products;
  catalogue::ServerConfig config;
  std::unique_ptr<catalogue::CatalogueServer> server;
  if (LoadForDay(options, products, why) && Configure(options, config, why)) {
    server = CreateServer(std::move(products), config, options.atHome, why);
  }
  if (!server) {
    if (error) *error = "cannot start the embedded catalogue: " + why;
    return nullptr;
  }
  auto running = std::make_unique<RunningCatalogue>(std::move(server));
  if (!running->WaitUntilServing()) {
    if (error) *error = "cannot start the embedded catalogue: the server did not come up";
    return nullptr;
  }
  return running;
}

}  // namespace quobble
