// The search core against a plain libcurl loop doing the same work, side by
// side on loopback against the embedded catalogue: one 100-item search, 100
// cold thumbnails, 100 warm ones. Both sides write each file through
// (fdatasync before the next), as DownloadFile does; the peer's unsynced
// figures show what the storage costs.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <pugixml.hpp>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/embedded_catalogue.h"
#include "platform/device_fs.h"
#include "platform/text.h"
#include "search/download.h"
#include "search/feed_reader.h"
#include "search/product_list.h"
#include "search/search_run.h"
#include "search/search_state.h"
#include "tests/support/temp_root.h"

namespace quobble {
namespace {

namespace fs = std::filesystem;

constexpr const char16_t* kQuery = u"노트북";

struct QuietScreen : SearchScreen {
  std::u16string ReadQuery() override { return kQuery; }
  void SetTitleText(const std::u16string&) override {}
  void SetTotalText(const std::u16string&) override {}
  void SetRangeText(const std::u16string&) override {}
  void EnablePrevious(bool) override {}
  void EnableNext(bool) override {}
  bool InsertRow(int) override { return true; }
  void SetRowCount(int) override {}
  void ShowMessage(const std::u16string& text, const std::u16string& caption) override {
    std::fprintf(stderr, "%s: %s\n", Utf16ToUtf8(caption).c_str(), Utf16ToUtf8(text).c_str());
  }
  void WaitCursor() override {}
  void ArrowCursor() override {}
  void StartRetryTimer() override {}
  void StopRetryTimer() override {}
  void Progress(int) override {}
  void ProgressDone() override {
    {
      std::lock_guard lock(mutex);
      ++done;
    }
    changed.notify_all();
  }

  // Sleeps (never spins: the worker and the catalogue need both cores) until
  // the worker's run has ended.
  void WaitIdle(const ProductList& list) {
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return done > waited; });
      waited = done;
    }
    while (list.Busy()) std::this_thread::sleep_for(std::chrono::microseconds(20));
  }

  std::mutex mutex;
  std::condition_variable changed;
  int done = 0, waited = 0;
};

// A list whose worker fetches nothing, for timing the search alone.
class NoThumbnails : public ProductList {
 public:
  using ProductList::ProductList;
  ~NoThumbnails() override { StopWorker(); }
  void FetchThumbnails() override {
    screen_.ProgressDone();
    stop_.store(false);
    busy_.store(false);
  }
};

// One device root, one catalogue and the 100 image addresses of the page,
// shared by every benchmark.
struct Fixture {
  TempRoot root;
  std::unique_ptr<EmbeddedCatalogue> catalogue;
  std::string searchUrl;
  std::vector<std::string> images;
  // Each address with its cache file below "Images", so that the peer writes
  // the same files in the same folders.
  std::vector<std::pair<std::string, std::string>> cacheNames;

  Fixture() {
    std::string why;
    catalogue = EmbeddedCatalogue::Start({}, &why);
    if (!catalogue) {
      std::fprintf(stderr, "catalogue: %s\n", why.c_str());
      return;
    }
    SetServiceEndpoint(Utf8ToUtf16(catalogue->Endpoint()));
    (void)CreateFolderPath(kDataFolder);
    searchUrl = Utf16ToUtf8(BuildRequestUrl(PercentEncodeQuery(kQuery), 100, 1, u"sim"));
    QuietScreen screen;
    SearchState state;
    state.pageSize = 100;
    state.dataFolder = kDataFolder;
    NoThumbnails list(screen, std::u16string(kDataFolder));
    if (RunSearch(screen, state, list, 1) == 0)
      for (size_t i = 0; i < list.RecordCount(); ++i) {
        const std::u16string& url = list.RecordAt(i)->imageUrl;
        images.push_back(Utf16ToUtf8(url));
        std::string name = Utf16ToUtf8(ThumbnailCacheName(url));
        std::replace(name.begin(), name.end(), '\\', '/');
        cacheNames.emplace_back(images.back(), name);
      }
    screen.WaitIdle(list);
  }
  std::string Host(const std::u16string& devicePath) const { return root.Host(devicePath); }
};

