#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/catalogue_data.h"
#include "catalogue/catalogue_service.h"

struct sockaddr;

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
  // A connection that sends nothing for this long is closed, whether it is
  // in the middle of a request or idle between requests.
  int idleTimeoutSeconds = 5;
  // A request's head (and the body of one that has a body) must be in this
  // long after the connection was accepted, or after the answer before it:
  // a client that trickles a byte now and then is closed all the same.
  int requestTimeoutSeconds = 10;
  // Past this many open connections a request is answered 503 at once and
  // its connection closed; a flood beyond twice this is closed unanswered.
  int maxConnections = 10000;
  // At most this many connections open from one client address (for IPv6,
  // one /64 network, which one host usually has to itself); those beyond
  // are closed at once, unanswered. 0: no limit. Far above what one client
  // opens (a browser six per host, our clients one or two), far below what
  // it takes to crowd out everybody else.
  int maxConnectionsPerAddress = 64;
  // Headers a /search request must carry (else 401); images and pages are free.
  std::vector<RequiredHeader> requiredHeaders;
  // What product links name instead of the request's host (CatalogueService).
  std::string linkBase;
};

// Raises this process's open-file limit to the most it is allowed (soft to
// hard), so that thousands of connections fit. Returns the limit now in force
// and sets `before` to the one found.
long RaiseOpenFileLimit(long& before);

// The HTTP side of the stand-in service: epoll event loops in front of
// CatalogueService, which runs on worker threads. Requests are read strictly
// (catalogue/http_request.h). Create() binds the socket, Run() serves until
// Stop().
class CatalogueServer {
 public:
  static std::unique_ptr<CatalogueServer> Create(std::vector<Product> products,
                                                 const ServerConfig& config, std::string& error);
  ~CatalogueServer();
  CatalogueServer(const CatalogueServer&) = delete;
  CatalogueServer& operator=(const CatalogueServer&) = delete;

  int Port() const { return port_; }
  const std::string& Host() const { return config_.host; }
  // Serves (on threads of its own) until Stop(), holding the calling thread
  // until then; false when serving failed.
  bool Run();
  // True once Run() has started taking connections.
  bool IsRunning() const { return running_.load(); }
  // Ends Run() (from any thread) and returns once it has ended: image delays
  // are cut short and every connection, idle or not, is closed. Safe before
  // Run() has started: Run() then returns at once.
  void Stop();

  struct Request;
  struct Connection;
  struct Loop;
  struct Workers;
  struct Delays;

 private:
  // Who a connection counts against: the IPv4 address, or the IPv6 /64.
  using AddressKey = std::pair<int, uint64_t>;

  CatalogueServer();
  // On a worker: the answer to a request.
  ServiceReply Answer(const Request& request);
  // The answer goes back to its connection's loop, late if it is a delayed image.
  void Finish(std::unique_ptr<Request> request);
  // Whether a new connection from `peer` may stay, and whether it is past
  // the connection limit (answered 503); Release() undoes it.
  [[nodiscard]] bool Admit(const sockaddr* peer, AddressKey& key, bool& overLimit);
  void Release(const AddressKey& key);
  void Log(const std::string& remote, std::string_view request, int status, size_t size) const;

  ServerConfig config_;
  std::unique_ptr<CatalogueService> service_;
  std::unique_ptr<Workers> workers_;
  std::unique_ptr<Delays> delays_;
  std::vector<std::unique_ptr<Loop>> loops_;
  std::atomic<unsigned> nextLoop_{0};  // the loop the next connection goes to
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<int> openConnections_{0};
  std::mutex addressMutex_;
  std::map<AddressKey, int> perAddress_;
  std::atomic<bool> running_{false};
  std::mutex stopMutex_;
  std::condition_variable stopCv_;
  bool stopping_ = false;
  bool serving_ = false;  // Run() in progress
};

}  // namespace quobble::catalogue
