#include "tests/support/test_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

#include "platform/text.h"

namespace quobble {

struct TestHttpServer::State {
  mutable std::mutex mutex;
  mutable std::condition_variable requestArrived;
  std::map<std::string, HttpResponse> routes;
  std::deque<HttpResponse> queue;
  std::vector<RecordedRequest> requests;
  std::vector<std::thread> connections;
  int connectionCount = 0;
  int openConnections = 0;
  std::atomic<bool> stopping{false};
  // Written once on stop and never read: every poll that watches it wakes.
  int wakeRead = -1;
  int wakeWrite = -1;
};

namespace {

constexpr size_t kMaxRequestHead = 64 * 1024;

enum class Ending { kKeep, kClose, kReset };

std::string Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

// Sleeps for `ms` unless the server stops first; false when it stops.
bool Hold(int wakeFd, int ms) {
  pollfd wake{wakeFd, POLLIN, 0};
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    const int n = ::poll(&wake, 1, static_cast<int>(left.count()));
    if (n > 0) return false;
    if (n < 0 && errno != EINTR) return false;
  }
}

// Waits until `fd` is ready for `events`; false when the server stops or the
// socket fails.
bool WaitReady(int fd, short events, int wakeFd) {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return false;
    if (fds[0].revents != 0) return true;
  }
}

bool SendAll(int fd, std::string_view data, int wakeFd) {
  while (!data.empty()) {
    if (!WaitReady(fd, POLLOUT, wakeFd)) return false;
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void Reset(int fd) {
  linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd);
}

std::optional<RecordedRequest> ParseHead(std::string_view head) {
  RecordedRequest request;
  size_t lineEnd = head.find("\r\n");
  request.requestLine = std::string(head.substr(0, lineEnd));
  const size_t firstSpace = request.requestLine.find(' ');
  const size_t lastSpace = request.requestLine.rfind(' ');
  if (firstSpace == std::string::npos || lastSpace == firstSpace) return std::nullopt;
  request.method = request.requestLine.substr(0, firstSpace);
  request.target = request.requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
  while (lineEnd != std::string_view::npos) {
    const size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    const std::string_view line = head.substr(start, lineEnd - start);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    request.headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                                 std::string(Trim(line.substr(colon + 1))));
  }
  return request;
}

// Sends one response; says how the connection goes on.
class Responder {
 public:
  Responder(int fd, int wakeFd, const HttpResponse& response)
      : fd_(fd), wake_(wakeFd), r_(response) {}

  Ending Run(bool clientCloses) {
    if (r_.resetBeforeHeaders) return Ending::kReset;
    if (r_.delayBeforeHeadersMs > 0 && !Hold(wake_, r_.delayBeforeHeadersMs)) return Ending::kClose;
    const bool closes =
        clientCloses || r_.closeAfter || r_.framing == HttpResponse::Framing::kClose;
    if (!SendAll(fd_, Head(closes), wake_)) return Ending::kClose;

    const size_t limit = std::min(r_.cutAfter.value_or(r_.body.size()), r_.body.size());
    if (!SendBody(limit)) return Ending::kClose;

    const bool shortBody =
        r_.cutAfter.has_value() || (r_.framing == HttpResponse::Framing::kContentLength &&
                                    r_.announcedLength.value_or(r_.body.size()) > r_.body.size());
    if (shortBody || closes) return r_.reset ? Ending::kReset : Ending::kClose;
    return Ending::kKeep;
  }

 private:
  std::string Head(bool closes) const {
    std::string head = "HTTP/1.1 " + std::to_string(r_.status) + " " +
                       (r_.reason.empty() ? Reason(r_.status) : r_.reason) + "\r\n";
    for (const auto& [name, value] : r_.headers) head += name + ": " + value + "\r\n";
    switch (r_.framing) {
      case HttpResponse::Framing::kContentLength:
        head += "Content-Length: " + std::to_string(r_.announcedLength.value_or(r_.body.size())) +
                "\r\n";
        break;
      case HttpResponse::Framing::kChunked:
        head += "Transfer-Encoding: chunked\r\n";
        break;
      case HttpResponse::Framing::kClose:
        break;
    }
    if (closes) head += "Connection: close\r\n";
    return head + "\r\n";
  }

  bool MaybeStall(size_t position) {
    if (stalled_ || !r_.stallAt || *r_.stallAt != position) return true;
    stalled_ = true;
    return Hold(wake_, r_.stallMs);
  }

  // Body bytes [from, to), holding at the stall point on the way.
  bool SendPayload(size_t from, size_t to) {
    if (r_.stallAt && *r_.stallAt > from && *r_.stallAt < to) {
      return SendPayload(from, *r_.stallAt) && SendPayload(*r_.stallAt, to);
    }
    if (!MaybeStall(from)) return false;
    if (r_.dripMs > 0) {
      for (size_t i = from; i < to; ++i)
        if (!Hold(wake_, r_.dripMs) || !SendAll(fd_, r_.body.substr(i, 1), wake_)) return false;
      return true;
    }
    return SendAll(fd_, std::string_view(r_.body).substr(from, to - from), wake_);
  }

  bool SendBody(size_t limit) {
    if (r_.framing != HttpResponse::Framing::kChunked) {
      return SendPayload(0, limit) && MaybeStall(limit);
    }
    const size_t chunk = std::max<size_t>(r_.chunkSize, 1);
    for (size_t offset = 0; offset < r_.body.size(); offset += chunk) {
      if (offset >= limit) return true;
      const size_t length = std::min(chunk, r_.body.size() - offset);
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", length);
      if (!SendAll(fd_, size, wake_)) return false;
      if (!SendPayload(offset, std::min(offset + length, limit))) return false;
      if (offset + length > limit) return true;  // cut inside this chunk
      if (!SendAll(fd_, "\r\n", wake_)) return false;
    }
    if (r_.cutAfter) return true;
    return MaybeStall(limit) && SendAll(fd_, "0\r\n\r\n", wake_);
  }

