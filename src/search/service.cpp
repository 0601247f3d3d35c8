#include "search/service.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform/text.h"

namespace quobble {

namespace {

struct Service {
  std::mutex mutex;
  std::u16string origin;
  std::u16string path;
  std::u16string headers;
};

Service& TheService() {
  static Service service;
  return service;
}

}  // namespace

void SetServiceEndpoint(std::u16string_view endpoint) {
  while (!endpoint.empty() && endpoint.back() == u'/') endpoint.remove_suffix(1);
  const size_t scheme = endpoint.find(u"://");
  const size_t slash = endpoint.find(u'/', scheme == std::u16string_view::npos ? 0 : scheme + 3);
  Service& service = TheService();
  std::lock_guard lock(service.mutex);
  service.origin = endpoint.substr(0, slash);
  service.path = slash == std::u16string_view::npos ? std::u16string(u"/search")
                                                    : std::u16string(endpoint.substr(slash));
}

std::u16string ServiceEndpoint() {
  Service& service = TheService();
  std::lock_guard lock(service.mutex);
  return service.origin;
}

std::u16string ServicePath() {
  Service& service = TheService();
  std::lock_guard lock(service.mutex);
  return service.path.empty() ? u"/search" : service.path;
}

std::string ConfiguredEndpoint(const char* endpointArgument) {
  if (endpointArgument != nullptr && *endpointArgument != '\0') return endpointArgument;
  const char* env = std::getenv("QUOBBLE_ENDPOINT");
  return env != nullptr ? env : "";
}

std::string EndpointProblem(std::string_view endpoint) {
  const size_t scheme = endpoint.find("://");
  if (scheme == std::string_view::npos) return "it has no scheme:// in front";
  const std::string name = Lower(endpoint.substr(0, scheme));
  if (name != "http" && name != "https") return "only http and https are spoken";
  const std::string_view rest = endpoint.substr(scheme + 3);
  if (rest.empty() || rest.front() == '/' || rest.front() == ':') return "it names no host";
  // Credentials in the address would be shown by every message that names
  // it, and sent along to wherever a redirect leads.
  if (rest.substr(0, rest.find('/')).find('@') != std::string_view::npos)
    return "it holds a user name or password; give credentials as headers in a file "
           "(--headers-file)";
  for (const char c : endpoint) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F)
      return "it holds a space or a control character";
    if (c == '?' || c == '#') return "the request adds its own query; give none";
  }
  return {};
}

std::string MaskSecrets(std::string_view url) {
  static constexpr std::string_view kMasked = "\xE2\x80\xA6";  // …
  std::string out(url);
  const size_t scheme = out.find("://");
  if (scheme != std::string::npos) {
    const size_t host = scheme + 3;
    const size_t end = std::min(out.find_first_of("/?#", host), out.size());
    const size_t at = out.rfind('@', end - 1);
    if (at != std::string::npos && at >= host && at < end) out.replace(host, at - host, kMasked);
  }
  for (size_t at = out.find('?'); at < out.find('#'); at = out.find('&', at + 1)) {
    if (out.compare(at + 1, 4, "key=") != 0) continue;
    const size_t value = at + 5;
    const size_t valueEnd = std::min(out.find_first_of("&#", value), out.size());
    out.replace(value, valueEnd - value, kMasked);
  }
  return out;
}

std::string NormalizeHeader(std::string_view line, std::string& problem) {
  problem.clear();
  const size_t colon = line.find(':');
  const std::string_view name = colon == std::string_view::npos ? line : line.substr(0, colon);
  if (colon == std::string_view::npos || name.empty()) {
    problem = "a header is \"Name: value\"";
    return {};
  }
  for (const char c : name) {
    if (!IsHttpTokenChar(c)) {
      problem = "the header name \"" + std::string(name) + "\" holds characters no name may";
      return {};
    }
  }
  // These would change how the request is framed or where it goes.
  const std::string lower = Lower(name);
  if (lower == "host" || lower == "content-length" || lower == "transfer-encoding" ||
      lower == "connection") {
    problem = "the header " + std::string(name) + " is the client's own to send";
    return {};
  }
  const std::string_view value = Trim(line.substr(colon + 1));
  for (const char c : value) {
    if (c == '\r' || c == '\n' || c == '\0') {
      problem = "the value of " + std::string(name) + " holds a line break or a NUL";
      return {};
    }
  }
  return std::string(name) + ": " + std::string(value);
}

bool ReadHeadersFile(const std::string& path, std::vector<std::string>& headers,
                     std::string& problem, bool& exposed) {
  std::ifstream in(path, std::ios::binary);
  struct stat st {};
  if (!in || ::stat(path.c_str(), &st) != 0) {
    problem = "cannot read the headers file " + path + ": " + std::strerror(errno);
    return false;
  }
  exposed = (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string_view text = Trim(line);
    if (text.empty() || text.front() == '#') continue;
    std::string why;
    std::string header = NormalizeHeader(text, why);
    if (!why.empty()) {
      problem = path + " line " + std::to_string(number) + ": " + why;
      return false;
    }
    headers.push_back(std::move(header));
  }
  return true;
}

void SetServiceHeaders(const std::vector<std::string>& headers) {
  std::string joined;
  for (const std::string& header : headers) joined += header + "\r\n";
  Service& service = TheService();
  std::lock_guard lock(service.mutex);
  service.headers = Utf8ToUtf16(joined);
}

std::u16string ServiceHeaders() {
  Service& service = TheService();
  std::lock_guard lock(service.mutex);
  return service.headers;
}

}  // namespace quobble
