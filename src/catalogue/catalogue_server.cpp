#include "catalogue/catalogue_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <thread>

#include "platform/text.h"

namespace quobble::catalogue {

namespace {
ServiceReply PlainReply(int status, const char* text);
}  // namespace

// What one request carries between the library's calls: the target as sent
// (the library hands the handler a decoded path without the query), what the
// answer depends on, and the answer once a worker has made it.
struct CatalogueServer::Request {
  // Taken on the event loop with the headers, so that a worker needs nothing
  // of the library's.
  std::string target;
  std::string path;
  std::string method;
  std::string host;
  std::string local;
  std::vector<std::pair<std::string, std::string>> headers;
  bool overLimit = false;
  bool headersRead = false;
  bool answered = false;
  // Set by the worker once `reply` is written; read by the event loop after
  // the connection is resumed.
  std::atomic<bool> ready{false};
  ServiceReply reply;
};

// The requests themselves run on these threads, not on the event loops: a
// loop serves many connections, and a query that takes a millisecond would
// hold back every other connection of its loop (two busy keep-alive clients
// that landed on one loop got one core between them). The connection is
// suspended meanwhile and resumed with its answer ready.
struct CatalogueServer::Workers {
  CatalogueServer& server;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::pair<MHD_Connection*, Request*>> queue;
  bool stopping = false;
  std::vector<std::thread> threads;

  Workers(CatalogueServer& owner, int count) : server(owner) {
    for (int i = 0; i < count; ++i) threads.emplace_back([this] { Loop(); });
  }
  ~Workers() { Stop(); }

  void Add(MHD_Connection* connection, Request* request) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!stopping) {
        queue.emplace_back(connection, request);
        wake.notify_one();
        return;
      }
    }
    // The loops still read requests while the server stops; none may stay
    // suspended when they end.
    server.Finish(connection, *request, PlainReply(503, "Shutting down\n"));
  }
  // Requests still queued are answered 503 at once; those in progress finish.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    for (std::thread& t : threads) {
      if (t.joinable()) t.join();
    }
  }
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      wake.wait(lock, [this] { return stopping || !queue.empty(); });
      if (queue.empty()) return;
      auto [connection, request] = queue.front();
      queue.pop_front();
      const bool answer = !stopping;
      lock.unlock();
      server.Finish(connection, *request,
                    answer ? server.Answer(*request) : PlainReply(503, "Shutting down\n"));
      lock.lock();
    }
  }
};

// Images answered late: the connection is suspended (its event loop goes on
// serving the others) and resumed by this thread when its time has come, or
// at once when the server stops.
struct CatalogueServer::Delays {
  std::mutex mutex;
  std::condition_variable wake;
  std::multimap<std::chrono::steady_clock::time_point, MHD_Connection*> due;
  bool stopping = false;
  std::thread thread;

  Delays() {
    thread = std::thread([this] { Loop(); });
  }
  ~Delays() { Stop(); }

  void Add(MHD_Connection* connection, std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex);
    due.emplace(std::chrono::steady_clock::now() + delay, connection);
    wake.notify_all();
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
  }
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      while (!due.empty() && (stopping || due.begin()->first <= std::chrono::steady_clock::now())) {
        MHD_resume_connection(due.begin()->second);
        due.erase(due.begin());
      }
      if (stopping) return;
      if (due.empty()) {
        wake.wait(lock);
      } else {
        wake.wait_until(lock, due.begin()->first);
      }
    }
  }
};

namespace {

// Marks a connection accepted past the connection limit (its socket context).
char overLimitMark;

// The listener is made here rather than by the library so that a failure
// says why, and a host name works as well as an address.
int Listen(const std::string& host, int port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string where = host + (port ? ":" + std::to_string(port) : "");
  int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints,
                       &found);
  if (rc != 0) {
    error = "cannot listen on " + where + ": not a usable local address";
    return -1;
  }
  int saved = 0;
  int fd = -1;
  for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      saved = errno;
      continue;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
      saved = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) error = "cannot listen on " + where + ": " + std::strerror(saved);
  return fd;
}