  int fd_;
  int wake_;
  const HttpResponse& r_;
  bool stalled_ = false;
};

}  // namespace

HttpResponse HttpResponse::Body(std::string body, std::string contentType) {
  HttpResponse response;
  response.body = std::move(body);
  response.headers.emplace_back("Content-Type", std::move(contentType));
  return response;
}

HttpResponse HttpResponse::Status(int status, std::string body) {
  HttpResponse response = Body(std::move(body));
  response.status = status;
  return response;
}

HttpResponse HttpResponse::Redirect(std::string location, int status) {
  HttpResponse response;
  response.status = status;
  response.headers.emplace_back("Location", std::move(location));
  return response;
}

std::string RecordedRequest::Header(std::string_view name) const {
  const std::string wanted = Lower(name);
  for (const auto& [key, value] : headers)
    if (Lower(key) == wanted) return value;
  return {};
}

TestHttpServer::TestHttpServer() : state_(std::make_shared<State>()) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  state_->wakeRead = pipeFds[0];
  state_->wakeWrite = pipeFds[1];

  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("cannot listen on loopback");
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
  state_->stopping = true;
  const char byte = 1;
  (void)!::write(state_->wakeWrite, &byte, 1);
  acceptThread_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard lock(state_->mutex);
    connections.swap(state_->connections);
  }
  for (auto& thread : connections) thread.join();
  ::close(listenFd_);
  ::close(state_->wakeRead);
  ::close(state_->wakeWrite);
}

std::string TestHttpServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::u16string TestHttpServer::WideUrl(std::string_view path) const {
  return Utf8ToUtf16(Url(path));
}

void TestHttpServer::Route(std::string target, HttpResponse response) {
  std::lock_guard lock(state_->mutex);
  state_->routes[std::move(target)] = std::move(response);
}

void TestHttpServer::Enqueue(HttpResponse response) {
  std::lock_guard lock(state_->mutex);
  state_->queue.push_back(std::move(response));
}

std::vector<RecordedRequest> TestHttpServer::Requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

int TestHttpServer::ConnectionCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->connectionCount;
}

bool TestHttpServer::WaitForOpenConnections(int count, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->openConnections == count) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool TestHttpServer::WaitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock lock(state_->mutex);
  return state_->requestArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                         [&] { return state_->requests.size() >= count; });
}

void TestHttpServer::AcceptLoop() {
  while (WaitReady(listenFd_, POLLIN, state_->wakeRead)) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // The head and the body go out in separate sends; without this the body
    // waits for the client's delayed ACK (~40 ms) and timings measure that.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard lock(state_->mutex);
    const int number = ++state_->connectionCount;
    ++state_->openConnections;
    state_->connections.emplace_back([this, fd, number] { Serve(fd, number); });
  }
}

void TestHttpServer::Serve(int fd, int connection) {
  std::string buffer;
  Ending ending = Ending::kClose;
  for (;;) {
    size_t headEnd;
    bool readable = true;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos && readable) {
      char piece[4096];
      readable = buffer.size() < kMaxRequestHead && WaitReady(fd, POLLIN, state_->wakeRead);
      const ssize_t n = readable ? ::recv(fd, piece, sizeof piece, 0) : 0;
      if (n <= 0)
        readable = false;
      else
        buffer.append(piece, static_cast<size_t>(n));
    }
    if (headEnd == std::string::npos) break;
    auto request = ParseHead(std::string_view(buffer).substr(0, headEnd));
    buffer.erase(0, headEnd + 4);
    if (!request) break;
    // A request body is read and dropped so the next request starts cleanly.
    const std::string length = request->Header("Content-Length");
    const size_t bodySize = length.empty() ? 0 : std::strtoul(length.c_str(), nullptr, 10);
    while (buffer.size() < bodySize && WaitReady(fd, POLLIN, state_->wakeRead)) {
      char piece[4096];
      const ssize_t n = ::recv(fd, piece, sizeof piece, 0);
      if (n <= 0) break;
      buffer.append(piece, static_cast<size_t>(n));
    }
    buffer.erase(0, std::min(bodySize, buffer.size()));
    request->connection = connection;
    const bool clientCloses = Lower(request->Header("Connection")) == "close" ||
                              request->requestLine.ends_with("HTTP/1.0");

    HttpResponse response = HttpResponse::Status(404, "not found");
    {
      std::lock_guard lock(state_->mutex);
      const std::string path = request->target.substr(0, request->target.find('?'));
      if (!state_->queue.empty()) {
        response = std::move(state_->queue.front());
        state_->queue.pop_front();
      } else if (auto exact = state_->routes.find(request->target); exact != state_->routes.end()) {
        response = exact->second;
      } else if (auto route = state_->routes.find(path); route != state_->routes.end()) {
        response = route->second;
      }
      state_->requests.push_back(std::move(*request));
    }
    state_->requestArrived.notify_all();

    ending = Responder(fd, state_->wakeRead, response).Run(clientCloses);
    if (ending != Ending::kKeep) break;
    ending = Ending::kClose;
  }
  if (ending == Ending::kReset) {
    Reset(fd);
  } else {
    ::close(fd);
  }
  std::lock_guard lock(state_->mutex);
  --state_->openConnections;
}

}  // namespace quobble
