#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/catalogue_data.h"
#include "catalogue/catalogue_index.h"
#include "catalogue/thumbnail.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace quobble::catalogue {

struct ServerConfig {
  std::string host = "127.0.0.1";
  int port = 0;     // 0: any free port
  std::string key;  // empty: the client's placeholder key
  int imageDelayMs = 0;
  bool logRequests = false;  // one line per request on stderr
  size_t resultCacheEntries = 256;
  int threads = 8;
  int keepAliveSeconds = 5;  // how long an idle connection is kept open
};

// The HTTP side of the stand-in service: GET /search, /shop/img/BUCKET/ID.jpg
// and /shop/product/ID over one catalogue. Create() binds the socket, Run()
// serves until Stop().
class CatalogueServer {
 public:
  static std::unique_ptr<CatalogueServer> Create(std::vector<Product> products,
                                                 const ServerConfig& config, std::string& error);
  ~CatalogueServer();
  CatalogueServer(const CatalogueServer&) = delete;
  CatalogueServer& operator=(const CatalogueServer&) = delete;

  int Port() const { return port_; }
  const std::string& Host() const { return config_.host; }
  // Serves on the calling thread until Stop(); false when serving failed.
  bool Run();
  // True once Run() has started taking connections.
  bool IsRunning() const;
  // Ends Run() (from any thread), cuts image delays short and ends idle
  // keep-alive connections, so it returns as soon as the requests in
  // progress are answered. Safe before Run() has started: Run() then
  // returns at once.
  void Stop();

 private:
  CatalogueServer();
  void Route(const httplib::Request& req, httplib::Response& res);
  void HandleSearch(const httplib::Request& req, httplib::Response& res);
  void HandleImage(std::string_view rest, httplib::Response& res);
  void HandleProduct(std::string_view rest, const httplib::Request& req, httplib::Response& res);
  std::string BaseFor(const httplib::Request& req) const;
  void ShutDownConnections() const;

  ServerConfig config_;
  std::unique_ptr<CatalogueIndex> index_;
  ThumbnailCache thumbnails_;
  std::unique_ptr<httplib::Server> http_;
  int port_ = 0;
  std::mutex stopMutex_;
  std::condition_variable stopCv_;
  bool stopping_ = false;
  bool running_ = false;
};

}  // namespace quobble::catalogue
