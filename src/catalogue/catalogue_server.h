#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/catalogue_data.h"
#include "catalogue/catalogue_service.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace quobble::catalogue {

struct ServerConfig {
  std::string host = "127.0.0.1";
  int port = 0;     // 0: any free port
  std::string key;  // empty: the client's placeholder key
  int imageDelayMs = 0;
  bool logRequests = false;  // one line per request on stderr
  size_t resultCacheEntries = 256;
  // Event loops, each on a thread of its own, reading requests and writing
  // answers for their share of the connections.
  int threads = 2;
  // Threads that run the requests themselves; 0: one per core.
  int workers = 0;
  // A connection that sends nothing for this long is closed, both while a
  // request is being read (half-sent requests cannot pile up) and between
  // requests (idle keep-alive). The HTTP library keeps one such timer per
  // connection, so the two cannot differ.
  int idleTimeoutSeconds = 5;
  // Past this many open connections a request is answered 503 at once and
  // its connection closed; a flood beyond twice this is closed unanswered.
  int maxConnections = 10000;
  // Headers a /search request must carry (else 401); images and pages are free.
  std::vector<RequiredHeader> requiredHeaders;
  // What product links name instead of the request's host (CatalogueService).
  std::string linkBase;
};

// Raises this process's open-file limit to the most it is allowed (soft to
// hard), so that thousands of connections fit. Returns the limit now in force
// and sets `before` to the one found.
long RaiseOpenFileLimit(long& before);

// The HTTP side of the stand-in service: an event-driven server (one epoll
// loop per thread) in front of CatalogueService. Create() binds the socket,
// Run() serves until Stop().
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
  bool IsRunning() const { return running_.load(); }
  // Ends Run() (from any thread) and returns once it has ended: image delays
  // are cut short and every connection, idle or not, is closed. Safe before
  // Run() has started: Run() then returns at once.
  void Stop();

  struct Request;
  struct Delays;
  struct Workers;
  struct Callbacks;  // the HTTP library's entry points
  friend struct Callbacks;

 private:
  CatalogueServer();
  bool StartDaemon();
  // On the event loop: what the request's answer depends on.
  void Capture(MHD_Connection* connection, const char* url, const char* method, Request& request);
  // On a worker: the answer, then the connection resumed (or held back).
  ServiceReply Answer(const Request& request);
  void Finish(MHD_Connection* connection, Request& request, ServiceReply reply);
  // Queues the reply; the library's MHD_Result as an int.
  int Send(MHD_Connection* connection, Request& request);
  void Log(MHD_Connection* connection, const Request& request, int status, size_t size) const;

  ServerConfig config_;
  std::unique_ptr<CatalogueService> service_;
  std::unique_ptr<Delays> delays_;
  std::unique_ptr<Workers> workers_;
  int listenFd_ = -1;
  int port_ = 0;
  MHD_Daemon* daemon_ = nullptr;
  std::atomic<int> openConnections_{0};
  std::atomic<bool> running_{false};
  std::mutex stopMutex_;
  std::condition_variable stopCv_;
  bool stopping_ = false;
  bool serving_ = false;  // Run() in progress
};

}  // namespace quobble::catalogue
