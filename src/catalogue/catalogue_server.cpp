#include "catalogue/catalogue_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <thread>
#include <unordered_map>

#include "catalogue/http_request.h"

namespace quobble::catalogue {

using Clock = std::chrono::steady_clock;

namespace {

// How often each loop looks for connections past their time, and how long a
// connection closed after an answer is still read from, so that a client
// still sending gets the answer rather than a reset.
constexpr auto kSweepInterval = std::chrono::milliseconds(200);
constexpr auto kLingerTime = std::chrono::seconds(2);
// How long a loop stops accepting when the process is out of file handles.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

const char* Reason(int status) {
  static constexpr std::pair<int, const char*> kReasons[] = {
      {200, "OK"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {408, "Request Timeout"},
      {413, "Content Too Large"},
      {414, "URI Too Long"},
      {431, "Request Header Fields Too Large"},
      {500, "Internal Server Error"},
      {501, "Not Implemented"},
      {503, "Service Unavailable"},
      {505, "HTTP Version Not Supported"},
  };
  for (const auto& [code, text] : kReasons) {
    if (code == status) return text;
  }
  return "Unknown";
}

ServiceReply PlainReply(int status, std::string text) {
  ServiceReply reply;
  reply.status = status;
  reply.contentType = "text/plain; charset=utf-8";
  reply.body = std::move(text);
  return reply;
}

// A refusal says no more than its status line.
ServiceReply Refusal(int status) {
  return PlainReply(status, std::string(Reason(status)) + "\n");
}

// The listener is made here so that a failure says why, and a host name
// works as well as an address.
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

std::string LocalAddress(int fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return "127.0.0.1";
  return AddressText(reinterpret_cast<sockaddr*>(&local), true);
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

// The first line of what a refused client sent, for the log.
std::string_view FirstLine(std::string_view bytes) {
  return bytes.substr(0, bytes.find_first_of("\r\n"));
}

}  // namespace

// One request, from its loop to a worker and back: what the answer depends
// on, copied out of the connection's bytes so that a worker touches nothing
// of the loop's, and then the answer.
struct CatalogueServer::Request {
  Loop* loop = nullptr;
  uint64_t connection = 0;
  std::string method;
  std::string target;  // as sent
  std::string path;    // decoded, without the query
  std::string host;
  std::string local;
  std::vector<std::pair<std::string, std::string>> headers;
  ServiceReply reply;
};

// The requests themselves run on these threads, not on the event loops: a
// loop serves many connections, and a query that takes a millisecond would
// hold back every other connection of its loop (two busy keep-alive clients
// that landed on one loop got one core between them).
struct CatalogueServer::Workers {
  CatalogueServer& server;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::unique_ptr<Request>> queue;
  bool stopping = false;
  std::vector<std::thread> threads;

  Workers(CatalogueServer& owner, int count) : server(owner) {
    for (int i = 0; i < count; ++i) threads.emplace_back([this] { Serve(); });
  }
  ~Workers() { Stop(); }

  void Add(std::unique_ptr<Request> request) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!stopping) queue.push_back(std::move(request));
    }
    if (!request) {
      // Woken after the lock is let go, so that the worker does not wake
      // only to wait for it.
      wake.notify_one();
      return;
    }
    // The loops still read requests while the server stops.
    request->reply = PlainReply(503, "Shutting down\n");
    server.Finish(std::move(request));
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
  void Serve() {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      wake.wait(lock, [this] { return stopping || !queue.empty(); });
      if (queue.empty()) return;
      std::unique_ptr<Request> request = std::move(queue.front());
      queue.pop_front();
      const bool answer = !stopping;
      lock.unlock();
      request->reply = answer ? server.Answer(*request) : PlainReply(503, "Shutting down\n");
      server.Finish(std::move(request));
      lock.lock();
    }
  }
};

// Images answered late (tests of slow thumbnails): held here, not on a
// thread, and handed to their loops when their time has come, or at once
// when the server stops.
struct CatalogueServer::Delays {
  std::mutex mutex;
  std::condition_variable wake;
  std::multimap<Clock::time_point, std::unique_ptr<Request>> due;
  bool stopping = false;
  std::thread thread;

