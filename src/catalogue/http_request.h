#pragma once
// The request side of HTTP/1.1 as the stand-in service reads it, strictly:
// whatever two readers could frame differently is refused rather than
// guessed at, so that a proxy in front of the service and the service itself
// can never disagree on where one request ends and the next begins.
// Refused: line ends other than CRLF, a blank or a tab before a field's
// colon, folded field lines, a repeated Content-Length or Host, Content-Length
// beside Transfer-Encoding, and any transfer coding but chunked.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quobble::catalogue {

// Longest request line (else 414) and longest head (else 431).
inline constexpr size_t kMaxRequestLine = 16 * 1024;
inline constexpr size_t kMaxRequestHead = 32 * 1024;
// Longest body read and dropped (a GET's, else 413): requests carry none.
inline constexpr uint64_t kMaxRequestBody = 64 * 1024;

// Where a request head ends, found as its bytes arrive: each byte is looked
// at once however the head comes in pieces, so a client sending one byte at a
// time costs no more than one sending the whole head. A bare LF or CR ends
// the scan at once, before the head is complete.
class HeadScanner {
 public:
  enum class State { kIncomplete, kComplete, kInvalid };

  // Looks at the bytes of `buffer` past those seen by earlier calls; the
  // buffer must hold the same bytes as before, with more at its end.
  [[nodiscard]] State Scan(std::string_view buffer);
  // Complete: the head (request line to the blank line's CRLF) is
  // buffer[Start(), End()); empty lines before it are skipped.
  size_t Start() const { return start_; }
  size_t End() const { return end_; }
  // Invalid: the status to answer with (400, 414 or 431).
  int Status() const { return status_; }
  // For the next request, whose bytes begin the buffer.
  void Reset() { *this = HeadScanner(); }

 private:
  State Fail(int status);

  size_t scanned_ = 0;
  size_t start_ = 0;      // the request line's first byte
  size_t lineStart_ = 0;  // the current line's first byte
  size_t end_ = 0;
  bool inRequestLine_ = true;
  int status_ = 0;
};

// A complete head, taken apart. The views point into the bytes parsed.
struct RequestHead {
  enum class Body { kNone, kLength, kChunked };

  std::string_view method;
  std::string_view target;                                            // as sent
  std::vector<std::pair<std::string_view, std::string_view>> fields;  // value without blanks
  std::string_view host;                                              // empty when absent
  bool keepAlive = true;
  Body body = Body::kNone;
  uint64_t contentLength = 0;
};

// Takes apart a head that HeadScanner found complete (its request line to
// its last CRLF). 0 when it is well formed, else the status to answer with
// and close (400, 501 or 505).
[[nodiscard]] int ParseRequestHead(std::string_view head, RequestHead& out);

// The path of a request target, %XX decoded (a '%' without two hex digits
// stays as it is; '+' is no space in a path): "/a%20b?q=1" -> "/a b". An
// absolute target ("http://host/p?q") gives its path ("/p").
std::string TargetPath(std::string_view target);
// The text after the target's '?', as sent; empty without one.
std::string_view TargetQuery(std::string_view target);

// Reads a chunked body to its end and drops it, as strictly as the head:
// CRLF after every size line, chunk and trailer line.
class ChunkedSkipper {
 public:
  enum class State { kIncomplete, kComplete, kInvalid };

  // Takes what it can from the front of `bytes` (`used` says how much):
  // never past the body's end, so what follows is the next request.
  [[nodiscard]] State Feed(std::string_view bytes, size_t& used);

 private:
  enum class Part { kSize, kExtension, kSizeLf, kData, kDataCr, kDataLf, kTrailer, kTrailerLf };
  State Step(char c);
  // A byte of a chunk extension or a trailer line: no control character,
  // at most `limit` of them, up to a CR.
  State LineByte(char c, Part afterCr, size_t limit);

  Part part_ = Part::kSize;
  uint64_t size_ = 0;
  int digits_ = 0;
  size_t lineLength_ = 0;
};

}  // namespace quobble::catalogue
