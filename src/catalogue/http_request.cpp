#include "catalogue/http_request.h"

#include <algorithm>

#include "platform/text.h"

namespace quobble::catalogue {

namespace {

// Control characters other than the tab; a field value may hold none.
bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u < 0x20 && u != '\t') || u == 0x7f;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
  return -1;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x == y) || ((x | 0x20) == (y | 0x20) && (x | 0x20) >= 'a' && (x | 0x20) <= 'z');
         });
}

// "METHOD SP TARGET SP HTTP/1.x", nothing more; keepAlive set by the version.
int ParseRequestLine(std::string_view line, RequestHead& out) {
  size_t at = 0;
  while (at < line.size() && IsHttpTokenChar(line[at])) ++at;
  if (at == 0 || at == line.size() || line[at] != ' ') return 400;
  out.method = line.substr(0, at);
  const size_t targetStart = at + 1;
  at = targetStart;
  // Bytes above 0x7f are let through: badly encoded, but they frame nothing.
  while (at < line.size() && static_cast<unsigned char>(line[at]) > ' ' && line[at] != 0x7f) ++at;
  if (at == targetStart || at == line.size() || line[at] != ' ') return 400;
  out.target = line.substr(targetStart, at - targetStart);
  if (out.target.front() != '/' && out.target != "*" &&
      out.target.find("://") == std::string_view::npos) {
    return 400;
  }
  const std::string_view version = line.substr(at + 1);
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || !IsDigit(version[5]) ||
      version[6] != '.' || !IsDigit(version[7])) {
    return 400;
  }
  if (version[5] != '1') return 505;
  out.keepAlive = version[7] != '0';
  return 0;
}

// What the fields that frame a request said, and how often.
struct Framing {
  int contentLengths = 0;
  int transferEncodings = 0;
  int hosts = 0;
  bool chunked = false;
  bool close = false;
  bool keepAlive = false;
};

// Connection: a comma-separated list of options.
void ReadConnectionOptions(std::string_view value, Framing& framing) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    const std::string_view option = Trim(value.substr(0, comma));
    if (EqualsIgnoringCase(option, "close")) framing.close = true;
    if (EqualsIgnoringCase(option, "keep-alive")) framing.keepAlive = true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
}