  Delays() {
    thread = std::thread([this] { Serve(); });
  }
  ~Delays() { Stop(); }

  void Add(std::unique_ptr<Request> request, std::chrono::milliseconds delay);
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
  }
  void Serve();
};

// One connection, owned and only ever touched by its loop's thread.
struct CatalogueServer::Connection {
  enum class Phase { kHead, kBody, kWaiting, kWriting, kLingering, kClosed };

  uint64_t id = 0;
  int fd = -1;
  AddressKey key;
  bool overLimit = false;
  std::string remote;  // the client's address, for the log
  std::string local;   // "ADDR:PORT" it came in on
  Phase phase = Phase::kHead;
  // Edge-triggered readiness: what the last events said and no read or
  // write has used up since.
  bool readable = false;
  bool writable = true;
  Clock::time_point lastActivity;
  // kHead and kBody: when the request must be in; kLingering: when to close.
  Clock::time_point deadline;

  // Bytes read and not yet used: the head being read, or what follows it.
  std::string in;
  HeadScanner scanner;
  std::unique_ptr<Request> request;  // once its head is read, until handed on
  bool keepAlive = true;
  bool chunked = false;
  ChunkedSkipper chunks;
  uint64_t bodyLeft = 0;  // Content-Length: still to drop
  uint64_t bodyRead = 0;  // chunked: dropped so far

  // The answer being written: its head, then its body (none for HEAD).
  std::string head;
  ServiceReply reply;
  bool withBody = true;
  size_t sent = 0;
};

// An epoll loop on a thread of its own: accepts its share of the
// connections, reads their requests, hands them to the workers, and writes
// the answers that come back.
struct CatalogueServer::Loop {
  static constexpr uint64_t kListener = 0;
  static constexpr uint64_t kWake = 1;

  CatalogueServer& server;
  int epoll = -1;
  int wakeFd = -1;
  std::thread thread;

  // A connection accepted by one loop for another to serve.
  struct Accepted {
    int fd;
    sockaddr_storage peer;
    AddressKey key;
    bool overLimit;
  };

  // Handed over by other threads under the mutex: answers from the workers,
  // connections from the other loops, and the stop. The loop is woken once
  // for all that has come since it last looked.
  std::mutex mutex;
  std::vector<std::unique_ptr<Request>> answered;
  std::vector<Accepted> adopted;
  bool stopping = false;
  bool wakePending = false;

  // The loop thread's own.
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections;
  std::vector<uint64_t> closed;  // erased once the events at hand are handled
  uint64_t nextId = 2;
  Clock::time_point now = Clock::now();
  Clock::time_point nextSweep = now;
  bool acceptPaused = false;
  Clock::time_point acceptAgain;
  std::time_t dateSecond = 0;
  std::string date;
  std::array<char, 64 * 1024> scratch;

  explicit Loop(CatalogueServer& owner) : server(owner) {}
  ~Loop() {
    for (auto& [id, c] : connections) Close(*c);
    for (const Accepted& a : adopted) {
      close(a.fd);
      server.Release(a.key);
    }
    if (epoll >= 0) close(epoll);
    if (wakeFd >= 0) close(wakeFd);
  }

  bool Open();
  void Run();
  // From any thread.
  void Deliver(std::unique_ptr<Request> request);
  void Adopt(const Accepted& accepted);
  void RequestStop();

 private:
  // Under the mutex: whether the loop needs waking for what was just added.
  bool NeedsWake();
  void Wake();
  bool Watch(int fd, uint64_t id, uint32_t events);
  int WaitMs() const;
  void Accept();
  void Serve(const Accepted& accepted);
  bool OnWake();
  void OnEvent(uint64_t id, uint32_t events);
  // Takes a connection as far as it can go without waiting.
  void Advance(Connection& c);
  bool Consume(Connection& c);
  void StartRequest(Connection& c);
  bool SkipBody(Connection& c);
  void Dispatch(Connection& c);
  bool ReadMore(Connection& c);
  bool Flush(Connection& c);
  void Answered(Connection& c);
  void Linger(Connection& c);
  void Respond(Connection& c, const Request* request, ServiceReply reply);
  void Refuse(Connection& c, int status);
  void Sweep();
  void TimeOut(Connection& c);
  void Close(Connection& c);
  const std::string& Date();
};