Fixture* shared = nullptr;

Fixture& Shared() {
  if (shared == nullptr) shared = new Fixture;
  return *shared;
}

// The peer: one easy handle (one reused connection), a body written to a
// file as it arrives, then optionally synced.
class CurlPeer {
 public:
  CurlPeer() : curl_(curl_easy_init()) {
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Write);
    curl_easy_setopt(curl_, CURLOPT_USERAGENT, "QUOBBLE");
  }
  ~CurlPeer() { curl_easy_cleanup(curl_); }

  bool Fetch(const std::string& url, const std::string& path, bool sync) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &fd);
    long status = 0;
    const bool ok = curl_easy_perform(curl_) == CURLE_OK &&
                    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                    status == 200;
    const bool synced = !sync || ::fdatasync(fd) == 0;
    return ::close(fd) == 0 && ok && synced;
  }

 private:
  static size_t Write(char* data, size_t size, size_t count, void* user) {
    const int fd = *static_cast<int*>(user);
    const size_t bytes = size * count;
    for (size_t done = 0; done < bytes;) {
      const ssize_t n = ::write(fd, data + done, bytes - done);
      if (n <= 0) return 0;
      done += static_cast<size_t>(n);
    }
    return bytes;
  }

  CURL* curl_;
};

// What the feed reader takes from each item, so that the peer does the same
// reading, not only the parse.
size_t ReadWithPugixml(const std::string& path) {
  pugi::xml_document document;
  if (!document.load_file(path.c_str())) return 0;
  size_t items = 0, chars = 0;
  for (pugi::xml_node child : document.child("rss").child("channel").children()) {
    if (std::string_view(child.name()) != "item") continue;
    ++items;
    for (const char* field : {"title", "link", "image", "lprice", "hprice"})
      chars += std::string(child.child_value(field)).size();
  }
  benchmark::DoNotOptimize(chars);
  return items;
}

void BM_Search100_Quobble(benchmark::State& state) {
  Fixture& f = Shared();
  QuietScreen screen;
  SearchState search;
  search.pageSize = 100;
  search.dataFolder = kDataFolder;
  NoThumbnails list(screen, std::u16string(kDataFolder));
  for (auto _ : state) {
    if (RunSearch(screen, search, list, 1) != 0 || list.RecordCount() != 100)
      state.SkipWithError("search failed");
    // The search ends when RunSearch returns; its (empty) worker is not part
    // of it, but must be gone before the next search can start.
    state.PauseTiming();
    screen.WaitIdle(list);
    state.ResumeTiming();
  }
  (void)f;
}

void BM_Search100_Curl(benchmark::State& state) {
  Fixture& f = Shared();
  CurlPeer peer;
  const bool sync = state.range(0) != 0;
  const std::string path = f.root.path() + "/peer-answer.xml";
  for (auto _ : state) {
    if (!peer.Fetch(f.searchUrl, path, sync) || ReadWithPugixml(path) != 100)
      state.SkipWithError("peer failed");
  }
  state.SetLabel(sync ? "fdatasync" : "unsynced");
}

