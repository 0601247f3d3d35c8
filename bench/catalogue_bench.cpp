// Throughput and latency of the stand-in catalogue.
//
// A 100,000-product catalogue is generated here, written as a catalogue file
// and loaded the way `quobble-catalogue --catalogue FILE` loads it. Two client
// threads, each on one keep-alive loopback connection, ask for 100-item
// answers over a mix of queries, sort orders and pages; another run asks
// while a thousand idle, half-sent connections are open.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "catalogue/catalogue_data.h"
#include "catalogue/catalogue_server.h"
#include "catalogue/embedded_catalogue.h"
#include "catalogue/search_answer.h"
#include "tests/support/http_test_client.h"
#include "tests/support/test_data.h"

namespace {

using quobble::EncodeAll;
using quobble::catalogue::Product;
using quobble::catalogue::http_test::HttpTestClient;
using Clock = std::chrono::steady_clock;

struct Kind {
  const char* ko;
  const char* en;
  const char* category;
};

constexpr Kind kKinds[] = {
    {"러닝화 운동화", "Running Shoes", "패션잡화"},
    {"스니커즈", "Sneakers Shoes", "패션잡화"},
    {"가죽 구두", "Leather Shoes", "패션잡화"},
    {"백팩 가방", "Backpack", "패션잡화"},
    {"노트북", "Laptop", "디지털/가전"},
    {"노트북 거치대", "Laptop Stand", "디지털/가전"},
    {"모니터", "Monitor", "디지털/가전"},
    {"무선 헤드폰", "Headphones", "디지털/가전"},
    {"기계식 키보드", "Keyboard", "디지털/가전"},
    {"무선 마우스", "Mouse", "디지털/가전"},
    {"커피머신", "Coffee Machine", "디지털/가전"},
    {"원두 커피", "Coffee Beans", "식품"},
    {"녹차 티백", "Green Tea", "식품"},
    {"사무용 의자", "Office Chair", "가구/인테리어"},
    {"식탁 의자", "Dining Chair", "가구/인테리어"},
    {"컴퓨터 책상", "Desk", "가구/인테리어"},
    {"LED 스탠드", "Desk Lamp", "가구/인테리어"},
    {"머그컵", "Coffee Mug", "생활/건강"},
    {"보온 텀블러", "Tumbler", "생활/건강"},
    {"수납 정리함", "Storage Box", "생활/건강"},
    {"캠핑 의자", "Camping Chair", "스포츠/레저"},
    {"돔 텐트", "Dome Tent", "스포츠/레저"},
    {"요가 매트", "Yoga Mat", "스포츠/레저"},
    {"수분 크림", "Moisture Cream", "화장품/미용"},
};
constexpr const char* kBrands[] = {"Aurel",  "포근",    "Zephyra", "Lumo",     "단단",
                                   "Nimbra", "Corvo",   "해올",    "Pellucid", "Tandem",
                                   "누리담", "Ostrava", "Kiri"};
constexpr const char* kColours[] = {"블랙",   "Black", "화이트", "White", "네이비", "Navy",
                                    "그레이", "Gray",  "베이지", "Beige", "레드",   "Olive"};
constexpr const char* kExtras[] = {"경량",    "방수",    "대용량",    "Free Shipping",
                                   "1+1",     "정품",    "2026 신상", "Best & Basic",
                                   "\"Pro\"", "<한정판>"};

uint64_t Next(uint64_t& s) {
  s = s * 6364136223846793005ULL + 1442695040888963407ULL;
  return s >> 33;
}

template <typename T, size_t N>
const T& Pick(uint64_t& s, const T (&items)[N]) {
  return items[Next(s) % N];
}

std::vector<Product> Generate(size_t count) {
  std::vector<Product> out;
  out.reserve(count);
  uint64_t s = 42;
  int64_t id = 10000000;
  for (size_t i = 0; i < count; ++i) {
    const Kind& k = Pick(s, kKinds);
    Product p;
    id += 1 + static_cast<int64_t>(Next(s) % 20);
    p.id = id;
    std::string model = std::string(1, static_cast<char>('A' + Next(s) % 26)) + "-" +
                        std::to_string(100 + Next(s) % 900);
    p.title = std::string(Pick(s, kBrands)) + " " + (Next(s) % 2 ? k.ko : k.en) + " " +
              (Next(s) % 3 ? k.en : k.ko) + " " + model + " " + Pick(s, kExtras) + " " +
              Pick(s, kColours);
    p.lowPrice = static_cast<int64_t>(Next(s) % 3000) * 100;
    p.highPrice = Next(s) % 3 ? 0 : p.lowPrice + static_cast<int64_t>(Next(s) % 500) * 100;
    p.mallName = "Mall " + std::to_string(Next(s) % 40);
    p.maker = "Maker " + std::to_string(Next(s) % 60);
    p.brand = Pick(s, kBrands);
    p.category[0] = k.category;
    char date[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d %02d:%02d:%02d",
                  2024 + static_cast<int>(Next(s) % 3), 1 + static_cast<int>(Next(s) % 12),
                  1 + static_cast<int>(Next(s) % 28), static_cast<int>(Next(s) % 24),
                  static_cast<int>(Next(s) % 60), static_cast<int>(Next(s) % 60));
    p.updated = date;
    out.push_back(std::move(p));
  }
  return out;
}

// The generated catalogue, written once as a file and read back from it.
const std::vector<Product>& LargeCatalogue() {
  static const std::vector<Product> products = [] {
    std::string path =
        (std::filesystem::temp_directory_path() / "quobble_catalogue_bench.tsv").string();
    std::string text = quobble::catalogue::FormatCatalogue(Generate(100000));
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
    std::vector<Product> loaded;
    std::string error;
    if (!quobble::catalogue::LoadCatalogueFile(path, loaded, error)) {
      std::fprintf(stderr, "catalogue_bench: %s\n", error.c_str());
      std::abort();
    }
    std::remove(path.c_str());
    return loaded;
  }();
  return products;
}

// Queries people type: single words with many hits, two-word queries, and
// two-syllable Hangul words that no trigram can index.
constexpr const char* kQueries[] = {"shoes",       "laptop",        "운동화",    "노트북",
                                    "coffee",      "chair",         "의자",      "커피",
                                    "black chair", "running shoes", "desk lamp", "텐트 4인용",
                                    "tumbler",     "mouse",         "모니터",    "가방"};
constexpr const char* kSorts[] = {"sim", "date", "asc", "dsc"};

double Percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  size_t at = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(at), v.end());
  return v[at];
}

