// The search core against a plain libcurl + pugixml loop doing the same
// work, side by side on loopback against the embedded catalogue: one 100-item
// search, the reading of its answer alone, 100 cold thumbnails, 100 warm
// ones. Both sides put each file on storage as the search core does: the
// answer in a temporary file, synced, renamed into place and its folder
// synced; each thumbnail synced before the next. The peer's unsynced figures
// show what the storage costs.
// The *_Paired benchmarks are the comparison (see paired.h); the others show
// the parts.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "catalogue/embedded_catalogue.h"
#include "paired.h"
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

struct QuietScreen : SilentScreen {
  std::u16string ReadQuery() override { return kQuery; }
  void ShowMessage(const std::u16string& text, const std::u16string& caption) override {
    std::fprintf(stderr, "%s: %s\n", Utf16ToUtf8(caption).c_str(), Utf16ToUtf8(text).c_str());
  }
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

// A list whose worker fetches nothing, for timing the search alone. The
// worker thread lowers the list's busy and stop flags itself once
// FetchThumbnails returns, so the body only has to say it is done.
class NoThumbnails : public ProductList {
 public:
  using ProductList::ProductList;
  ~NoThumbnails() override { StopWorker(); }
  void FetchThumbnails() override { Screen().ProgressDone(); }
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

// What the peer does to put a body on storage.
enum class Durability {
  kNone,     // written to its file, not synced
  kFile,     // written to its file and synced
  kReplace,  // as the answer: a temporary file, synced, renamed over the
             // target, then the folder synced
};

// The peer: one easy handle (one reused connection), a body written to a
// file as it arrives.
class CurlPeer {
 public:
  CurlPeer() : curl_(curl_easy_init()) {
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Write);
    curl_easy_setopt(curl_, CURLOPT_USERAGENT, "QUOBBLE");
  }
  ~CurlPeer() { curl_easy_cleanup(curl_); }