// The answer's download alone, as the search makes it.
void BM_AnswerDownload_Quobble(benchmark::State& state) {
  Fixture& f = Shared();
  QuietScreen screen;
  const std::u16string url = Utf8ToUtf16(f.searchUrl);
  const std::u16string answer = AnswerFilePath(kDataFolder);
  for (auto _ : state) {
    HINTERNET session =
        InternetOpenW(u"QUOBBLE", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (DownloadFile(session, answer, url, 1, {}, nullptr, screen) != 1) state.SkipWithError("dl");
    InternetCloseHandle(session);
  }
}

// The answer already on storage: parse and read it, no network, no sync.
void BM_ReadAnswer100_Quobble(benchmark::State& state) {
  Shared();
  QuietScreen screen;
  SearchState search;
  NoThumbnails list(screen, std::u16string(kDataFolder));
  const std::u16string answer = AnswerFilePath(kDataFolder);
  for (auto _ : state) {
    list.ClearRecords();
    XmlDocument document;
    if (document.parse_file(answer.c_str(), KeepOptions) == 0) state.SkipWithError("parse");
    ReadResultFeed(XmlNodeRef(document.root), search, screen, list);
    if (list.RecordCount() != 100) state.SkipWithError("records");
  }
}

void BM_ReadAnswer100_Pugixml(benchmark::State& state) {
  Fixture& f = Shared();
  const std::string answer = f.Host(AnswerFilePath(kDataFolder));
  for (auto _ : state)
    if (ReadWithPugixml(answer) != 100) state.SkipWithError("parse");
}

// The page's records, ready for the worker.
void AddPage(const Fixture& f, ProductList& list) {
  for (const std::string& url : f.images) {
    auto record = std::make_unique<ProductRecord>();
    record->imageUrl = Utf8ToUtf16(url);
    list.AppendRecord(std::move(record));
  }
}

void BM_ColdThumbnails100_Quobble(benchmark::State& state) {
  Fixture& f = Shared();
  if (f.images.size() != 100) return state.SkipWithError("no page");
  QuietScreen screen;
  ProductList list(screen, std::u16string(kDataFolder));
  AddPage(f, list);
  const std::string cache = f.Host(std::u16string(kDataFolder) + u"Images");
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(cache);
    state.ResumeTiming();
    list.StartThumbnailFetch();
    screen.WaitIdle(list);
  }
  if (list.RecordAt(99)->ThumbPath().empty()) state.SkipWithError("thumbnails missing");
}

// The worker's downloads without the worker: the same sessions, folders and
// files from the calling thread, to tell the library's share from ours.
void BM_ColdThumbnails100_DownloadLoop(benchmark::State& state) {
  Fixture& f = Shared();
  if (f.images.size() != 100) return state.SkipWithError("no page");
  QuietScreen screen;
  const std::string cache = f.Host(std::u16string(kDataFolder) + u"Images");
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(cache);
    state.ResumeTiming();
    for (const std::string& url : f.images) {
      const std::u16string wide = Utf8ToUtf16(url);
      const std::u16string target =
          std::u16string(kDataFolder) + u"Images\\" + ThumbnailCacheName(wide);
      HINTERNET session =
          InternetOpenW(u"QUOBBLE", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
      (void)CreateFolderPath(target);
      if (DownloadFile(session, target, wide, 1, {}, nullptr, screen) != 1)
        state.SkipWithError("download");
      InternetCloseHandle(session);
    }
  }
}

void BM_ColdThumbnails100_Curl(benchmark::State& state) {
  Fixture& f = Shared();
  if (f.images.size() != 100) return state.SkipWithError("no page");
  CurlPeer peer;
  const bool sync = state.range(0) != 0;
  const std::string folder = f.root.path() + "/peer-images";
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(folder);
    fs::create_directories(folder);
    state.ResumeTiming();
    for (const auto& [url, name] : f.cacheNames) {
      const std::string path = folder + "/" + name;
      fs::create_directories(fs::path(path).parent_path());
      if (!peer.Fetch(url, path, sync)) state.SkipWithError("peer failed");
    }
  }
  state.SetLabel(sync ? "fdatasync" : "unsynced");
}

void BM_WarmThumbnails100_Quobble(benchmark::State& state) {
  Fixture& f = Shared();
  if (f.images.size() != 100) return state.SkipWithError("no page");
  QuietScreen screen;
  ProductList list(screen, std::u16string(kDataFolder));
  AddPage(f, list);
  list.StartThumbnailFetch();  // fills the cache
  screen.WaitIdle(list);
  for (auto _ : state) {
    list.StartThumbnailFetch();
    screen.WaitIdle(list);
  }
}