void ReportLatencies(benchmark::State& state, std::vector<double>& latencies, size_t failures) {
  state.counters["p50_ms"] = Percentile(latencies, 0.50);
  state.counters["p99_ms"] = Percentile(latencies, 0.99);
  state.counters["max_ms"] = Percentile(latencies, 1.0);
  state.counters["failures"] = static_cast<double>(failures);
}

// The service over the large catalogue, serving on a thread of its own
// until destroyed.
class LargeServer {
 public:
  explicit LargeServer(const quobble::catalogue::ServerConfig& config) {
    server_ = quobble::catalogue::CatalogueServer::Create(LargeCatalogue(), config, error_);
    if (!server_) return;
    thread_ = std::thread([this] { (void)server_->Run(); });
    while (!server_->IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LargeServer() {
    if (!server_) return;
    server_->Stop();
    thread_.join();
  }
  // False (and the benchmark skipped) when it could not start.
  bool Started(benchmark::State& state) const {
    if (!server_) state.SkipWithError(error_.c_str());
    return server_ != nullptr;
  }
  int Port() const { return server_->Port(); }

 private:
  std::string error_;
  std::unique_ptr<quobble::catalogue::CatalogueServer> server_;
  std::thread thread_;
};

// Arg 0: result cache entries (0 = every request runs the whole query).
void BM_HundredItemAnswersTwoClients(benchmark::State& state) {
  quobble::catalogue::ServerConfig config;
  config.resultCacheEntries = static_cast<size_t>(state.range(0));
  LargeServer server(config);
  if (!server.Started(state)) return;
  const int port = server.Port();
  const std::string key(quobble::catalogue::kDefaultServiceKey);

  // With caching on, each query and order is asked once before measuring, so
  // the figures are the steady state of clients that page and re-sort; with
  // it off, every request runs the whole lookup, ranking and page.
  if (config.resultCacheEntries > 0) {
    HttpTestClient warm(port);
    for (const char* q : kQueries) {
      for (const char* sort : kSorts) {
        (void)warm.Get("/search?key=" + key + "&query=" + EncodeAll(q) +
                       "&display=100&start=1&target=shop&sort=" + sort);
      }
    }
  }

  constexpr int kPerClient = 2000;
  std::mutex mutex;
  std::vector<double> latencies;
  size_t failures = 0;
  double seconds = 0;
  for (auto _ : state) {
    latencies.clear();
    auto begin = Clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < 2; ++c) {
      clients.emplace_back([&, c] {
        HttpTestClient client(port);
        std::vector<double> mine;
        size_t failed = 0;
        uint64_t s = 7 + static_cast<uint64_t>(c);
        for (int i = 0; i < kPerClient; ++i) {
          std::string path = "/search?key=" + key + "&query=" + EncodeAll(Pick(s, kQueries)) +
                             "&display=100&start=" + std::to_string(1 + 100 * (Next(s) % 10)) +
                             "&target=shop&sort=" + Pick(s, kSorts);
          auto t0 = Clock::now();
          auto res = client.Get(path);
          auto t1 = Clock::now();
          if (!res || res->status != 200) ++failed;
          mine.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
        std::lock_guard<std::mutex> lock(mutex);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
        failures += failed;
      });
    }
    for (auto& t : clients) t.join();
    seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    state.SetIterationTime(seconds);
  }
  state.counters["answers_per_s"] = static_cast<double>(latencies.size()) / seconds;
  ReportLatencies(state, latencies, failures);
}
BENCHMARK(BM_HundredItemAnswersTwoClients)
    ->Arg(256)
    ->Arg(0)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Arg 0: idle connections held open while measuring, each having sent half a
// request line and then nothing (a slow or stalled client). Then 300 requests
// for 100-item answers, one after another, each on a new connection and
// each a query the server has not seen (caches off), as a user arriving
// while the others stall would send them.
void BM_RequestsBesideIdleConnections(benchmark::State& state) {
  long before = 0;
  (void)quobble::catalogue::RaiseOpenFileLimit(before);
  quobble::catalogue::ServerConfig config;
  config.resultCacheEntries = 0;
  // The idle connections all come from 127.0.0.1, as no real crowd would.
  config.maxConnectionsPerAddress = 0;
  LargeServer server(config);
  if (!server.Started(state)) return;
  const int port = server.Port();
  const std::string key(quobble::catalogue::kDefaultServiceKey);
  std::vector<std::unique_ptr<HttpTestClient>> idle;
  for (int64_t i = 0; i < state.range(0); ++i) {
    idle.push_back(std::make_unique<HttpTestClient>(port));
    if (!idle.back()->Connect() || !idle.back()->SendRaw("GET /search?key=5d0c")) {
      state.SkipWithError("cannot open the idle connections");
      break;
    }
  }
  std::vector<double> latencies;
  size_t failures = 0;
  for (auto _ : state) {
    latencies.clear();
    uint64_t s = 11;
    auto begin = Clock::now();
    for (int i = 0; i < 300; ++i) {
      std::string path = "/search?key=" + key + "&query=" + EncodeAll(Pick(s, kQueries)) +
                         "&display=100&start=" + std::to_string(1 + 100 * (Next(s) % 10)) +
                         "&target=shop&sort=" + Pick(s, kSorts);
      HttpTestClient client(port);
      auto t0 = Clock::now();
      auto res = client.Get(path, {}, "GET", 8000);
      auto t1 = Clock::now();
      if (!res || res->status != 200) ++failures;
      latencies.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
  }
  idle.clear();
  ReportLatencies(state, latencies, failures);
}
BENCHMARK(BM_RequestsBesideIdleConnections)
    ->Arg(0)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Arg 0: connections from 127.0.0.1 that trickle their request, one byte
// every 2 s, never silent long enough to be closed as idle: more than the
// server's connection limit (here 1,000, scaled down from the shipped
// 10,000 so that both sides fit in one process's file handles). Then 300
// requests from another client (127.0.0.2), each on a new connection.
// failures counts those not answered 200: the lock-out of new clients.
void BM_RequestsBesideTricklingClients(benchmark::State& state) {
  long before = 0;
  (void)quobble::catalogue::RaiseOpenFileLimit(before);
  quobble::catalogue::ServerConfig config;
  config.maxConnections = 1000;
  LargeServer server(config);
  if (!server.Started(state)) return;
  const int port = server.Port();
  std::vector<std::unique_ptr<HttpTestClient>> trickling;
  for (int64_t i = 0; i < state.range(0); ++i) {
    trickling.push_back(std::make_unique<HttpTestClient>(port));
    (void)trickling.back()->Connect();
  }
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::thread trickle([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (int sent = 0; !finished; ++sent) {
      // A closed connection fails its send; it is not opened again.
      for (auto& c : trickling) {
        if (c->IsOpen() && !c->SendRaw(std::string(1, "GET /search?key="[sent % 16]))) c->Close();
      }
      done.wait_for(lock, std::chrono::seconds(2), [&] { return finished; });
    }
  });
  const std::string key(quobble::catalogue::kDefaultServiceKey);
  std::vector<double> latencies;
  size_t failures = 0;
  for (auto _ : state) {
    uint64_t s = 13;
    auto begin = Clock::now();
    for (int i = 0; i < 300; ++i) {
      std::string path = "/search?key=" + key + "&query=" + EncodeAll(Pick(s, kQueries)) +
                         "&display=100&start=1&target=shop&sort=" + Pick(s, kSorts);
      HttpTestClient client(port, "127.0.0.2");
      auto t0 = Clock::now();
      auto res = client.Get(path, {}, "GET", 8000);
      latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      if (!res || res->status != 200) ++failures;
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  done.notify_all();
  trickle.join();
  ReportLatencies(state, latencies, failures);
}
BENCHMARK(BM_RequestsBesideTricklingClients)
    ->Arg(1200)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// What a client pays before its first search: the bundled catalogue parsed,
// indexed and served, then stopped again.
void BM_EmbeddedStartAndStop(benchmark::State& state) {
  for (auto _ : state) {
    std::string error;
    auto catalogue = quobble::EmbeddedCatalogue::Start({}, &error);
    if (!catalogue) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
}
BENCHMARK(BM_EmbeddedStartAndStop)->Unit(benchmark::kMillisecond);

// Index build of the 100,000-product catalogue (the service's own start-up).
void BM_IndexBuildLarge(benchmark::State& state) {
  const auto& products = LargeCatalogue();
  for (auto _ : state) {
    std::string error;
    auto index = quobble::catalogue::CatalogueIndex::Build(products, error);
    benchmark::DoNotOptimize(index.get());
  }
}
BENCHMARK(BM_IndexBuildLarge)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
