#include "catalogue/catalogue_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "catalogue/search_answer.h"
#include "platform/text.h"

namespace quobble::catalogue {
namespace {

constexpr const char* kXmlType = "text/xml; charset=utf-8";

bool AllDigits(std::string_view s) {
  if (s.empty() || s.size() > 15) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int64_t ToId(std::string_view digits) {
  int64_t v = 0;
  for (char c : digits) v = v * 10 + (c - '0');
  return v;
}

// A Host header goes into every address of the answer, so only the plain
// characters of a host name, an IP literal and a port are taken from it.
bool IsPlainHost(std::string_view host) {
  if (host.empty() || host.size() > 262) return false;
  for (char c : host) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    if (!ok) return false;
  }
  return true;
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

// The listener reports failure without a reason; errno holds one when a
// socket call failed, and nothing useful when the address did not resolve.
std::string ListenError(const std::string& where) {
  int saved = errno;
  std::string error = "cannot listen on " + where;
  error += saved ? std::string(": ") + std::strerror(saved) : ": not a usable local address";
  return error;
}

void NotFound(httplib::Response& res) {
  res.status = 404;
  res.set_content("Not Found\n", "text/plain; charset=utf-8");
}

}  // namespace

CatalogueServer::CatalogueServer() = default;

CatalogueServer::~CatalogueServer() {
  Stop();
}

std::unique_ptr<CatalogueServer> CatalogueServer::Create(std::vector<Product> products,
                                                         const ServerConfig& config,
                                                         std::string& error) {
  std::unique_ptr<CatalogueServer> server(new CatalogueServer());
  server->config_ = config;
  if (server->config_.key.empty()) server->config_.key = std::string(kDefaultServiceKey);
  if (server->config_.threads < 1) server->config_.threads = 1;
  server->index_ = CatalogueIndex::Build(std::move(products), error, config.resultCacheEntries);
  if (!server->index_) return nullptr;

  auto http = std::make_unique<httplib::Server>();
  CatalogueServer* self = server.get();
  const size_t threads = static_cast<size_t>(server->config_.threads);
  http->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  // Clients page through answers on one connection; let them keep it.
  http->set_keep_alive_max_count(10000);
  http->set_keep_alive_timeout(std::max(1, server->config_.keepAliveSeconds));
  http->set_tcp_nodelay(true);
  http->set_payload_max_length(64 * 1024);
  http->Get(".*",
            [self](const httplib::Request& req, httplib::Response& res) { self->Route(req, res); });
  http->set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      res.set_content(std::to_string(res.status) + "\n", "text/plain; charset=utf-8");
    }
  });
  http->set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content(ErrorDocument({999, "System error"}), kXmlType);
      });
  if (server->config_.logRequests) {
    http->set_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::time_t now = std::time(nullptr);
      std::tm tm{};
      gmtime_r(&now, &tm);
      char stamp[32];
      std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
      // One call per line, so lines from several threads never interleave.
      std::fprintf(stderr, "%s %s \"%s %s\" %d %zu\n", stamp, Printable(req.remote_addr).c_str(),
                   Printable(req.method).c_str(), Printable(req.target).c_str(), res.status,
                   res.body.size());
    });
  }

  errno = 0;
  if (server->config_.port == 0) {
    int port = http->bind_to_any_port(server->config_.host);
    if (port <= 0) {
      error = ListenError(server->config_.host);
      return nullptr;
    }
    server->port_ = port;
  } else {
    if (!http->bind_to_port(server->config_.host, server->config_.port)) {
      error = ListenError(server->config_.host + ":" + std::to_string(server->config_.port));
      return nullptr;
    }
    server->port_ = server->config_.port;
  }
  server->http_ = std::move(http);
  return server;
}

bool CatalogueServer::Run() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (stopping_) return true;
    running_ = true;
  }
  bool ok = http_->listen_after_bind();
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    running_ = false;
  }
  return ok;
}

bool CatalogueServer::IsRunning() const {
  return http_ && http_->is_running();
}

void CatalogueServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  stopCv_.notify_all();
  if (!http_) return;
  auto runEnded = [this] {
    std::lock_guard<std::mutex> lock(stopMutex_);
    return !running_;
  };
  // The listener ignores stop() until its loop has begun; wait for that
  // unless Run() is not (or no longer) in progress.
  while (!runEnded()) {
    if (http_->is_running()) {
      http_->stop();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Run() ends once every connection's worker has ended, and a worker waits
  // out the keep-alive time of an idle connection; clients that keep their
  // connections (libcurl does) would hold every exit for that long.
  while (!runEnded()) {
    ShutDownConnections();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// The HTTP library keeps its accepted sockets to itself. They are the
// process's connected sockets whose local port is ours. Shutting down their
// reading side (not closing: the library still owns the descriptors) wakes an
// idle worker with an end of stream, while an answer being written still goes
// out whole. Client sockets of this process connected to us have the port on
// the remote side and are left alone.
void CatalogueServer::ShutDownConnections() const {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end || fd < 0 || fd == dirfd(dir)) continue;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
      continue;
    }
    int port = -1;
    if (local.ss_family == AF_INET) {
      port = ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    } else if (local.ss_family == AF_INET6) {
      port = ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    }
    if (port != port_) continue;
    int listening = 0;
    socklen_t size = sizeof listening;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 ||
        listening) {
      continue;
    }
    shutdown(static_cast<int>(fd), SHUT_RD);
  }
  closedir(dir);
}