void CatalogueServer::Delays::Add(std::unique_ptr<Request> request,
                                  std::chrono::milliseconds delay) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!stopping) {
      due.emplace(Clock::now() + delay, std::move(request));
      wake.notify_all();
      return;
    }
  }
  request->loop->Deliver(std::move(request));
}

void CatalogueServer::Delays::Serve() {
  std::unique_lock<std::mutex> lock(mutex);
  while (true) {
    while (!due.empty() && (stopping || due.begin()->first <= Clock::now())) {
      std::unique_ptr<Request> request = std::move(due.begin()->second);
      due.erase(due.begin());
      request->loop->Deliver(std::move(request));
    }
    if (stopping) return;
    if (due.empty()) {
      wake.wait(lock);
    } else {
      wake.wait_until(lock, due.begin()->first);
    }
  }
}

bool CatalogueServer::Loop::Watch(int fd, uint64_t id, uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = id;
  return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

bool CatalogueServer::Loop::Open() {
  epoll = epoll_create1(EPOLL_CLOEXEC);
  wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  // Every loop waits on the one listener; EPOLLEXCLUSIVE wakes one of them
  // per new connection rather than all.
  return epoll >= 0 && wakeFd >= 0 && Watch(wakeFd, kWake, EPOLLIN) &&
         Watch(server.listenFd_, kListener, EPOLLIN | EPOLLEXCLUSIVE);
}

bool CatalogueServer::Loop::NeedsWake() {
  const bool first = !wakePending;
  wakePending = true;
  return first;
}

// After the lock is let go, so that the loop does not wake only to wait for it.
void CatalogueServer::Loop::Wake() {
  const uint64_t one = 1;
  (void)!write(wakeFd, &one, sizeof one);
}

void CatalogueServer::Loop::Deliver(std::unique_ptr<Request> request) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex);
    answered.push_back(std::move(request));
    wake = NeedsWake();
  }
  if (wake) Wake();
}

void CatalogueServer::Loop::Adopt(const Accepted& accepted) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex);
    adopted.push_back(accepted);
    wake = NeedsWake();
  }
  if (wake) Wake();
}

void CatalogueServer::Loop::RequestStop() {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
    wake = NeedsWake();
  }
  if (wake) Wake();
}

int CatalogueServer::Loop::WaitMs() const {
  if (connections.empty() && !acceptPaused) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextSweep - now);
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

void CatalogueServer::Loop::Run() {
  std::array<epoll_event, 256> events;
  while (true) {
    const int count = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), WaitMs());
    if (count < 0 && errno != EINTR) {
      std::fprintf(stderr, "quobble-catalogue: epoll_wait: %s\n", std::strerror(errno));
      return;
    }
    now = Clock::now();
    for (int i = 0; i < count; ++i) {
      const uint64_t id = events[i].data.u64;
      if (id == kListener) {
        Accept();
      } else if (id == kWake) {
        if (!OnWake()) return;
      } else {
        OnEvent(id, events[i].events);
      }
    }
    if (now >= nextSweep) Sweep();
    for (uint64_t id : closed) connections.erase(id);
    closed.clear();
  }
}

void CatalogueServer::Loop::Accept() {
  // A few at a time, so that a flood of new connections cannot starve the
  // ones this loop already serves; the listener stays ready for the rest.
  for (int i = 0; i < 64; ++i) {
    Accepted a{};
    socklen_t length = sizeof a.peer;
    a.fd = accept4(server.listenFd_, reinterpret_cast<sockaddr*>(&a.peer), &length,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (a.fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of file handles: the pending connection would wake the loop
      // again at once, for ever; it waits a moment instead.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        epoll_ctl(epoll, EPOLL_CTL_DEL, server.listenFd_, nullptr);
        acceptPaused = true;
        acceptAgain = now + kAcceptPause;
      }
      return;
    }
    if (!server.Admit(reinterpret_cast<sockaddr*>(&a.peer), a.key, a.overLimit)) {
      close(a.fd);
      continue;
    }
    // The listener wakes one loop, mostly the same one; connections are
    // dealt to the loops in turn, so that two busy clients do not share one
    // loop while the other idles.
    Loop& next = *server.loops_[server.nextLoop_.fetch_add(1) % server.loops_.size()];
    if (&next == this) {
      Serve(a);
    } else {
      next.Adopt(a);
    }
  }
}