  bool Fetch(const std::string& url, const std::string& path, Durability durability) {
    const bool replace = durability == Durability::kReplace;
    const std::string written = replace ? path + ".part" : path;
    const int fd = ::open(written.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &fd);
    long status = 0;
    const bool ok = curl_easy_perform(curl_) == CURLE_OK &&
                    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                    status == 200;
    const bool synced = durability == Durability::kNone || ::fdatasync(fd) == 0;
    if (::close(fd) != 0 || !ok || !synced) return false;
    return !replace || (::rename(written.c_str(), path.c_str()) == 0 && SyncFolderOf(path));
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

  static bool SyncFolderOf(const std::string& path) {
    const int fd = ::open(fs::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
  }

  CURL* curl_;
};

// ---- the peer of the answer reading ---------------------------------------------
//
// The same work as parse_file + ReadResultFeed, written on pugixml's own
// terms: plain C++ on the UTF-8 strings it hands out. Ours decodes the file
// to UTF-16 and keeps UTF-16 fields (that is what its screen and file calls
// take); the peer keeps UTF-8, pugixml's natural output, and converts
// nothing.
//
// Ours leaves character references in the text as they are ("&amp;" stays
// "&amp;", and the title clean-up removes "&lt;b&gt;" literally), so the
// peer loads with pugixml's defaults less reference decoding: the same
// strings come out, and the peer's parse does no work ours skips.

struct PeerRecord {
  std::string title, link, image;
  int32_t lowPrice = 0, highPrice = 0;
};

struct PeerPage {
  std::string title, totalText, rangeText;
  int32_t total = 0, start = 0, display = 0;
  bool previous = false, next = false;
  std::vector<PeerRecord> records;
};

// Left to right, resuming where the replacement starts (so that a removal
// which forms a new occurrence is caught too), unless the replacement itself
// holds what is replaced.
void PeerReplaceAll(std::string& text, std::string_view what, std::string_view with) {
  const bool skip = with.find(what) != std::string_view::npos;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
    text.replace(at, what.size(), with);
    if (skip) at += with.size();
  }
}

void PeerCleanTitle(std::string& title) {
  if (title.find('&') == std::string::npos) return;
  for (std::string_view tag : {"&lt;b&gt;", "&lt;/b&gt;", "&lt;center&gt;", "&lt;/center&gt;",
                               "&lt;l&gt;", "&lt;/l&gt;", "&lt;u&gt;", "&lt;/u&gt;"})
    PeerReplaceAll(title, tag, "");
  PeerReplaceAll(title, "&nbsp;", " ");
  PeerReplaceAll(title, "&quot;", "'");
}

// White space, a sign, digits; held at the 32-bit limits.
int32_t PeerNumber(const char* p) {
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = std::min<int64_t>(value * 10 + (*p - '0'), 1LL << 31);
  if (negative) value = -value;
  return static_cast<int32_t>(std::min<int64_t>(value, INT32_MAX));
}

std::string PeerThousands(int32_t value) {
  const std::string digits = std::to_string(value);
  const size_t sign = value < 0 ? 1 : 0;
  std::string out = digits.substr(0, sign);
  for (size_t i = sign; i < digits.size(); ++i) {
    if (i > sign && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// The element's text as ours takes it: its first child's value.
const char* PeerText(pugi::xml_node element) {
  return element.first_child().value();
}

// Fills `page` from the answer at `path`; the number of records read.
size_t ReadWithPugixml(const std::string& path, PeerPage& page) {
  pugi::xml_document document;
  if (!document.load_file(path.c_str(), pugi::parse_default & ~pugi::parse_escapes)) return 0;
  for (pugi::xml_node child : document.child("rss").child("channel").children()) {
    const std::string_view name = child.name();
    if (name == "item") {
      PeerRecord& record = page.records.emplace_back();
      for (pugi::xml_node field : child.children()) {
        const std::string_view fieldName = field.name();
        if (fieldName == "title") {
          record.title = PeerText(field);
          PeerCleanTitle(record.title);
        } else if (fieldName == "link") {
          record.link = PeerText(field);
        } else if (fieldName == "image") {
          record.image = PeerText(field);
        } else if (fieldName == "lprice") {
          record.lowPrice = PeerNumber(PeerText(field));
        } else if (fieldName == "hprice") {
          record.highPrice = PeerNumber(PeerText(field));
        }
      }
    } else if (name == "title") {
      page.title = PeerText(child);
    } else if (name == "total") {
      page.total = PeerNumber(PeerText(child));
      page.totalText = PeerThousands(page.total);
    } else if (name == "start") {
      page.start = PeerNumber(PeerText(child));
    } else if (name == "display") {
      page.display = PeerNumber(PeerText(child));
      const int64_t end = int64_t{page.start} + page.display;
      page.next = end < page.total;
      page.previous = page.start > 1;
      page.rangeText = std::to_string(page.start) + "~" + std::to_string(end);
    }
  }
  return page.records.size();
}

size_t ReadWithPugixml(const std::string& path) {
  PeerPage page;
  return ReadWithPugixml(path, page);
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
  const bool durable = state.range(0) != 0;
  const std::string path = f.root.path() + "/peer-answer.xml";
  for (auto _ : state) {
    if (!peer.Fetch(f.searchUrl, path, durable ? Durability::kReplace : Durability::kNone) ||
        ReadWithPugixml(path) != 100)
      state.SkipWithError("peer failed");
  }
  state.SetLabel(durable ? "temporary file, fdatasync, rename, folder fsync" : "unsynced");
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
      if (!peer.Fetch(url, path, sync ? Durability::kFile : Durability::kNone))
        state.SkipWithError("peer failed");
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

// The peer only counts if it does what ours does: the helpers against ours
// on the awkward cases, then the two readings of the same answer field by
// field. Empty when they agree, else the first difference.
std::string PeerDisagrees(const std::string& host, const std::u16string& device) {
  for (const char* title :
       {"plain", "a &lt;b&gt;b&lt;/b&gt; &amp; c", "&lt;&lt;b&gt;b&gt;x", "x&nbsp;&quot;y&quot;",
        "&lt;center&gt;&lt;u&gt;u&lt;/u&gt;&lt;/center&gt;&lt;l&gt;", "&lt;/b&gt&gt;"}) {
    std::string peer = title;
    PeerCleanTitle(peer);
    std::u16string ours = Utf8ToUtf16(title);
    CleanTitle(ours);
    if (peer != Utf16ToUtf8(ours)) return std::string("title ") + title;
  }
  for (const char* number : {"", "x", " \t+12x", "-7", "2147483647", "2147483648", "-2147483648",
                             "-2147483649", "99999999999999999999", "- 3"}) {
    if (PeerNumber(number) != ReadAnswerNumber(Utf8ToUtf16(number)))
      return std::string("number ") + number;
  }
  for (int32_t n : {0, 7, 999, 1000, -1000, 1234567, INT32_MAX, INT32_MIN})
    if (PeerThousands(n) != Utf16ToUtf8(FormatThousands(n)))
      return "thousands " + std::to_string(n);

  struct Labels : QuietScreen {
    void SetTitleText(const std::u16string& text) override { title = Utf16ToUtf8(text); }
    void SetTotalText(const std::u16string& text) override { total = Utf16ToUtf8(text); }
    void SetRangeText(const std::u16string& text) override { range = Utf16ToUtf8(text); }
    void EnablePrevious(bool on) override { previous = on; }
    void EnableNext(bool on) override { next = on; }
    std::string title, total, range;
    bool previous = false, next = false;
  } screen;
  SearchState search;
  search.pageSize = 100;
  ProductList list(screen, std::u16string(kDataFolder));
  XmlDocument document;
  if (document.parse_file(device.c_str(), KeepOptions) == 0) return "parse_file";
  ReadResultFeed(XmlNodeRef(document.root), search, screen, list);
  PeerPage page;
  if (ReadWithPugixml(host, page) != list.RecordCount()) return "record count";
  if (page.title != screen.title || page.totalText != screen.total ||
      page.rangeText != screen.range || page.previous != screen.previous ||
      page.next != screen.next || page.total != search.total || page.start != search.start ||
      page.display != search.display)
    return "channel";
  for (size_t i = 0; i < page.records.size(); ++i) {
    const ProductRecord& ours = *list.RecordAt(i);
    const PeerRecord& peer = page.records[i];
    if (peer.title != Utf16ToUtf8(ours.title) || peer.link != Utf16ToUtf8(ours.link) ||
        peer.image != Utf16ToUtf8(ours.imageUrl) || peer.lowPrice != ours.lowPrice ||
        peer.highPrice != ours.highPrice)
      return "item " + std::to_string(i) + ", title \"" + peer.title + "\" against \"" +
             Utf16ToUtf8(ours.title) + "\"";
  }
  return {};
}

// The answer already on storage, read by both: parse and read it, no network,
// no sync. Each side's document is released inside its timing; the records
// are dropped afterwards, untimed, on both sides.
void BM_ReadAnswer100_Paired(benchmark::State& state) {
  Fixture& f = Shared();
  QuietScreen screen;
  SearchState search;
  search.pageSize = 100;
  NoThumbnails list(screen, std::u16string(kDataFolder));
  const std::u16string answer = AnswerFilePath(kDataFolder);
  const std::string host = f.Host(answer);
  if (const std::string why = PeerDisagrees(host, answer); !why.empty())
    return state.SkipWithError(("the peer reads differently: " + why).c_str());
  PeerPage page;
  bench::Paired(
      state,
      [&] {
        XmlDocument document;
        if (document.parse_file(answer.c_str(), KeepOptions) == 0) return false;
        ReadResultFeed(XmlNodeRef(document.root), search, screen, list);
        return list.RecordCount() == 100;
      },
      [&] { list.ClearRecords(); }, [&] { return ReadWithPugixml(host, page) == 100; },
      [&] { page = PeerPage(); });
  state.SetLabel("peer: pugixml load_file without reference decoding, same reading in UTF-8");
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
  bench::Paired(
      state, [&] { return RunSearch(screen, search, list, 1) == 0 && list.RecordCount() == 100; },
      // The search's (empty) worker is no part of the search, but must be
      // gone before the next one.
      [&] { screen.WaitIdle(list); },
      [&] {
        return peer.Fetch(f.searchUrl, path, Durability::kReplace) && ReadWithPugixml(path) == 100;
      },
      [] {});
  state.SetLabel("peer: libcurl, temporary file, fdatasync, rename, folder fsync, pugixml reading");
}

// The answer's HTTP exchange alone, into memory: the internet library's
// requests in the download's 4096-byte reads against one libcurl easy
// handle.
size_t DiscardBody(char*, size_t size, size_t count, void*) {
  return size * count;
}

void BM_AnswerFetch_Paired(benchmark::State& state) {
  Fixture& f = Shared();
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DiscardBody);
  curl_easy_setopt(curl, CURLOPT_URL, f.searchUrl.c_str());
  const std::u16string url = Utf8ToUtf16(f.searchUrl);
  HINTERNET session = InternetOpenW(u"QUOBBLE", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  bench::Paired(
      state,
      [&] {
        HINTERNET request =
            InternetOpenUrlW(session, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD, 0);
        if (request == nullptr) return false;
        char chunk[4096];
        uint32_t got = 0;
        size_t total = 0;
        while (InternetReadFile(request, chunk, sizeof chunk, &got) && got > 0) total += got;
        InternetCloseHandle(request);
        return total > 0;
      },
      [] {}, [&] { return curl_easy_perform(curl) == CURLE_OK; }, [] {});
  InternetCloseHandle(session);
  curl_easy_cleanup(curl);
  state.SetLabel("peer: libcurl easy handle");
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
  bench::Paired(
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
          ok = peer.Fetch(url, target, Durability::kFile) && ok;
        }
        return ok;
      },
      [&] { fs::remove_all(folder); });
  state.SetLabel("peer: libcurl, fdatasync");
}

BENCHMARK(BM_Search100_Quobble)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Search100_Curl)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AnswerDownload_Quobble)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ColdThumbnails100_Quobble)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ColdThumbnails100_DownloadLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ColdThumbnails100_Curl)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WarmThumbnails100_Quobble)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadAnswer100_Paired)
    ->Iterations(2000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Search100_Paired)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnswerFetch_Paired)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);
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