int BoundPort(int fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

// "ADDR:PORT" ("[ADDR]:PORT" for IPv6) of a socket address.
std::string AddressText(const sockaddr* address, bool withPort) {
  if (!address) return "-";
  char text[INET6_ADDRSTRLEN] = "-";
  int port = 0;
  bool v6 = address->sa_family == AF_INET6;
  if (v6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
  } else if (address->sa_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
  }
  if (!withPort) return text;
  return (v6 ? "[" + std::string(text) + "]" : std::string(text)) + ":" + std::to_string(port);
}

// Request lines are logged as sent; control characters would let a client
// forge log lines.
std::string Printable(std::string_view s) {
  std::string out(s.substr(0, 2048));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

std::string LocalHost(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (!info || getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return "127.0.0.1";
  }
  return AddressText(reinterpret_cast<sockaddr*>(&local), true);
}

void FreeString(void* text) {
  delete static_cast<std::string*>(text);
}

void FreeShared(void* bytes) {
  delete static_cast<std::shared_ptr<const std::string>*>(bytes);
}

// The reply's bytes go to the library without a copy; it frees them after
// the last byte is sent.
MHD_Response* MakeResponse(ServiceReply& reply) {
  MHD_Response* response;
  if (reply.sharedBody) {
    auto* owner = new std::shared_ptr<const std::string>(std::move(reply.sharedBody));
    // The library only reads the buffer; its parameter is not const.
    response = MHD_create_response_from_buffer_with_free_callback_cls(
        (*owner)->size(), const_cast<char*>((*owner)->data()), FreeShared, owner);
    if (!response) delete owner;
  } else {
    auto* owner = new std::string(std::move(reply.body));
    response = MHD_create_response_from_buffer_with_free_callback_cls(owner->size(), owner->data(),
                                                                      FreeString, owner);
    if (!response) delete owner;
  }
  if (response) MHD_add_response_header(response, "Content-Type", reply.contentType.data());
  return response;
}

ServiceReply PlainReply(int status, const char* text) {
  ServiceReply reply;
  reply.status = status;
  reply.contentType = "text/plain; charset=utf-8";
  reply.body = text;
  return reply;
}

}  // namespace

struct CatalogueServer::Callbacks {
  static void* OnUri(void*, const char* uri, MHD_Connection*) {
    auto* request = new Request();
    request->target = uri ? uri : "";
    return request;
  }

  static void OnCompleted(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    delete static_cast<Request*>(*context);
    *context = nullptr;
  }

  static void OnConnection(void* cls, MHD_Connection*, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<CatalogueServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      if (server->openConnections_.fetch_add(1) >= server->config_.maxConnections) {
        *socketContext = &overLimitMark;
      }
    } else {
      server->openConnections_.fetch_sub(1);
    }
  }

  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char*, size_t* uploadSize,
                              void** context) {
    auto* server = static_cast<CatalogueServer*>(cls);
    auto* request = static_cast<Request*>(*context);
    if (!request) return MHD_NO;
    // The first call comes with the headers, before any body is read; an
    // answer queued then makes the library close the connection after it,
    // as the body would be left unread. So the answer waits for the next
    // call, which comes once the (usually empty) body is in; a body sent
    // with a GET is read and dropped.
    if (!request->headersRead) {
      server->Capture(connection, url, method, *request);
      request->headersRead = true;
      return MHD_YES;
    }
    if (*uploadSize != 0) {
      *uploadSize = 0;
      return MHD_YES;
    }
    if (request->answered) return MHD_YES;
    if (!request->ready.load(std::memory_order_acquire)) {
      if (!request->overLimit && (request->method == "GET" || request->method == "HEAD")) {
        MHD_suspend_connection(connection);
        server->workers_->Add(connection, request);
        return MHD_YES;
      }
      request->reply = request->overLimit
                           ? PlainReply(503, "Too many connections, try again later\n")
                           : PlainReply(405, "Method Not Allowed\n");
    }
    return static_cast<MHD_Result>(server->Send(connection, *request));
  }
};

CatalogueServer::CatalogueServer() = default;

CatalogueServer::~CatalogueServer() {
  Stop();
  if (listenFd_ >= 0) close(listenFd_);
}

long RaiseOpenFileLimit(long& before) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    before = -1;
    return -1;
  }
  before = static_cast<long>(limit.rlim_cur);
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return before;
  }
  return static_cast<long>(limit.rlim_cur);
}

std::unique_ptr<CatalogueServer> CatalogueServer::Create(std::vector<Product> products,
                                                         const ServerConfig& config,
                                                         std::string& error) {
  std::unique_ptr<CatalogueServer> server(new CatalogueServer());
  server->config_ = config;
  ServerConfig& c = server->config_;
  c.threads = std::max(1, c.threads);
  if (c.workers < 1)
    c.workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  c.maxConnections = std::max(1, c.maxConnections);
  c.idleTimeoutSeconds = std::max(1, c.idleTimeoutSeconds);
  auto index = CatalogueIndex::Build(std::move(products), error, c.resultCacheEntries);
  if (!index) return nullptr;
  server->service_ = std::make_unique<CatalogueService>(std::move(index), c.key, c.requiredHeaders,
                                                        c.logRequests, c.linkBase);
  server->listenFd_ = Listen(c.host, c.port, error);
  if (server->listenFd_ < 0) return nullptr;
  server->port_ = BoundPort(server->listenFd_);
  return server;
}

