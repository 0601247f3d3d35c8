// XML parser benchmarks: parse_file beside pugixml's default load_file on
// generated shopping answers of the sizes the client reads (10 to 100 items,
// mostly Hangul and mostly ASCII titles), timed in turns in one process; the
// parts of ours; the growth of a large child array; and the peak memory of a
// 50 MB answer's parse, measured in a child process.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "paired.h"
#include "platform/device_fs.h"
#include "xml/xml_decode.h"
#include "xml/xml_document.h"
#include "xml/xml_pool.h"

#include <pugixml.hpp>

namespace {

namespace fs = std::filesystem;
using namespace quobble;

// ---- generated answers -----------------------------------------------------

const char* const kHangulWords[] = {"삼성전자", "노트북", "무선",   "블루투스", "이어폰",
                                    "가방",     "정품",   "초경량", "게이밍",   "마우스",
                                    "키보드",   "모니터", "27인치", "USB-C",    "충전기",
                                    "스마트",   "워치",   "케이스", "필름",     "거치대"};

// The same answers with the text mostly ASCII, where a UTF-8 reader has
// least to decode.
const char* const kEnglishWords[] = {"wireless", "laptop", "bluetooth", "earphones", "bag",
                                     "genuine",  "ultra",  "gaming",    "mouse",     "keyboard",
                                     "monitor",  "27inch", "USB-C",     "charger",   "smart",
                                     "watch",    "case",   "film",      "stand",     "portable"};

enum Kind { kHangul = 0, kAscii = 1 };

struct Words {
  const char* const* list;
  unsigned count;
};

Words WordsOf(Kind kind) {
  if (kind == kHangul) return {kHangulWords, sizeof kHangulWords / sizeof kHangulWords[0]};
  return {kEnglishWords, sizeof kEnglishWords / sizeof kEnglishWords[0]};
}

// One field on its own line, indented by tabs as the service's answers are:
// the indentation is text the parser must walk through between elements.
void Field(std::string& out, const char* name, const std::string& value) {
  out += "\t\t\t<";
  out += name;
  out += '>';
  out += value;
  out += "</";
  out += name;
  out += ">\n";
}

// One item as the shopping search answers it: a title with the query words
// marked up as escaped <b> and an escaped ampersand, addresses, prices,
// shop, brand and four category levels.
void AppendItem(std::string& out, unsigned i, Kind kind) {
  const Words words = WordsOf(kind);
  unsigned r = i * 2654435761u;
  auto word = [&]() -> std::string {
    r = r * 1103515245u + 12345u;
    return words.list[(r >> 16) % words.count];
  };
  const std::string id = std::to_string(80000000000ull + i);
  std::string title = word() + " &lt;b&gt;" + word() + "&lt;/b&gt; " + word() + ' ' + word() +
                      " &amp; " + word() + ' ' + word() + " (" + word() + ") " + word() + " M" +
                      std::to_string(1000 + i % 9000);
  out += "\t\t<item>\n";
  Field(out, "title", title);
  Field(out, "link", "https://shop.example.com/gate?id=" + id);
  Field(out, "detailLink", "https://shop.example.com/products/" + id + "?from=search");
  Field(out, "image",
        "https://img.example.com/main_" + std::to_string(8000000 + i % 1000000) + "/" + id +
            ".20231205123456.jpg");
  Field(out, "lprice", std::to_string(1000 + (r >> 8) % 2000000));
  Field(out, "hprice", std::to_string((r >> 4) % 3 == 0 ? 0 : 2000000 + (r >> 12) % 500000));
  Field(out, "mallName", word() + ' ' + word());
  Field(out, "productId", id);
  Field(out, "productType", std::to_string(1 + i % 3));
  Field(out, "brand", word());
  Field(out, "maker", word() + ' ' + word());
  Field(out, "category1", word());
  Field(out, "category2", word() + '/' + word());
  Field(out, "category3", word());
  Field(out, "category4", word() + ' ' + word());
  out += "\t\t</item>\n";
}

std::string Answer(unsigned items, Kind kind) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\">\n\t<channel>\n"
      "\t\t<title>Search Result : ";
  out += WordsOf(kind).list[1];
  out +=
      "</title>\n\t\t<link>https://shop.example.com</link>\n"
      "\t\t<description>shopping search</description>\n\t\t<lastBuildDate>Mon, 07 Dec 2026 "
      "21:00:00 +0900</lastBuildDate>\n\t\t<total>1234567</total>\n\t\t<start>1</start>\n"
      "\t\t<display>";
  out += std::to_string(items);
  out += "</display>\n";
  for (unsigned i = 0; i < items; ++i) AppendItem(out, i, kind);
  out += "\t</channel>\n</rss>\n";
  return out;
}