void CatalogueServer::Loop::Serve(const Accepted& a) {
  auto c = std::make_unique<Connection>();
  c->id = nextId++;
  c->fd = a.fd;
  c->key = a.key;
  c->overLimit = a.overLimit;
  c->remote = AddressText(reinterpret_cast<const sockaddr*>(&a.peer), false);
  c->local = LocalAddress(a.fd);
  c->lastActivity = now;
  c->deadline = now + std::chrono::seconds(server.config_.requestTimeoutSeconds);
  // Each answer goes out in one write; nothing is gained by holding back
  // its last segment until the client acknowledges the one before.
  int on = 1;
  setsockopt(a.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (!Watch(a.fd, c->id, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET)) {
    close(a.fd);
    server.Release(a.key);
    return;
  }
  connections.emplace(c->id, std::move(c));
}

bool CatalogueServer::Loop::OnWake() {
  uint64_t count = 0;
  (void)!read(wakeFd, &count, sizeof count);
  std::vector<std::unique_ptr<Request>> batch;
  std::vector<Accepted> arrived;
  bool stop;
  {
    std::lock_guard<std::mutex> lock(mutex);
    batch.swap(answered);
    arrived.swap(adopted);
    stop = stopping;
    wakePending = false;
  }
  for (const Accepted& a : arrived) Serve(a);
  for (auto& request : batch) {
    auto found = connections.find(request->connection);
    if (found == connections.end() || found->second->phase != Connection::Phase::kWaiting) continue;
    Connection& c = *found->second;
    if (stop) c.keepAlive = false;
    ServiceReply reply = std::move(request->reply);
    Respond(c, request.get(), std::move(reply));
    Advance(c);
  }
  return !stop;
}

void CatalogueServer::Loop::OnEvent(uint64_t id, uint32_t events) {
  auto found = connections.find(id);
  if (found == connections.end()) return;
  Connection& c = *found->second;
  if (c.phase == Connection::Phase::kClosed) return;
  if (events & (EPOLLERR | EPOLLHUP)) {
    Close(c);
    return;
  }
  if (events & (EPOLLIN | EPOLLRDHUP)) c.readable = true;
  if (events & EPOLLOUT) c.writable = true;
  Advance(c);
}

void CatalogueServer::Loop::Advance(Connection& c) {
  using Phase = Connection::Phase;
  while (true) {
    switch (c.phase) {
      case Phase::kHead:
      case Phase::kBody:
        if (Consume(c)) continue;
        if (!c.readable || !ReadMore(c)) return;
        continue;
      case Phase::kWriting:
        if (!c.writable || !Flush(c)) return;
        continue;
      case Phase::kLingering:
        Linger(c);
        return;
      case Phase::kWaiting:
      case Phase::kClosed:
        return;
    }
  }
}

// Uses what has been read; false when more bytes are needed.
bool CatalogueServer::Loop::Consume(Connection& c) {
  if (c.phase == Connection::Phase::kBody) return SkipBody(c);
  switch (c.scanner.Scan(c.in)) {
    case HeadScanner::State::kIncomplete:
      return false;
    case HeadScanner::State::kInvalid:
      Refuse(c, c.scanner.Status());
      return true;
    case HeadScanner::State::kComplete:
      StartRequest(c);
      return true;
  }
  return false;
}

void CatalogueServer::Loop::StartRequest(Connection& c) {
  RequestHead head;
  const std::string_view bytes(c.in);
  const size_t start = c.scanner.Start();
  const int status = ParseRequestHead(bytes.substr(start, c.scanner.End() - start), head);
  if (status) {
    Refuse(c, status);
    return;
  }
  auto request = std::make_unique<Request>();
  request->loop = this;
  request->connection = c.id;
  request->method = head.method;
  request->target = head.target;
  request->path = TargetPath(head.target);
  request->host = head.host;
  request->local = c.local;
  request->headers.reserve(head.fields.size());
  for (const auto& [name, value] : head.fields) request->headers.emplace_back(name, value);
  c.request = std::move(request);
  c.keepAlive = head.keepAlive;
  c.chunked = head.body == RequestHead::Body::kChunked;
  c.chunks = ChunkedSkipper();
  c.bodyLeft = head.body == RequestHead::Body::kLength ? head.contentLength : 0;
  c.bodyRead = 0;
  c.in.erase(0, c.scanner.End());
  c.scanner.Reset();
  if (c.bodyLeft > kMaxRequestBody) {
    Refuse(c, 413);
  } else if (c.chunked || c.bodyLeft > 0) {
    c.phase = Connection::Phase::kBody;
  } else {
    Dispatch(c);
  }
}

// A body (sent with a GET, say) is read and dropped; false when more bytes
// are needed.
bool CatalogueServer::Loop::SkipBody(Connection& c) {
  if (c.in.empty()) return false;
  size_t used = c.in.size();
  if (!c.chunked) {
    used = static_cast<size_t>(std::min<uint64_t>(c.bodyLeft, used));
    c.bodyLeft -= used;
    c.in.erase(0, used);
    if (c.bodyLeft == 0) Dispatch(c);
    return true;
  }
  const ChunkedSkipper::State state = c.chunks.Feed(c.in, used);
  c.in.erase(0, used);
  c.bodyRead += used;
  if (state == ChunkedSkipper::State::kInvalid) {
    Refuse(c, 400);
  } else if (c.bodyRead > kMaxRequestBody) {
    Refuse(c, 413);
  } else if (state == ChunkedSkipper::State::kComplete) {
    Dispatch(c);
  }
  return true;
}

void CatalogueServer::Loop::Dispatch(Connection& c) {
  c.phase = Connection::Phase::kWaiting;
  std::unique_ptr<Request> request = std::move(c.request);
  if (c.overLimit) {
    c.keepAlive = false;
    Respond(c, request.get(), PlainReply(503, "Too many connections, try again later\n"));
    return;
  }
  // Every request that keeps its connection goes through the workers, even
  // one refused at once: a client pipelining such requests would otherwise
  // keep this loop to itself.
  server.workers_->Add(std::move(request));
}

// True when bytes were read; false when there are none yet, or the
// connection is gone (a client that ends its side mid-request is dropped).
bool CatalogueServer::Loop::ReadMore(Connection& c) {
  while (true) {
    const ssize_t n = recv(c.fd, scratch.data(), scratch.size(), 0);
    if (n > 0) {
      c.in.append(scratch.data(), static_cast<size_t>(n));
      c.lastActivity = now;
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      c.readable = false;
    } else {
      Close(c);
    }
    return false;
  }
}

void CatalogueServer::Loop::Respond(Connection& c, const Request* request, ServiceReply reply) {
  const int status = reply.status;
  const size_t size = reply.Body().size();
  c.reply = std::move(reply);
  c.withBody = !request || request->method != "HEAD";
  c.sent = 0;
  std::string& h = c.head;
  h.clear();
  h.append("HTTP/1.1 ").append(std::to_string(status)).append(" ").append(Reason(status));
  h.append("\r\nDate: ").append(Date());
  h.append("\r\nContent-Type: ").append(c.reply.contentType);
  h.append("\r\nContent-Length: ").append(std::to_string(size));
  if (!c.keepAlive) h.append("\r\nConnection: close");
  if (status == 405) h.append("\r\nAllow: GET, HEAD");
  h.append("\r\n\r\n");
  c.phase = Connection::Phase::kWriting;
  c.lastActivity = now;
  if (!server.config_.logRequests) return;
  server.Log(c.remote,
             request ? request->method + " " + request->target : std::string(FirstLine(c.in)),
             status, size);
}

// A request that cannot be read, or not in time: answered with its status,
// and the connection closed.
void CatalogueServer::Loop::Refuse(Connection& c, int status) {
  c.keepAlive = false;
  std::unique_ptr<Request> request = std::move(c.request);
  Respond(c, request.get(), Refusal(status));
}

// Writes what the socket takes; true once the whole answer is out.
bool CatalogueServer::Loop::Flush(Connection& c) {
  while (true) {
    const std::string_view body = c.withBody ? c.reply.Body() : std::string_view();
    const size_t total = c.head.size() + body.size();
    if (c.sent == total) {
      Answered(c);
      return true;
    }
    iovec parts[2];
    int count = 0;
    if (c.sent < c.head.size()) {
      parts[count++] = {c.head.data() + c.sent, c.head.size() - c.sent};
    }
    const size_t fromBody = c.sent > c.head.size() ? c.sent - c.head.size() : 0;
    if (fromBody < body.size()) {
      parts[count++] = {const_cast<char*>(body.data()) + fromBody, body.size() - fromBody};
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(count);
    const ssize_t n = sendmsg(c.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      c.sent += static_cast<size_t>(n);
      c.lastActivity = now;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      c.writable = false;
    } else {
      Close(c);
    }
    return false;
  }
}

// The answer is out: on to the next request, or to closing.
void CatalogueServer::Loop::Answered(Connection& c) {
  c.reply = ServiceReply();
  c.head.clear();
  if (!c.keepAlive) {
    // Our side is done; what the client still sends is read and dropped
    // for a moment, as closing with unread bytes would reset the connection
    // and could destroy the answer before the client has read it.
    shutdown(c.fd, SHUT_WR);
    c.phase = Connection::Phase::kLingering;
    c.deadline = now + kLingerTime;
    return;
  }
  c.phase = Connection::Phase::kHead;
  c.lastActivity = now;
  c.deadline = now + std::chrono::seconds(server.config_.requestTimeoutSeconds);
}

void CatalogueServer::Loop::Linger(Connection& c) {
  // Bounded, so that a client sending fast cannot hold the loop.
  for (int i = 0; i < 16 && c.readable; ++i) {
    const ssize_t n = recv(c.fd, scratch.data(), scratch.size(), 0);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      c.readable = false;
      return;
    }
    Close(c);  // the client has closed too
    return;
  }
}

void CatalogueServer::Loop::Sweep() {
  using Phase = Connection::Phase;
  nextSweep = now + kSweepInterval;
  if (acceptPaused && now >= acceptAgain &&
      Watch(server.listenFd_, kListener, EPOLLIN | EPOLLEXCLUSIVE)) {
    acceptPaused = false;
  }
  const auto idle = std::chrono::seconds(server.config_.idleTimeoutSeconds);
  for (auto& [id, connection] : connections) {
    Connection& c = *connection;
    switch (c.phase) {
      case Phase::kHead:
      case Phase::kBody:
        if (now >= c.deadline || now - c.lastActivity >= idle) TimeOut(c);
        break;
      case Phase::kWriting:
        if (now - c.lastActivity >= idle) Close(c);
        break;
      case Phase::kLingering:
        if (now >= c.deadline) Close(c);
        break;
      case Phase::kWaiting:
      case Phase::kClosed:
        break;
    }
  }
}

// A request begun and not finished in time is answered 408; a connection
// idle between requests is closed without a word, as a client may be
// sending its next request on it at this very moment.
void CatalogueServer::Loop::TimeOut(Connection& c) {
  if (c.in.empty() && c.phase == Connection::Phase::kHead) {
    Close(c);
    return;
  }
  Refuse(c, 408);
  Advance(c);
}

void CatalogueServer::Loop::Close(Connection& c) {
  if (c.phase == Connection::Phase::kClosed) return;
  close(c.fd);
  c.phase = Connection::Phase::kClosed;
  closed.push_back(c.id);
  server.Release(c.key);
}

// The Date header's text, made once a second. Written out by hand: the
// names of days and months must not follow the process's locale.
const std::string& CatalogueServer::Loop::Date() {
  const std::time_t second = std::time(nullptr);
  if (second == dateSecond) return date;
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  gmtime_r(&second, &tm);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7],
                tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  dateSecond = second;
  date = text;
  return date;
}

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
  c.maxConnections = std::clamp(c.maxConnections, 1, 1 << 29);
  c.maxConnectionsPerAddress = std::max(0, c.maxConnectionsPerAddress);
  c.idleTimeoutSeconds = std::max(1, c.idleTimeoutSeconds);
  c.requestTimeoutSeconds = std::max(1, c.requestTimeoutSeconds);
  auto index = CatalogueIndex::Build(std::move(products), error, c.resultCacheEntries);
  if (!index) return nullptr;
  server->service_ = std::make_unique<CatalogueService>(std::move(index), c.key, c.requiredHeaders,
                                                        c.logRequests, c.linkBase);
  server->listenFd_ = Listen(c.host, c.port, error);
  if (server->listenFd_ < 0) return nullptr;
  server->port_ = BoundPort(server->listenFd_);
  return server;
}

