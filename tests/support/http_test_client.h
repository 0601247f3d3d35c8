#pragma once
// A small blocking HTTP/1.1 client over a raw socket, for the service's tests
// and benchmarks: it keeps one connection, sends exactly the bytes asked for
// (half requests, hostile targets), and reads answers by their length.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quobble::catalogue::http_test {

struct HttpReply {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
  }
};

class HttpTestClient {
 public:
  // `source`: the local IPv4 address to connect from (any of 127.0.0.0/8
  // reaches a loopback server), to stand for another client host.
  explicit HttpTestClient(int port, std::string source = "")
      : port_(port), source_(std::move(source)) {}
  ~HttpTestClient() { Close(); }
  HttpTestClient(const HttpTestClient&) = delete;
  HttpTestClient& operator=(const HttpTestClient&) = delete;

  bool Connect() {
    Close();
    closed_ = false;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (!source_.empty()) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      if (inet_pton(AF_INET, source_.c_str(), &from.sin_addr) != 1 ||
          bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        Close();
        return false;
      }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      Close();
      return false;
    }
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ++connects_;
    return true;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    buffer_.clear();
  }
  bool IsOpen() const { return fd_ >= 0; }

  // One GET (or another method) on the kept connection, connecting first
  // when there is none; nothing when no whole answer came.
  std::optional<HttpReply> Get(const std::string& target,
                               const std::vector<std::string>& headers = {},
                               const std::string& method = "GET", int timeoutMs = 10000) {
    std::string request = method + " " + target + " HTTP/1.1\r\n";
    bool hasHost = false;
    for (const std::string& h : headers) {
      request += h + "\r\n";
      hasHost = hasHost || Lower(h.substr(0, 5)) == "host:";
    }
    if (!hasHost) request += "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    request += "\r\n";
    for (int attempt = 0; attempt < 2; ++attempt) {
      // A kept connection the server has closed fails at once; try a new one.
      const bool fresh = !IsOpen();
      if (!IsOpen() && !Connect()) return std::nullopt;
      HttpReply reply;
      if (SendRaw(request) && ReadReply(reply, timeoutMs, method == "HEAD")) return reply;
      Close();
      if (fresh) break;
    }
    return std::nullopt;
  }

  bool SendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  bool ReadReply(HttpReply& reply, int timeoutMs, bool head = false) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!ReadMore(deadline)) return false;
    }
    if (!ParseHead(std::string_view(buffer_).substr(0, end), reply)) return false;
    buffer_.erase(0, end + 4);
    size_t length = head ? 0 : std::strtoul(reply.Header("content-length").c_str(), nullptr, 10);
    while (buffer_.size() < length) {
      if (!ReadMore(deadline)) return false;
    }
    reply.body = buffer_.substr(0, length);
    buffer_.erase(0, length);
    if (Lower(reply.Header("connection")) == "close") Close();
    return true;
  }

  // True when the server closed the connection (or reset it) within the time.
  bool ClosedByPeer(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ReadMore(deadline)) {
    }
    return !IsOpen() || closed_;
  }

  int Fd() const { return fd_; }
  // How many connections this client has opened.
  int Connects() const { return connects_; }

 private:
  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }

  static bool ParseHead(std::string_view head, HttpReply& reply) {
    if (head.substr(0, 5) != "HTTP/" || head.size() < 12) return false;
    reply.status = std::atoi(std::string(head.substr(9, 3)).c_str());
    size_t at = head.find("\r\n");
    while (at != std::string_view::npos) {
      size_t next = head.find("\r\n", at + 2);
      std::string_view line = head.substr(
          at + 2, next == std::string_view::npos ? std::string_view::npos : next - at - 2);
      size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        reply.headers[Lower(std::string(line.substr(0, colon)))] = std::string(value);
      }
      at = next;
    }
    return true;
  }

  bool ReadMore(std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[65536];
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  int port_;
  std::string source_;
  int fd_ = -1;
  bool closed_ = false;
  int connects_ = 0;
  std::string buffer_;
};

}  // namespace quobble::catalogue::http_test