// Ours and the peer in turns, each iteration timing one of each, so that
// both see the same storage and machine load (fdatasync times drift a lot on
// a shared machine); which goes first alternates, so neither always follows
// the other's writes. The time shown is ours; "peer" is the peer's mean and
// "ratio" the median of ours over the peer's. Each side's clean-up runs
// right after it, untimed.
template <typename Ours, typename OursDone, typename Peer, typename PeerDone>
void Paired(benchmark::State& state, Ours ours, OursDone oursDone, Peer peer, PeerDone peerDone) {
  using Clock = std::chrono::steady_clock;
  const auto timed = [&](auto& work, auto& done) {
    const auto start = Clock::now();
    if (!work()) state.SkipWithError("failed");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    done();
    return seconds;
  };
  std::vector<double> ratios;
  double peerTotal = 0;
  bool oursFirst = true;
  for (auto _ : state) {
    double oursS, peerS;
    if (oursFirst) {
      oursS = timed(ours, oursDone);
      peerS = timed(peer, peerDone);
    } else {
      peerS = timed(peer, peerDone);
      oursS = timed(ours, oursDone);
    }
    oursFirst = !oursFirst;
    state.SetIterationTime(oursS);
    peerTotal += peerS;
    ratios.push_back(oursS / peerS);
  }
  std::sort(ratios.begin(), ratios.end());
  const double n = static_cast<double>(state.iterations());
  state.counters["peer_ms"] = peerTotal / n * 1000;
  if (!ratios.empty()) state.counters["ratio"] = ratios[ratios.size() / 2];
}

void BM_Search100_Paired(benchmark::State& state) {
  Fixture& f = Shared();
  QuietScreen screen;
  SearchState search;
  search.pageSize = 100;
  search.dataFolder = kDataFolder;
  NoThumbnails list(screen, std::u16string(kDataFolder));
  CurlPeer peer;
  const std::string path = f.root.path() + "/peer-answer.xml";
  Paired(
      state, [&] { return RunSearch(screen, search, list, 1) == 0 && list.RecordCount() == 100; },
      // The search's (empty) worker is no part of the search, but must be
      // gone before the next one.
      [&] { screen.WaitIdle(list); },
      [&] { return peer.Fetch(f.searchUrl, path, true) && ReadWithPugixml(path) == 100; }, [] {});
}

void BM_ColdThumbnails100_Paired(benchmark::State& state) {
  Fixture& f = Shared();
  if (f.images.size() != 100) return state.SkipWithError("no page");
  QuietScreen screen;
  ProductList list(screen, std::u16string(kDataFolder));
  AddPage(f, list);
  CurlPeer peer;
  const std::string cache = f.Host(std::u16string(kDataFolder) + u"Images");
  const std::string folder = f.root.path() + "/peer-images";
  fs::remove_all(cache);
  Paired(
      state,
      [&] {
        list.StartThumbnailFetch();
        screen.WaitIdle(list);
        return !list.RecordAt(99)->ThumbPath().empty();
      },
      [&] { fs::remove_all(cache); },
      [&] {
        bool ok = true;
        for (const auto& [url, name] : f.cacheNames) {
          const std::string target = folder + "/" + name;
          fs::create_directories(fs::path(target).parent_path());
          ok = peer.Fetch(url, target, true) && ok;
        }
        return ok;
      },
      [&] { fs::remove_all(folder); });
}

BENCHMARK(BM_Search100_Quobble)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Search100_Curl)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AnswerDownload_Quobble)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadAnswer100_Quobble)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadAnswer100_Pugixml)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ColdThumbnails100_Quobble)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ColdThumbnails100_DownloadLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ColdThumbnails100_Curl)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WarmThumbnails100_Quobble)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Search100_Paired)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColdThumbnails100_Paired)
    ->Iterations(12)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quobble

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete quobble::shared;  // the catalogue, then the temporary device root
  return 0;
}