bool CatalogueServer::StartDaemon() {
  const unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_TURBO;
  // The library refuses connections past its own limit without an answer;
  // ours answers 503 up to twice the limit, so the refusal is kept for floods.
  const unsigned hardLimit = static_cast<unsigned>(config_.maxConnections) * 2;
  // The library closes the listening socket it is given when it stops, and
  // on most of its start failures: it gets a duplicate of its own, so that
  // the one this server holds is closed once, by the destructor.
  const int given = ::fcntl(listenFd_, F_DUPFD_CLOEXEC, 0);
  if (given < 0) return false;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Callbacks::OnRequest, this, MHD_OPTION_LISTEN_SOCKET, given,
      MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(config_.threads),
      MHD_OPTION_CONNECTION_LIMIT, hardLimit, MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(config_.idleTimeoutSeconds), MHD_OPTION_URI_LOG_CALLBACK,
      &Callbacks::OnUri, this, MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::OnCompleted, this,
      MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::OnConnection, this, MHD_OPTION_END);
  return daemon_ != nullptr;
}

void CatalogueServer::Capture(MHD_Connection* connection, const char* url, const char* method,
                              Request& request) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  request.overLimit = info && info->socket_context == &overLimitMark;
  request.path = url ? url : "";
  request.method = method ? method : "";
  const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
  request.host = host ? host : "";
  request.local = LocalHost(connection);
  MHD_get_connection_values(
      connection, MHD_HEADER_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char* value) {
        static_cast<Request*>(cls)->headers.emplace_back(key ? key : "", value ? value : "");
        return MHD_YES;
      },
      &request);
}

ServiceReply CatalogueServer::Answer(const Request& request) {
  const std::string_view target = request.target;
  const size_t q = target.find('?');
  ServiceRequest in;
  in.path = request.path;
  in.rawQuery = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
  in.host = request.host;
  in.fallbackHost = request.local;
  in.hasHeader = [&request](std::string_view name, std::string_view value) {
    for (const auto& [key, text] : request.headers) {
      if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0 &&
          text == value) {
        return true;
      }
    }
    return false;
  };
  return service_->Answer(in);
}

void CatalogueServer::Finish(MHD_Connection* connection, Request& request, ServiceReply reply) {
  const bool late = reply.isImage && delays_;
  request.reply = std::move(reply);
  request.ready.store(true, std::memory_order_release);
  if (late) {
    delays_->Add(connection, std::chrono::milliseconds(config_.imageDelayMs));
  } else {
    MHD_resume_connection(connection);
  }
}

int CatalogueServer::Send(MHD_Connection* connection, Request& request) {
  const int status = request.reply.status;
  const size_t size = request.reply.Body().size();
  MHD_Response* response = MakeResponse(request.reply);
  if (!response) return MHD_NO;
  if (status == 503) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  if (status == 405) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(status), response);
  MHD_destroy_response(response);
  request.answered = true;
  if (config_.logRequests) Log(connection, request, status, size);
  return queued;
}

void CatalogueServer::Log(MHD_Connection* connection, const Request& request, int status,
                          size_t size) const {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  const std::string remote = AddressText(info ? info->client_addr : nullptr, false);
  // One call per line, so lines from several threads never interleave.
  std::fprintf(stderr, "%s %s \"%s %s\" %d %zu\n", stamp, remote.c_str(),
               Printable(request.method).c_str(), Printable(request.target).c_str(), status, size);
}

bool CatalogueServer::Run() {
  std::unique_lock<std::mutex> lock(stopMutex_);
  if (stopping_ || serving_) return true;
  serving_ = true;
  if (config_.imageDelayMs > 0) delays_ = std::make_unique<Delays>();
  workers_ = std::make_unique<Workers>(*this, config_.workers);
  const bool started = StartDaemon();
  running_ = started;
  if (started) stopCv_.wait(lock, [this] { return stopping_; });
  running_ = false;
  lock.unlock();
  // Queued requests and held-back images are resumed now, so that no
  // connection stays suspended when the loops end.
  workers_->Stop();
  if (delays_) delays_->Stop();
  if (daemon_) {
    // Stopped without quiescing it first: with a pool of epoll threads, the
    // library's quiesce races its own threads to take the listening socket
    // out of their epoll sets, and aborts the process when it loses.
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }
  workers_.reset();
  delays_.reset();
  lock.lock();
  serving_ = false;
  stopCv_.notify_all();
  return started;
}

void CatalogueServer::Stop() {
  std::unique_lock<std::mutex> lock(stopMutex_);
  stopping_ = true;
  stopCv_.notify_all();
  stopCv_.wait(lock, [this] { return !serving_; });
}

}  // namespace quobble::catalogue