// The page sizes a user can choose (what the client reads: 5 to 45 KB), and
// one count picked so that the Hangul kind lands near 50 MB. The ASCII kind
// uses the same counts and comes out a little smaller.
constexpr unsigned kCounts[] = {10, 30, 50, 75, 100, 65000};
constexpr size_t kSizes = sizeof kCounts / sizeof kCounts[0];
constexpr size_t kLargest = kSizes - 1;
constexpr size_t kHundred = kLargest - 1;

struct Corpus {
  fs::path dir;
  std::string names[2][kSizes];
  size_t sizes[2][kSizes] = {};
  Corpus() {
    dir = fs::temp_directory_path() / ("quobble-xml-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    (void)SetDeviceRoot(dir.string());
    for (Kind kind : {kHangul, kAscii})
      for (size_t s = 0; s < kSizes; ++s) {
        const std::string name =
            std::string(kind == kHangul ? "hangul" : "ascii") + std::to_string(kCounts[s]) + ".xml";
        const std::string text = Answer(kCounts[s], kind);
        std::ofstream(dir / name, std::ios::binary) << text;
        names[kind][s] = name;
        sizes[kind][s] = text.size();
      }
  }
  ~Corpus() { fs::remove_all(dir); }
  std::u16string DevicePath(Kind kind, size_t s) const {
    std::u16string p = u"\\";
    for (char c : names[kind][s]) p += static_cast<char16_t>(c);
    return p;
  }
  std::string HostPath(Kind kind, size_t s) const { return (dir / names[kind][s]).string(); }
};

Corpus& Files() {
  static Corpus corpus;
  return corpus;
}

void SetBytes(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
  state.counters["file_bytes"] = static_cast<double>(bytes);
}

const char* KindName(Kind kind) {
  return kind == kHangul ? "hangul" : "ascii";
}

const char* DecodePathName(XmlDecodePath path) {
  switch (path) {
    case XmlDecodePath::Scalar:
      return "scalar";
    case XmlDecodePath::Sse2:
      return "SSE2";
    case XmlDecodePath::Avx2:
      return "AVX2";
  }
  return "?";
}

// ---- parse_file beside pugixml's load_file -------------------------------------

// Both whole: open, read, decode or not as each does, parse, and release the
// document. Ours decodes to UTF-16 on the way in; pugixml's default keeps the
// UTF-8 bytes, which is its natural mode and the one it is used in.
void BM_ParseFile_Paired(benchmark::State& state) {
  const Kind kind = static_cast<Kind>(state.range(0));
  const size_t s = static_cast<size_t>(state.range(1));
  const std::u16string path = Files().DevicePath(kind, s);
  const std::string host = Files().HostPath(kind, s);
  bench::Paired(
      state,
      [&] {
        XmlDocument doc;
        const bool ok = doc.parse_file(path.c_str(), 0) == 1;
        benchmark::DoNotOptimize(doc.root);
        return ok;
      },
      [] {},
      [&] {
        pugi::xml_document doc;
        const bool ok = static_cast<bool>(doc.load_file(host.c_str()));
        benchmark::DoNotOptimize(doc.first_child());
        return ok;
      },
      [] {});
  state.counters["file_bytes"] = static_cast<double>(Files().sizes[kind][s]);
  state.counters["items"] = kCounts[s];
  state.SetLabel(std::string(KindName(kind)) + ", peer: pugixml load_file, decoding " +
                 DecodePathName(CurrentXmlDecodePath()));
}

// The same with our decoding path forced (third argument: 1 SSE2, 2 AVX2):
// the 100-item page on each says what the wider blocks buy.
void BM_ParseFileDecoding_Paired(benchmark::State& state) {
  SetXmlDecodePath(static_cast<XmlDecodePath>(state.range(2)));
  BM_ParseFile_Paired(state);
  SetXmlDecodePath(BestXmlDecodePath());
}

// ---- the parts of ours, and pugixml's parse alone -------------------------------

// Ours alone, for profiling (`perf record` on this benchmark); the paired
// one above is the comparison.
void BM_QuobbleParseFile(benchmark::State& state) {
  const size_t s = static_cast<size_t>(state.range(0));
  const std::u16string path = Files().DevicePath(kHangul, s);
  for (auto _ : state) {
    XmlDocument doc;
    if (doc.parse_file(path.c_str(), 0) != 1) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(doc.root);
  }
  SetBytes(state, Files().sizes[kHangul][s]);
}

void BM_QuobbleReadFileText(benchmark::State& state) {
  const size_t s = static_cast<size_t>(state.range(0));
  const std::u16string path = Files().DevicePath(kHangul, s);
  for (auto _ : state) {
    char16_t* text = nullptr;
    size_t size = 0;
    if (read_file_text(path.c_str(), &text, &size, 4096) == 0) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(text);
    std::free(text);
  }
  SetBytes(state, Files().sizes[kHangul][s]);
}

// The decoding alone, from the file's bytes in memory, on each path (Arg 1:
// 0 scalar, 1 SSE2, 2 AVX2).
void BM_DecodeSpan(benchmark::State& state) {
  const size_t s = static_cast<size_t>(state.range(0));
  std::ifstream in(Files().HostPath(kHangul, s), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<char16_t> out(bytes.size() + kXmlSpanPadding);
  SetXmlDecodePath(static_cast<XmlDecodePath>(state.range(1)));
  for (auto _ : state) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    benchmark::DoNotOptimize(decode_utf8_span(p, p + bytes.size(), out.data()));
  }
  SetXmlDecodePath(BestXmlDecodePath());
  SetBytes(state, bytes.size());
}

// The parser alone, over text already decoded (copied afresh each time, as
// parse writes into it, into a buffer padded as parse_file's), in a pool
// whose first block is sized from the file as parse_file sizes it (three
// bytes of tree per byte of file): a default pool grows block by block and
// would time something parse_file does not do.
void BM_QuobbleParseMemory(benchmark::State& state) {
  const size_t s = static_cast<size_t>(state.range(0));
  char16_t* decoded = nullptr;
  size_t size = 0;
  const std::u16string path = Files().DevicePath(kHangul, s);
  if (read_file_text(path.c_str(), &decoded, &size, 4096) == 0) {
    state.SkipWithError("read failed");
    return;
  }
  const std::u16string original(decoded);
  std::free(decoded);
  const size_t units = original.size() + 1 + kXmlTextPadding;
  auto* text = static_cast<char16_t*>(std::calloc(units, sizeof(char16_t)));
  for (auto _ : state) {
    std::memcpy(text, original.data(), original.size() * sizeof(char16_t));
    XmlPool pool(Files().sizes[kHangul][s] * 3);
    XmlNode* root = create_node_in(&pool, XmlNodeType::Document);
    root->parent = root;
    parse_in(&pool, text, root, 4, 0, 0, true);
    benchmark::DoNotOptimize(root->child_count);
  }
  std::free(text);
  SetBytes(state, Files().sizes[kHangul][s]);
}

// pugixml's parse alone, from a copy of the file's bytes in memory.
void BM_PugiParseMemory(benchmark::State& state) {
  const size_t s = static_cast<size_t>(state.range(0));
  std::ifstream in(Files().HostPath(kHangul, s), std::ios::binary);
  const std::string original((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  std::string bytes = original;  // untimed first touch, as above
  for (auto _ : state) {
    bytes = original;
    pugi::xml_document doc;
    if (!doc.load_buffer_inplace(bytes.data(), bytes.size())) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(doc.first_child());
  }
  SetBytes(state, Files().sizes[kHangul][s]);
}

// ---- array growth ------------------------------------------------------------

constexpr int kWideChildren = 200000;

// append_child as it is: the document's step while the array is small, half
// its size once it is large.
void BM_AppendChildren(benchmark::State& state) {
  for (auto _ : state) {
    XmlNode* root = create_node(XmlNodeType::Document);
    root->parent = root;
    for (int i = 0; i < kWideChildren; ++i) append_child(root, 4, XmlNodeType::Text);
    benchmark::DoNotOptimize(root->children);
    destroy_tree(root);
  }
  state.SetItemsProcessed(state.iterations() * kWideChildren);
}

// The same appends with the array grown by four slots every time (realloc),
// the node records allocated in between as they are in a real parse.
void BM_AppendChildrenStepOnly(benchmark::State& state) {
  for (auto _ : state) {
    XmlNode** children = nullptr;
    uint32_t capacity = 0;
    for (int i = 0; i < kWideChildren; ++i) {
      if (static_cast<uint32_t>(i) >= capacity) {
        capacity += 4;
        children = static_cast<XmlNode**>(std::realloc(children, capacity * sizeof(XmlNode*)));
      }
      children[i] = create_node(XmlNodeType::Text);
    }
    benchmark::DoNotOptimize(children);
    for (int i = 0; i < kWideChildren; ++i) delete children[i];
    std::free(children);
  }
  state.SetItemsProcessed(state.iterations() * kWideChildren);
}

// The parser's own path for a wide node: 200,000 children of one element,
// their pointer array in the pool. Growth by four slots alone would abandon
// n^2/8 slots to the pool (40 GB here); growth by half beyond 256 slots
// abandons less than twice the final array.
void BM_ParseWideElement(benchmark::State& state) {
  std::u16string original = u"<r>";
  for (int i = 0; i < kWideChildren; ++i) original += u"<a/>";
  original += u"</r>";
  std::u16string text;
  for (auto _ : state) {
    text = original;
    XmlPool pool;
    XmlNode* root = create_node_in(&pool, XmlNodeType::Document);
    root->parent = root;
    parse_in(&pool, text.data(), root, 4, 0, 0, false);
    if (root->child_count != 1 || root->children[0]->child_count != kWideChildren) {
      state.SkipWithError("wrong tree");
    }
  }
  state.SetItemsProcessed(state.iterations() * kWideChildren);
}

// ---- memory ------------------------------------------------------------------

long CurrentRssKb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Peak resident memory of one parse, in a fresh child process: its maximum
// RSS minus what it held before parsing, over the file's size. The child
// first hands back to the system what the parent freed but kept (the corpus
// was built in 50 MB strings); a parse could otherwise reuse those resident
// pages unseen and look smaller than it is.
template <typename Parse>
double PeakRatio(Parse parse, size_t fileBytes) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(pipeFds[0]);
    malloc_trim(0);
    const long before = CurrentRssKb();
    parse();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const long delta = usage.ru_maxrss - before;
    if (write(pipeFds[1], &delta, sizeof delta) != sizeof delta) _exit(1);
    _exit(0);
  }
  close(pipeFds[1]);
  long delta = -1;
  if (read(pipeFds[0], &delta, sizeof delta) != sizeof delta) delta = -1;
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return delta < 0 ? -1 : static_cast<double>(delta) * 1024.0 / static_cast<double>(fileBytes);
}

// The largest file of each kind: ours keeps the text as UTF-16 (about two
// thirds of the file's bytes for Hangul, twice them for ASCII) and its tree;
// pugixml keeps the UTF-8 bytes and its tree.
void BM_PeakMemory(benchmark::State& state) {
  const size_t s = kLargest;
  const Kind kind = static_cast<Kind>(state.range(0));
  const std::u16string path = Files().DevicePath(kind, s);
  const std::string host = Files().HostPath(kind, s);
  const size_t bytes = Files().sizes[kind][s];
  double ours = 0, peer = 0;
  for (auto _ : state) {
    ours = PeakRatio(
        [&] {
          XmlDocument doc;
          (void)doc.parse_file(path.c_str(), 0);
        },
        bytes);
    peer = PeakRatio(
        [&] {
          pugi::xml_document doc;
          (void)doc.load_file(host.c_str());
        },
        bytes);
  }
  if (ours < 0 || peer < 0) state.SkipWithError("child failed");
  state.counters["ours_peak_x_file"] = ours;
  state.counters["pugixml_peak_x_file"] = peer;
  state.counters["file_bytes"] = static_cast<double>(bytes);
  state.SetLabel(std::string(KindName(kind)) + "; peak RSS growth / file size");
}

// The 100-item page and the 50 MB answer.
void Sizes(benchmark::internal::Benchmark* b) {
  b->ArgName("size")->Arg(kHundred)->Arg(kLargest)->Unit(benchmark::kMillisecond)->MinTime(1.0);
}

// Kind (0 Hangul, 1 ASCII) and every page size, with enough pairs for a
// stable median and few enough that the whole run stays under a minute on an
// idle machine.
void PairedArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"kind", "size"});
  for (Kind kind : {kHangul, kAscii})
    for (size_t s = 0; s < kLargest; ++s) b->Args({kind, static_cast<int64_t>(s)});
  b->Iterations(5000)->UseManualTime()->Unit(benchmark::kMicrosecond);
}

// First, while the process is still small.
BENCHMARK(BM_PeakMemory)->Arg(kHangul)->Arg(kAscii)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseFile_Paired)->Apply(PairedArgs);
BENCHMARK(BM_ParseFileDecoding_Paired)
    ->ArgNames({"kind", "size", "decoding"})
    ->ArgsProduct({{kHangul, kAscii}, {kHundred}, {1, 2}})
    ->Iterations(5000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseFile_Paired)
    ->Args({kHangul, kLargest})
    ->Iterations(9)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuobbleParseFile)->Apply(Sizes)->UseRealTime();
BENCHMARK(BM_QuobbleReadFileText)->Apply(Sizes);
BENCHMARK(BM_DecodeSpan)->ArgNames({"size", "path"})->ArgsProduct({{kHundred}, {0, 1, 2}});
BENCHMARK(BM_QuobbleParseMemory)->Apply(Sizes);
BENCHMARK(BM_PugiParseMemory)->Apply(Sizes);
BENCHMARK(BM_AppendChildren)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendChildrenStepOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseWideElement)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