bool CatalogueServer::Admit(const sockaddr* peer, AddressKey& key, bool& overLimit) {
  key = {0, 0};
  if (peer->sa_family == AF_INET) {
    key = {AF_INET, ntohl(reinterpret_cast<const sockaddr_in*>(peer)->sin_addr.s_addr)};
  } else if (peer->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr;
    uint64_t prefix = 0;
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
      uint32_t v4 = 0;
      std::memcpy(&v4, a.s6_addr + 12, sizeof v4);
      key = {AF_INET, ntohl(v4)};
    } else {
      std::memcpy(&prefix, a.s6_addr, sizeof prefix);
      key = {AF_INET6, prefix};
    }
  }
  const int perAddress = config_.maxConnectionsPerAddress;
  if (perAddress > 0) {
    std::lock_guard<std::mutex> lock(addressMutex_);
    int& count = perAddress_[key];
    if (count >= perAddress) return false;
    ++count;
  }
  const int open = openConnections_.fetch_add(1);
  overLimit = open >= config_.maxConnections;
  if (open < 2 * config_.maxConnections) return true;
  Release(key);
  return false;
}

void CatalogueServer::Release(const AddressKey& key) {
  openConnections_.fetch_sub(1);
  if (config_.maxConnectionsPerAddress <= 0) return;
  std::lock_guard<std::mutex> lock(addressMutex_);
  auto found = perAddress_.find(key);
  if (found != perAddress_.end() && --found->second <= 0) perAddress_.erase(found);
}

