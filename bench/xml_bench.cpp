// XML parser benchmarks: parse_file on generated shopping answers of three
// sizes, beside pugixml (its default UTF-8 DOM load, and the nearest thing to
// its wide-character mode that a char-mode build allows), the growth of a
// large child array, and the peak memory of a parse measured in a child
// process.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/device_fs.h"
#include "xml/xml_document.h"
#include "xml/xml_pool.h"

#include <pugixml.hpp>

namespace {

namespace fs = std::filesystem;
using namespace quobble;

// ---- generated answers -----------------------------------------------------

const char* const kWords[] = {"삼성전자", "노트북", "무선",   "블루투스", "이어폰",
                              "가방",     "정품",   "초경량", "게이밍",   "마우스",
                              "키보드",   "모니터", "27인치", "USB-C",    "충전기",
                              "스마트",   "워치",   "케이스", "필름",     "거치대"};

// One item as the shopping search answers it: a Hangul title with the query
// words marked up as escaped <b>, addresses, prices and a few other fields.
void AppendItem(std::string& out, unsigned i) {
  unsigned r = i * 2654435761u;
  auto word = [&]() {
    r = r * 1103515245u + 12345u;
    return kWords[(r >> 16) % (sizeof kWords / sizeof kWords[0])];
  };
  out += "<item>\n<title>";
  out += word();
  out += " &lt;b&gt;";
  out += word();
  out += "&lt;/b&gt; ";
  out += word();
  out += ' ';
  out += word();
  out += " &amp; ";
  out += word();
  out += ' ';
  out += word();
  out += " (";
  out += word();
  out += ") ";
  out += word();
  out += " M";
  out += std::to_string(1000 + i % 9000);
  out += "</title>\n<link>https://shop.example.com/gate?id=";
  out += std::to_string(80000000000ull + i);
  out += "</link>\n<image>https://img.example.com/main_";
  out += std::to_string(8000000 + i % 1000000);
  out += "/";
  out += std::to_string(80000000000ull + i);
  out += ".20231205123456.jpg</image>\n<lprice>";
  out += std::to_string(1000 + (r >> 8) % 2000000);
  out += "</lprice>\n<hprice>";
  out += std::to_string((r >> 4) % 3 == 0 ? 0 : 2000000 + (r >> 12) % 500000);
  out += "</hprice>\n<mallName>";
  out += word();
  out += "</mallName>\n<productId>";
  out += std::to_string(80000000000ull + i);
  out += "</productId>\n<productType>";
  out += std::to_string(1 + i % 3);
  out += "</productType>\n</item>\n";
}

std::string Answer(unsigned items) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\">\n<channel>\n"
      "<title>Search Result : 노트북</title>\n<link>https://shop.example.com</link>\n"
      "<description>shopping search</description>\n<lastBuildDate>Mon, 07 Dec 2026 "
      "21:00:00 +0900</lastBuildDate>\n<total>1234567</total>\n<start>1</start>\n<display>";
  out += std::to_string(items);
  out += "</display>\n";
  for (unsigned i = 0; i < items; ++i) AppendItem(out, i);
  out += "</channel>\n</rss>\n";
  return out;
}

