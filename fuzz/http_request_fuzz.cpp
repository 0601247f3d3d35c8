// Arbitrary bytes through the service's request reader, as a client sends
// them: the head scanner and the chunked-body skipper each fed the input in
// pieces (sizes drawn from the input's first byte) must reach exactly what
// they reach fed it whole, and a head they accept must hold no line end but
// CRLF. The pieces are what a trickling or splitting client controls, so a
// difference there would let one client frame a request two ways.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "catalogue/http_request.h"

using namespace quobble::catalogue;

namespace {

[[noreturn]] void Fail(const char* why) {
  std::fprintf(stderr, "http_request_fuzz: %s\n", why);
  std::abort();
}

// Piece lengths 1 to 16, from a seed.
size_t NextPiece(uint32_t& seed) {
  seed = seed * 1103515245u + 12345u;
  return 1 + (seed >> 16) % 16;
}

void CheckHead(std::string_view bytes, uint32_t seed) {
  HeadScanner whole;
  const HeadScanner::State once = whole.Scan(bytes);
  HeadScanner pieces;
  HeadScanner::State state = HeadScanner::State::kIncomplete;
  for (size_t end = 0; end < bytes.size() && state == HeadScanner::State::kIncomplete;) {
    end = std::min(bytes.size(), end + NextPiece(seed));
    state = pieces.Scan(bytes.substr(0, end));
  }
  if (state != once) Fail("the head scanner's result depends on the pieces");
  if (once == HeadScanner::State::kInvalid && pieces.Status() != whole.Status()) {
    Fail("the head scanner's status depends on the pieces");
  }
  if (once != HeadScanner::State::kComplete) return;
  if (pieces.Start() != whole.Start() || pieces.End() != whole.End()) {
    Fail("the head's bounds depend on the pieces");
  }
  if (whole.End() > bytes.size() || whole.Start() >= whole.End()) Fail("head bounds out of range");
  const std::string_view head = bytes.substr(whole.Start(), whole.End() - whole.Start());
  if (head.size() < 4 || head.substr(head.size() - 4) != "\r\n\r\n") Fail("head not ended by CRLF CRLF");
  for (size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) Fail("a bare LF passed");
    if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n')) Fail("a bare CR passed");
  }
  RequestHead parsed;
  if (ParseRequestHead(head, parsed) == 0) {
    if (parsed.method.empty() || parsed.target.empty()) Fail("accepted without method or target");
    (void)TargetPath(parsed.target);
  }
}

void CheckChunked(std::string_view bytes, uint32_t seed) {
  ChunkedSkipper whole;
  size_t wholeUsed = 0;
  const ChunkedSkipper::State once = whole.Feed(bytes, wholeUsed);
  if (wholeUsed > bytes.size()) Fail("the skipper used more than it was given");
  ChunkedSkipper pieces;
  size_t at = 0;
  ChunkedSkipper::State state = ChunkedSkipper::State::kIncomplete;
  while (at < bytes.size() && state == ChunkedSkipper::State::kIncomplete) {
    const std::string_view piece = bytes.substr(at, NextPiece(seed));
    size_t used = 0;
    state = pieces.Feed(piece, used);
    if (used > piece.size()) Fail("the skipper used more than a piece");
    at += used;
  }
  if (state != once) Fail("the skipper's result depends on the pieces");
  if (once == ChunkedSkipper::State::kComplete && at != wholeUsed) {
    Fail("the body's end depends on the pieces");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t seed = data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  CheckHead(bytes, seed);
  CheckChunked(bytes, seed);
  return 0;
}
