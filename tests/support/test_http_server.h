#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace quobble {

// One scripted answer of TestHttpServer, with the faults it can inject.
//
//   HttpResponse ok;                         // 200, empty body, Content-Length: 0
//   ok.body = "hello";
//   auto notFound = HttpResponse::Status(404);
//   auto moved = HttpResponse::Redirect("/elsewhere");
//   HttpResponse slow = HttpResponse::Body("abc");
//   slow.stallAt = 1; slow.stallMs = 5000;  // hold after the first body byte
struct HttpResponse {
  enum class Framing {
    kContentLength,  // "Content-Length: <announcedLength or body size>"
    kClose,          // no length; the body ends when the server closes
    kChunked,        // "Transfer-Encoding: chunked", chunks of chunkSize
  };

  int status = 200;
  std::string reason;  // empty: a standard phrase for the status
  // Sent after the status line, before the framing header.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  Framing framing = Framing::kContentLength;
  size_t chunkSize = 4096;

  // Content-Length to announce instead of the body's size (a larger value
  // with a shorter body: the body ends short, then the server closes).
  std::optional<size_t> announcedLength;
  // Send only this many body bytes, then close (mid-chunk when chunked, and
  // the terminating chunk is never sent).
  std::optional<size_t> cutAfter;
  // End the connection with a reset (RST) instead of an orderly close, when
  // the response ends it (cutAfter, kClose, closeAfter or a short body).
  bool reset = false;
  // Reset the connection as soon as the request is read: no status line.
  bool resetBeforeHeaders = false;
  // Wait this long before sending the status line.
  int delayBeforeHeadersMs = 0;
  // Hold for stallMs once this many body bytes are sent (0: right after the
  // headers).
  std::optional<size_t> stallAt;
  int stallMs = 0;
  // Send the body one byte at a time, this far apart (a server that is never
  // quite silent long enough to time out).
  int dripMs = 0;
  // Close the connection after this response even if the client keeps it
  // alive ("Connection: close" is sent).
  bool closeAfter = false;

  static HttpResponse Body(std::string body, std::string contentType = "text/plain");
  static HttpResponse Status(int status, std::string body = {});
  // 302 (or `status`) with "Location: <location>".
  static HttpResponse Redirect(std::string location, int status = 302);
};

// One request as the server read it.
struct RecordedRequest {
  std::string requestLine;  // "GET /path?x=1 HTTP/1.1"
  std::string method;
  std::string target;                                        // "/path?x=1"
  std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
  int connection = 0;  // 1-based number of the connection it came on

  // The first header of that name (case-insensitive), or "" when absent.
  std::string Header(std::string_view name) const;
};

// A loopback HTTP/1.1 server for tests, on 127.0.0.1 and a random free port.
// Each connection is served on its own thread, with keep-alive, so concurrent
// clients (a UI thread and a worker) are both answered.
//
// Answers are chosen in this order: the next queued response (Enqueue), then
// the route whose target matches exactly ("/a?b=1"), then the route for the
// path without the query ("/a"), else 404. Routes answer every request.
//
// The destructor stops promptly even while a response is stalled or a client
// keeps its connection open. Every method is thread-safe.
class TestHttpServer {
 public:
  TestHttpServer();
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT" + path.
  std::string Url(std::string_view path) const;
  std::u16string WideUrl(std::string_view path) const;

  void Route(std::string target, HttpResponse response);
  void Enqueue(HttpResponse response);

  std::vector<RecordedRequest> Requests() const;
  // Connections accepted so far.
  int ConnectionCount() const;
  // Blocks until exactly `count` connections are open on the server's side
  // (a client's close reaches the server a little later) or `timeoutMs`
  // passed.
  bool WaitForOpenConnections(int count, int timeoutMs = 5000) const;
  // Blocks until `count` requests have been read or `timeoutMs` passed.
  bool WaitForRequests(size_t count, int timeoutMs = 5000) const;

 private:
  struct State;
  void AcceptLoop();
  void Serve(int fd, int connection);

  std::shared_ptr<State> state_;
  uint16_t port_ = 0;
  int listenFd_ = -1;
  std::thread acceptThread_;
};

}  // namespace quobble