ServiceReply CatalogueServer::Answer(const Request& request) {
  if (request.method != "GET" && request.method != "HEAD") {
    return PlainReply(405, "Method Not Allowed\n");
  }
  ServiceRequest in;
  in.path = request.path;
  in.rawQuery = TargetQuery(request.target);
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

void CatalogueServer::Finish(std::unique_ptr<Request> request) {
  if (request->reply.isImage && delays_) {
    delays_->Add(std::move(request), std::chrono::milliseconds(config_.imageDelayMs));
    return;
  }
  Loop* loop = request->loop;
  loop->Deliver(std::move(request));
}

void CatalogueServer::Log(const std::string& remote, std::string_view request, int status,
                          size_t size) const {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  // One call per line, so lines from several threads never interleave.
  std::fprintf(stderr, "%s %s \"%s\" %d %zu\n", stamp, remote.c_str(), Printable(request).c_str(),
               status, size);
}

bool CatalogueServer::Run() {
  std::unique_lock<std::mutex> lock(stopMutex_);
  if (stopping_ || serving_) return true;
  serving_ = true;
  if (config_.imageDelayMs > 0) delays_ = std::make_unique<Delays>();
  workers_ = std::make_unique<Workers>(*this, config_.workers);
  bool started = true;
  for (int i = 0; i < config_.threads && started; ++i) {
    loops_.push_back(std::make_unique<Loop>(*this));
    started = loops_.back()->Open();
  }
  if (started) {
    for (auto& loop : loops_) loop->thread = std::thread([&l = *loop] { l.Run(); });
  }
  running_ = started;
  if (started) stopCv_.wait(lock, [this] { return stopping_; });
  running_ = false;
  lock.unlock();
  // Queued requests and held-back images are answered first, while the
  // loops still run to write them; then the loops end and every connection
  // is closed.
  workers_->Stop();
  if (delays_) delays_->Stop();
  for (auto& loop : loops_) loop->RequestStop();
  for (auto& loop : loops_) {
    if (loop->thread.joinable()) loop->thread.join();
  }
  loops_.clear();
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