std::string CatalogueServer::BaseFor(const httplib::Request& req) const {
  std::string host = req.get_header_value("Host");
  if (!IsPlainHost(host)) {
    std::string addr = req.local_addr.empty() ? config_.host : req.local_addr;
    int port = req.local_port > 0 ? req.local_port : port_;
    if (addr.find(':') != std::string::npos) addr = "[" + addr + "]";
    host = addr + ":" + std::to_string(port);
  }
  return "http://" + host;
}

void CatalogueServer::Route(const httplib::Request& req, httplib::Response& res) {
  std::string_view path = req.path;
  if (path == "/search") return HandleSearch(req, res);
  constexpr std::string_view kImg = "/shop/img/";
  constexpr std::string_view kProduct = "/shop/product/";
  if (path.starts_with(kImg)) return HandleImage(path.substr(kImg.size()), res);
  if (path.starts_with(kProduct)) return HandleProduct(path.substr(kProduct.size()), req, res);
  NotFound(res);
}

void CatalogueServer::HandleSearch(const httplib::Request& req, httplib::Response& res) {
  std::string_view target = req.target;
  size_t q = target.find('?');
  std::string_view raw = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
  SearchRequest request;
  RequestError refused;
  res.status = 200;
  if (!ParseSearchRequest(raw, config_.key, request, refused)) {
    res.set_content(ErrorDocument(refused), kXmlType);
    return;
  }
  std::vector<std::u16string> words = SplitWords(Utf8ToUtf16(request.query));
  std::string error;
  std::shared_ptr<const Hits> hits = index_->Search(words, request.sort, error);
  if (!hits) {
    res.status = 500;
    res.set_content(ErrorDocument({999, "System error"}), kXmlType);
    if (config_.logRequests) std::fprintf(stderr, "search failed: %s\n", error.c_str());
    return;
  }
  res.set_content(SearchAnswer(*index_, request, words, *hits, BaseFor(req), std::time(nullptr)),
                  kXmlType);
}

void CatalogueServer::HandleImage(std::string_view rest, httplib::Response& res) {
  size_t slash = rest.find('/');
  constexpr std::string_view kJpg = ".jpg";
  if (slash == std::string_view::npos || !rest.ends_with(kJpg)) return NotFound(res);
  std::string_view digits = rest.substr(slash + 1, rest.size() - slash - 1 - kJpg.size());
  if (!AllDigits(digits)) return NotFound(res);
  int64_t id = ToId(digits);
  if (ImagePathFor(id) != rest || index_->Find(id) < 0) return NotFound(res);
  if (config_.imageDelayMs > 0) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    stopCv_.wait_for(lock, std::chrono::milliseconds(config_.imageDelayMs),
                     [this] { return stopping_; });
  }
  std::shared_ptr<const std::string> jpeg = thumbnails_.Get(id);
  if (!jpeg) {
    res.status = 500;
    res.set_content("cannot render the picture\n", "text/plain; charset=utf-8");
    return;
  }
  res.status = 200;
  res.set_content(*jpeg, "image/jpeg");
}

void CatalogueServer::HandleProduct(std::string_view rest, const httplib::Request& req,
                                    httplib::Response& res) {
  if (!AllDigits(rest)) return NotFound(res);
  int64_t pos = index_->Find(ToId(rest));
  if (pos < 0) return NotFound(res);
  const Product& p = index_->Products()[static_cast<size_t>(pos)];
  const std::string title = HtmlEscape(p.title);
  std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                     "</title></head>\n<body>\n<h1>" + title + "</h1>\n<p><img src=\"" +
                     HtmlEscape(BaseFor(req) + "/shop/img/" + ImagePathFor(p.id)) + "\" width=\"" +
                     std::to_string(kThumbnailSize) + "\" height=\"" +
                     std::to_string(kThumbnailSize) + "\" alt=\"\"></p>\n<p>" +
                     std::to_string(p.lowPrice) + " ~ " + std::to_string(p.highPrice) +
                     "</p>\n<p>" + HtmlEscape(p.mallName) + "</p>\n</body></html>\n";
  res.status = 200;
  res.set_content(html, "text/html; charset=utf-8");
}

}  // namespace quobble::catalogue