// Content-Length: digits only. A length too long to hold is kept as the
// largest, which is refused as too large.
bool ReadContentLength(std::string_view value, uint64_t& length) {
  if (value.empty()) return false;
  length = 0;
  for (char c : value) {
    if (!IsDigit(c)) return false;
    length =
        length > (UINT64_MAX - 9) / 10 ? UINT64_MAX : length * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// One "name: value" line. The name runs up to the colon, without blanks:
// "Content-Length : 5" is refused, as some readers take that field for
// Content-Length and others for an unknown one.
int ParseField(std::string_view line, RequestHead& out, Framing& framing) {
  if (IsBlank(line.front())) return 400;  // a folded line
  size_t colon = 0;
  while (colon < line.size() && IsHttpTokenChar(line[colon])) ++colon;
  if (colon == 0 || colon == line.size() || line[colon] != ':') return 400;
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = Trim(line.substr(colon + 1));
  if (std::any_of(value.begin(), value.end(), IsControl)) return 400;
  out.fields.emplace_back(name, value);
  if (EqualsIgnoringCase(name, "Content-Length")) {
    ++framing.contentLengths;
    if (!ReadContentLength(value, out.contentLength)) return 400;
  } else if (EqualsIgnoringCase(name, "Transfer-Encoding")) {
    ++framing.transferEncodings;
    framing.chunked = EqualsIgnoringCase(value, "chunked");
  } else if (EqualsIgnoringCase(name, "Host")) {
    ++framing.hosts;
    out.host = value;
  } else if (EqualsIgnoringCase(name, "Connection")) {
    ReadConnectionOptions(value, framing);
  }
  return 0;
}

// How the body is framed, or why the request cannot be read.
int DecideFraming(const Framing& framing, bool http10, RequestHead& out) {
  // Two lengths, or a length beside a coding: the body's end is in doubt.
  if (framing.contentLengths > 1 || framing.hosts > 1 || framing.transferEncodings > 1) return 400;
  if (framing.contentLengths && framing.transferEncodings) return 400;
  if (framing.transferEncodings) {
    if (http10) return 400;  // HTTP/1.0 has no transfer codings
    if (!framing.chunked) return 501;
    out.body = RequestHead::Body::kChunked;
  } else if (framing.contentLengths && out.contentLength > 0) {
    out.body = RequestHead::Body::kLength;
  }
  out.keepAlive = http10 ? framing.keepAlive && !framing.close : !framing.close;
  return 0;
}

}  // namespace

HeadScanner::State HeadScanner::Fail(int status) {
  status_ = status;
  return State::kInvalid;
}

HeadScanner::State HeadScanner::Scan(std::string_view buffer) {
  if (status_) return State::kInvalid;
  if (end_) return State::kComplete;
  for (size_t i = scanned_; i < buffer.size(); ++i) {
    const char c = buffer[i];
    const char before = i > 0 ? buffer[i - 1] : '\0';
    if (c == '\0' || (before == '\r' && c != '\n')) return Fail(400);
    if (c == '\n') {
      if (before != '\r') return Fail(400);
      if (i - 1 > lineStart_) {
        inRequestLine_ = false;
      } else if (!inRequestLine_) {
        end_ = i + 1;
        scanned_ = end_;
        return State::kComplete;
      } else {
        start_ = i + 1;  // an empty line before the request line
      }
      lineStart_ = i + 1;
      continue;
    }
    if (inRequestLine_ && i - start_ >= kMaxRequestLine) return Fail(414);
    if (i >= kMaxRequestHead) return Fail(431);
  }
  scanned_ = buffer.size();
  return State::kIncomplete;
}

int ParseRequestHead(std::string_view head, RequestHead& out) {
  out = RequestHead();
  size_t end = head.find("\r\n");
  if (end == std::string_view::npos) return 400;
  int status = ParseRequestLine(head.substr(0, end), out);
  if (status) return status;
  const bool http10 = !out.keepAlive;
  Framing framing;
  for (size_t at = end + 2; (end = head.find("\r\n", at)) != std::string_view::npos && end > at;
       at = end + 2) {
    status = ParseField(head.substr(at, end - at), out, framing);
    if (status) return status;
  }
  return DecideFraming(framing, http10, out);
}

std::string TargetPath(std::string_view target) {
  const size_t scheme = target.find("://");
  if (scheme != std::string_view::npos && target.front() != '/') {
    const size_t path = target.find_first_of("/?", scheme + 3);
    const bool none = path == std::string_view::npos || target[path] == '?';
    target = none ? std::string_view("/") : target.substr(path);
  }
  target = target.substr(0, target.find('?'));
  std::string out;
  out.reserve(target.size());
  for (size_t i = 0; i < target.size(); ++i) {
    const bool escape = target[i] == '%' && i + 2 < target.size() && HexValue(target[i + 1]) >= 0 &&
                        HexValue(target[i + 2]) >= 0;
    if (!escape) {
      out += target[i];
      continue;
    }
    out += static_cast<char>(HexValue(target[i + 1]) * 16 + HexValue(target[i + 2]));
    i += 2;
  }
  return out;
}

std::string_view TargetQuery(std::string_view target) {
  const size_t q = target.find('?');
  return q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

ChunkedSkipper::State ChunkedSkipper::Feed(std::string_view bytes, size_t& used) {
  used = 0;
  while (used < bytes.size()) {
    if (part_ == Part::kData) {
      const uint64_t take = std::min<uint64_t>(size_, bytes.size() - used);
      used += static_cast<size_t>(take);
      size_ -= take;
      if (size_ == 0) part_ = Part::kDataCr;
      continue;
    }
    const State state = Step(bytes[used++]);
    if (state != State::kIncomplete) return state;
  }
  return State::kIncomplete;
}

ChunkedSkipper::State ChunkedSkipper::LineByte(char c, Part afterCr, size_t limit) {
  if (c == '\r') {
    part_ = afterCr;
    return State::kIncomplete;
  }
  return IsControl(c) || ++lineLength_ > limit ? State::kInvalid : State::kIncomplete;
}

ChunkedSkipper::State ChunkedSkipper::Step(char c) {
  switch (part_) {
    case Part::kSize:
      if (HexValue(c) >= 0 && digits_ < 15) {
        size_ = size_ * 16 + static_cast<uint64_t>(HexValue(c));
        ++digits_;
        return State::kIncomplete;
      }
      if (digits_ == 0 || HexValue(c) >= 0) return State::kInvalid;
      if (c == '\r') {
        part_ = Part::kSizeLf;
        return State::kIncomplete;
      }
      if (c != ';' && !IsBlank(c)) return State::kInvalid;
      part_ = Part::kExtension;
      lineLength_ = 0;
      return State::kIncomplete;
    case Part::kExtension:
      return LineByte(c, Part::kSizeLf, kMaxRequestLine);
    case Part::kSizeLf:
      if (c != '\n') return State::kInvalid;
      part_ = size_ == 0 ? Part::kTrailer : Part::kData;
      digits_ = 0;
      lineLength_ = 0;
      return State::kIncomplete;
    case Part::kData:  // Feed() takes the data in blocks
    case Part::kDataCr:
      if (c != '\r') return State::kInvalid;
      part_ = Part::kDataLf;
      return State::kIncomplete;
    case Part::kDataLf:
      if (c != '\n') return State::kInvalid;
      part_ = Part::kSize;
      return State::kIncomplete;
    case Part::kTrailer:
      return LineByte(c, Part::kTrailerLf, kMaxRequestHead);
    case Part::kTrailerLf:
      if (c != '\n') return State::kInvalid;
      if (lineLength_ == 0) return State::kComplete;
      lineLength_ = 0;
      part_ = Part::kTrailer;
      return State::kIncomplete;
  }
  return State::kInvalid;
}

}  // namespace quobble::catalogue