struct Corpus {
  fs::path dir;
  std::vector<std::string> names;
  std::vector<size_t> sizes;
  Corpus() {
    dir = fs::temp_directory_path() / ("quobble-xml-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    (void)SetDeviceRoot(dir.string());
    const unsigned counts[] = {100, 10000, 111000};  // ~45 KB, ~4.5 MB, ~50 MB
    for (unsigned count : counts) {
      const std::string name = "answer" + std::to_string(count) + ".xml";
      const std::string text = Answer(count);
      std::ofstream(dir / name, std::ios::binary) << text;
      names.push_back(name);
      sizes.push_back(text.size());
    }
  }
  ~Corpus() { fs::remove_all(dir); }
  std::u16string DevicePath(size_t i) const {
    std::u16string p = u"\\";
    for (char c : names[i]) p += static_cast<char16_t>(c);
    return p;
  }
  std::string HostPath(size_t i) const { return (dir / names[i]).string(); }
};

Corpus& Files() {
  static Corpus corpus;
  return corpus;
}

void SetBytes(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
  state.counters["file_bytes"] = static_cast<double>(bytes);
}

// ---- parse -------------------------------------------------------------------

void BM_QuobbleParseFile(benchmark::State& state) {
  const size_t i = static_cast<size_t>(state.range(0));
  const std::u16string path = Files().DevicePath(i);
  for (auto _ : state) {
    XmlDocument doc;
    if (doc.parse_file(path.c_str(), KeepOptions) != 1) state.SkipWithError("parse_file failed");
    benchmark::DoNotOptimize(doc.root);
  }
  SetBytes(state, Files().sizes[i]);
}

void BM_QuobbleReadFileText(benchmark::State& state) {
  const size_t i = static_cast<size_t>(state.range(0));
  const std::u16string path = Files().DevicePath(i);
  for (auto _ : state) {
    char16_t* text = nullptr;
    size_t size = 0;
    if (read_file_text(path.c_str(), &text, &size, 4096) == 0) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(text);
    std::free(text);
  }
  SetBytes(state, Files().sizes[i]);
}

// The reads alone: the file in 4095-byte reads, as read_file_text takes it.
void BM_Read4095(benchmark::State& state) {
  const size_t i = static_cast<size_t>(state.range(0));
  const std::u16string path = Files().DevicePath(i);
  std::vector<char> chunk(4096);
  for (auto _ : state) {
    DeviceFile file;
    if (!file.OpenForRead(path)) state.SkipWithError("open failed");
    while (file.Read(chunk.data(), 4095) > 0) {
    }
    benchmark::DoNotOptimize(chunk.data());
  }
  SetBytes(state, Files().sizes[i]);
}

// The parser alone, over text already decoded (copied afresh each time, as
// parse writes into it), with the pool parse_file uses.
void BM_QuobbleParseMemory(benchmark::State& state) {
  const size_t i = static_cast<size_t>(state.range(0));
  char16_t* decoded = nullptr;
  size_t size = 0;
  const std::u16string path = Files().DevicePath(i);
  if (read_file_text(path.c_str(), &decoded, &size, 4096) == 0) {
    state.SkipWithError("read failed");
    return;
  }
  const std::u16string original(decoded);
  std::free(decoded);
  std::u16string text;
  for (auto _ : state) {
    text = original;
    XmlPool pool;
    XmlNode* root = create_node_in(&pool, XmlNodeType::Document);
    root->parent = root;
    parse_in(&pool, text.data(), root, 4, 0, 0);
    benchmark::DoNotOptimize(root->child_count);
  }
  SetBytes(state, Files().sizes[i]);
}

void BM_PugiLoadFile(benchmark::State& state) {
  const size_t i = static_cast<size_t>(state.range(0));
  const std::string path = Files().HostPath(i);
  for (auto _ : state) {
    pugi::xml_document doc;
    if (!doc.load_file(path.c_str())) state.SkipWithError("load_file failed");
    benchmark::DoNotOptimize(doc.first_child());
  }
  SetBytes(state, Files().sizes[i]);
}

// pugixml's parse alone, from a copy of the file's bytes in memory.
void BM_PugiParseMemory(benchmark::State& state) {
  const size_t i = static_cast<size_t>(state.range(0));
  std::ifstream in(Files().HostPath(i), std::ios::binary);
  const std::string original((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  std::string bytes;
  for (auto _ : state) {
    bytes = original;
    pugi::xml_document doc;
    if (!doc.load_buffer_inplace(bytes.data(), bytes.size())) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(doc.first_child());
  }
  SetBytes(state, Files().sizes[i]);
}

// The installed pugixml is built for char only, so its wide-character mode
// cannot run here. What wide mode does is decode the whole UTF-8 file to
// wchar_t and parse that; this does the same decoding with pugixml's own
// as_wide and then its char parse of the file. The real wide parse walks
// 4-byte units rather than bytes, so this is if anything faster than it.
void BM_PugiWideEquivalent(benchmark::State& state) {
  const size_t i = static_cast<size_t>(state.range(0));
  const std::string path = Files().HostPath(i);
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::wstring wide = pugi::as_wide(bytes.c_str());
    benchmark::DoNotOptimize(wide.data());
    pugi::xml_document doc;
    if (!doc.load_buffer_inplace(bytes.data(), bytes.size())) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(doc.first_child());
  }
  SetBytes(state, Files().sizes[i]);
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
    parse_in(&pool, text.data(), root, 4, 0, 0);
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

// Peak resident memory of one parse of the largest file, in a fresh child
// process: its maximum RSS minus what it held before parsing.
template <typename Parse>
double PeakRatio(Parse parse, size_t fileBytes) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(pipeFds[0]);
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

void BM_PeakMemory(benchmark::State& state) {
  const size_t i = 2;
  const std::u16string path = Files().DevicePath(i);
  double quobble = 0;
  for (auto _ : state) {
    quobble = PeakRatio(
        [&] {
          XmlDocument doc;
          (void)doc.parse_file(path.c_str(), KeepOptions);
        },
        Files().sizes[i]);
  }
  state.counters["quobble_peak_x_file"] = quobble;
  const std::string host = Files().HostPath(i);
  state.counters["pugixml_peak_x_file"] = PeakRatio(
      [&] {
        pugi::xml_document doc;
        (void)doc.load_file(host.c_str());
      },
      Files().sizes[i]);
  state.counters["file_bytes"] = static_cast<double>(Files().sizes[i]);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->ArgName("file")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_QuobbleParseFile)->Apply(Sizes);
BENCHMARK(BM_QuobbleReadFileText)->Apply(Sizes);
BENCHMARK(BM_QuobbleParseMemory)->Apply(Sizes);
BENCHMARK(BM_Read4095)->Apply(Sizes);
BENCHMARK(BM_PugiLoadFile)->Apply(Sizes);
BENCHMARK(BM_PugiWideEquivalent)->Apply(Sizes);
BENCHMARK(BM_PugiParseMemory)->Apply(Sizes);
BENCHMARK(BM_AppendChildren)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendChildrenStepOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseWideElement)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
