// What one search or one thumbnail costs on the wire path, with the network
// taken out (loopback): session, request, 4096-byte pulls, written-through
// file.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/internet.h"
#include "search/download.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_http_server.h"

namespace quobble {
namespace {

struct NoMessages : MessageSink {
  void ShowMessage(const std::u16string&, const std::u16string&) override {}
};

HINTERNET OpenSession() {
  return InternetOpenW(u"QUOBBLE", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
}

// One session per download, as the thumbnail worker does; the connection
// cache keeps the TCP connection between them.
void BM_DownloadFile(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  TempRoot root;
  TestHttpServer server;
  server.Route("/f", HttpResponse::Body(std::string(size, 'x')));
  const std::u16string url = server.WideUrl("/f");
  NoMessages messages;
  for (auto _ : state) {
    HINTERNET session = OpenSession();
    if (DownloadFile(session, u"\\f.bin", url, 1, {}, nullptr, messages) != 1)
      state.SkipWithError("download failed");
    InternetCloseHandle(session);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
  state.counters["connections"] = server.ConnectionCount();
}
BENCHMARK(BM_DownloadFile)
    ->Arg(0)
    ->Arg(8 << 10)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMicrosecond);

// The library alone: reading a body through 4096-byte pulls, no file.
void BM_ReadBody(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  TestHttpServer server;
  server.Route("/f", HttpResponse::Body(std::string(size, 'x')));
  const std::u16string url = server.WideUrl("/f");
  HINTERNET session = OpenSession();
  char buffer[4096];
  for (auto _ : state) {
    HINTERNET request = InternetOpenUrlW(session, url.c_str(), nullptr, 0,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    uint32_t got = 0;
    while (request != nullptr && InternetReadFile(request, buffer, sizeof buffer, &got) &&
           got > 0) {
    }
    InternetCloseHandle(request);
  }
  InternetCloseHandle(session);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_ReadBody)->Arg(64 << 10)->Arg(4 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quobble

BENCHMARK_MAIN();
