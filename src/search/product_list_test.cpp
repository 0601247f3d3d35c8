#include "search/product_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "search/search_state.h"
#include "tests/support/recording_screen.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_data.h"
#include "tests/support/test_http_server.h"

namespace quobble {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace fs = std::filesystem;

const std::u16string kImages = std::u16string(kDataFolder) + u"Images\\";

// Nothing listens there: a download that should not happen fails loudly.
const std::u16string kDeadHost = u"http://127.0.0.1:1";

struct ListFixture : ::testing::Test {
  TempRoot root;
  RecordingScreen screen;
  ProductList list{screen, std::u16string(kDataFolder)};

  void Add(const std::u16string& imageUrl) {
    auto record = std::make_unique<ProductRecord>();
    record->imageUrl = imageUrl;
    list.AppendRecord(std::move(record));
  }
  void PutCached(const std::u16string& cacheName, const std::string& body = "cached") {
    const std::u16string path = kImages + cacheName;
    ASSERT_TRUE(CreateFolderPath(path));
    std::ofstream(root.Host(path)) << body;
  }
  std::vector<std::string> WorkerEvents() {
    std::vector<std::string> out;
    for (const auto& e : screen.Events())
      if (e.rfind("progress", 0) == 0 || e == "done" || e.rfind("message", 0) == 0)
        out.push_back(e);
    return out;
  }
  // Until the worker's run `count` has ended, its busy flag included.
  void Finish(int count = 1) {
    ASSERT_TRUE(screen.WaitForDone(count));
    while (list.Busy()) std::this_thread::yield();
  }
  std::string Thumb(size_t index) { return Utf16ToUtf8(list.RecordAt(index)->ThumbPath()); }
  std::string ReadHost(const std::u16string& devicePath) {
    return ReadHostFile(root.Host(devicePath));
  }
  // Every regular file below the root, relative to it.
  std::vector<std::string> FilesUnderRoot() {
    std::vector<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root.path()))
      if (entry.is_regular_file()) out.push_back(fs::relative(entry.path(), root.path()).string());
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST(ThumbnailCacheNameTest, NamesComeFromTheAddressAndStayInsideTheCache) {
  TempRoot root;
  const struct {
    std::u16string url;
    std::u16string name;
  } cases[] = {
      {u"http://h/p1/p2/p3/name.jpg", u"p3\\name.jpg"},
      {u"http://h/p1/p2/p3/sub/name.jpg", u"p3\\sub\\name.jpg"},
      {u"http://h/p1/p2/p3/n.jpg?type=f80", u"p3\\n.jpg?type=f80"},
      // Shallower paths: the path on the host.
      {u"http://h/dir/name.jpg", u"dir\\name.jpg"},
      {u"http://h/name.jpg", u"name.jpg"},
      // No file named at all.
      {u"http://h/", u""},
      {u"http://h", u""},
      {u"", u""},
      {u"http://h/p1/p2/p3/", u""},
      // Hostile or odd components never climb or vanish.
      {u"http://h/a/b/../../../../etc/passwd", u"__\\__\\__\\__\\etc\\passwd"},
      {u"http://h/a/b/./x.jpg", u"_\\x.jpg"},
      {u"http://h/a/b/c\\..\\..\\x.jpg", u"c_.._.._x.jpg"},
      {u"http://h/a/b/..\\x.jpg", u".._x.jpg"},
      {u"http://h/a/b/c//d.jpg", u"c\\d.jpg"},
      {u"http://h/a/b/c/x\ty.jpg", u"c\\x_y.jpg"},
      {u"http://h/../x.jpg", u"__\\x.jpg"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf16ToUtf8(ThumbnailCacheName(c.url)), Utf16ToUtf8(c.name)) << Utf16ToUtf8(c.url);
    if (!c.name.empty()) {
      EXPECT_TRUE(MapDevicePath(kImages + c.name).has_value()) << Utf16ToUtf8(c.url);
    }
  }
}

TEST_F(ListFixture, CreateFolderPathCreatesEveryAncestorButNotTheFileName) {
  EXPECT_TRUE(CreateFolderPath(u"\\a\\b\\c\\file.txt"));
  EXPECT_TRUE(DevicePathExists(u"\\a\\b\\c"));
  EXPECT_FALSE(DevicePathExists(u"\\a\\b\\c\\file.txt"));
  EXPECT_FALSE(DeviceFileExists(u"\\a\\b\\c"));   // a folder is not a file
  EXPECT_TRUE(CreateFolderPath(u"\\a\\b\\c\\"));  // all there already
  EXPECT_FALSE(CreateFolderPath(u"\\a\\..\\x\\f"));
  EXPECT_FALSE(DevicePathExists(u"\\x"));
}

TEST_F(ListFixture, CachedImagesCostNoDownloadAndReportEachRecord) {
  for (const char16_t* name : {u"p3\\a.jpg", u"p3\\b.jpg", u"q\\c.jpg"}) PutCached(name);
  Add(kDeadHost + u"/p1/p2/p3/a.jpg");
  Add(kDeadHost + u"/p1/p2/p3/b.jpg");
  Add(kDeadHost + u"/p1/p2/q/c.jpg");

  ASSERT_TRUE(list.StartThumbnailFetch());
  EXPECT_EQ(screen.rowCount(), 3);
  Finish();
  EXPECT_THAT(WorkerEvents(), ElementsAre("progress 33", "progress 66", "progress 100", "done"));
  EXPECT_EQ(Thumb(0), Utf16ToUtf8(kImages + u"p3\\a.jpg"));
  EXPECT_EQ(Thumb(2), Utf16ToUtf8(kImages + u"q\\c.jpg"));
  EXPECT_TRUE(list.ResetList());
  EXPECT_EQ(list.RecordCount(), 0u);
  EXPECT_EQ(screen.rowCount(), 0);
}

TEST_F(ListFixture, FirstRunCreatesTheCacheAndSecondRunDownloadsNothing) {
  TestHttpServer server;
  server.Route("/p1/p2/p3/sub/a.jpg", HttpResponse::Body("AAA", "image/jpeg"));
  server.Route("/d/b.jpg", HttpResponse::Body("BBB", "image/jpeg"));
  EXPECT_FALSE(DevicePathExists(kDataFolder.substr(0, kDataFolder.size() - 1)));
  const auto fill = [&] {
    Add(server.WideUrl("/p1/p2/p3/sub/a.jpg"));
    Add(server.WideUrl("/d/b.jpg"));
  };
  fill();
  ASSERT_TRUE(list.StartThumbnailFetch());
  Finish();
  EXPECT_THAT(screen.Messages(), IsEmpty());
  EXPECT_EQ(ReadHost(kImages + u"p3\\sub\\a.jpg"), "AAA");
  EXPECT_EQ(ReadHost(kImages + u"d\\b.jpg"), "BBB");
  EXPECT_EQ(Thumb(1), Utf16ToUtf8(kImages + u"d\\b.jpg"));
  EXPECT_EQ(server.Requests().size(), 2u);
  ASSERT_TRUE(list.ResetList());
  fill();
  ASSERT_TRUE(list.StartThumbnailFetch());
  ASSERT_TRUE(screen.WaitForDone(2));
  EXPECT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(Thumb(0), Utf16ToUtf8(kImages + u"p3\\sub\\a.jpg"));
}

TEST_F(ListFixture, AddressesWithoutAFileGetNoThumbnailButStillCount) {
  TestHttpServer server;
  server.Route("/x.jpg", HttpResponse::Body("X"));
  server.Route("/dir/y.jpg", HttpResponse::Body("Y"));
  Add(u"");
  Add(server.WideUrl("/x.jpg"));      // three '/'
  Add(server.WideUrl("/dir/y.jpg"));  // four '/'
  Add(u"http://127.0.0.1:1");         // two '/'

  ASSERT_TRUE(list.StartThumbnailFetch());
  ASSERT_TRUE(screen.WaitForDone());
  EXPECT_THAT(WorkerEvents(),
              ElementsAre("progress 25", "progress 50", "progress 75", "progress 100", "done"));
  EXPECT_EQ(Thumb(0), "");
  EXPECT_EQ(ReadHost(kImages + u"x.jpg"), "X");
  EXPECT_EQ(ReadHost(kImages + u"dir\\y.jpg"), "Y");
  EXPECT_EQ(Thumb(3), "");
}

TEST_F(ListFixture, HostileAddressesWriteNothingOutsideTheCache) {
  TestHttpServer server;
  // Whatever the client asks for (it may tidy the path first), it gets it.
  for (int i = 0; i < 3; ++i) server.Enqueue(HttpResponse::Body("EVIL"));
  Add(server.WideUrl("/a/b/../../../../escape.txt"));
  Add(server.WideUrl("/a/b/c/..\\..\\..\\..\\escape3.txt"));
  Add(server.WideUrl("/a/b/c/..\\GoodsDataTemp.xml"));

  ASSERT_TRUE(list.StartThumbnailFetch());
  ASSERT_TRUE(screen.WaitForDone());
  for (const auto& file : FilesUnderRoot())
    EXPECT_EQ(file.rfind("VOVo Vidav/quobble/Images/", 0), 0u) << file;
  EXPECT_FALSE(DeviceFileExists(std::u16string(kDataFolder) + u"GoodsDataTemp.xml"));
}

// A missing picture, and one announced a byte over the thumbnail cap: each
// ends the run with the download's message and the worker's, and leaves no
// file.
TEST_F(ListFixture, AFailedDownloadEndsTheRunWithBothMessages) {
  TestHttpServer server;
  server.Route("/a/b/c/ok.jpg", HttpResponse::Body("ok"));
  HttpResponse huge = HttpResponse::Body("x");
  huge.announcedLength = (size_t{16} << 20) + 1;
  server.Route("/a/b/c/huge.jpg", huge);
  const struct {
    const char* path;
    std::string message;
  } cases[] = {
      {"/a/b/c/missing.jpg",
       "error: [DownloadFile] HttpQueryInfo(" + server.Url("/a/b/c/missing.jpg")},
      {"/a/b/c/huge.jpg",
       "error: [DownloadFile] " + server.Url("/a/b/c/huge.jpg") + " is larger than 16777216 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_TRUE(list.ResetList());
    screen.ClearEvents();
    Add(server.WideUrl(c.path));
    Add(server.WideUrl("/a/b/c/ok.jpg"));
    const size_t requestsBefore = server.Requests().size();
    ASSERT_TRUE(list.StartThumbnailFetch());
    Finish(1);
    const auto messages = screen.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_THAT(messages[0], ::testing::StartsWith(c.message));
    EXPECT_EQ(messages[1], "Error: XML DownloadFile Error");
    EXPECT_THAT(WorkerEvents().back(), "done");
    EXPECT_EQ(Thumb(0), "");
    EXPECT_EQ(Thumb(1), "");  // records after the failure wait for the next run
    EXPECT_EQ(server.Requests().size(), requestsBefore + 1);
    EXPECT_THAT(FilesUnderRoot(), IsEmpty());
  }
}

TEST_F(ListFixture, AnEmptyPageOnlyReportsDone) {
  ASSERT_TRUE(list.StartThumbnailFetch());
  ASSERT_TRUE(screen.WaitForDone());
  EXPECT_THAT(WorkerEvents(), ElementsAre("done"));
}

// A stop (a new search) aborts the download in flight, quietly, whatever
// the server does: no partial file stays, and the stop is spent once the
// run has ended, so the next run fetches the thumbnail whole.
TEST_F(ListFixture, AStopAbortsTheDownloadInFlightAndIsSpentAfterwards) {
  HttpResponse late = HttpResponse::Body("late");
  late.delayBeforeHeadersMs = 30'000;
  HttpResponse drip = HttpResponse::Body(std::string(100, 'd'));
  drip.dripMs = 2000;  // never silent for the 30 s that would end it
  int runs = 0;
  for (const HttpResponse& slow : {late, drip}) {
    TestHttpServer server;
    server.Route("/a/b/c/1.jpg", slow);
    server.Route("/a/b/c/2.jpg", HttpResponse::Body("2"));
    Add(server.WideUrl("/a/b/c/1.jpg"));
    Add(server.WideUrl("/a/b/c/2.jpg"));

    ASSERT_TRUE(list.StartThumbnailFetch());
    ASSERT_TRUE(server.WaitForRequests(1));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_FALSE(list.ResetList());
    EXPECT_FALSE(list.ResetList());  // only re-arms the request
    EXPECT_TRUE(screen.timerRunning());
    EXPECT_EQ(list.RecordCount(), 2u);  // records stay while the worker runs
    Finish(++runs);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_THAT(WorkerEvents(), ElementsAre("done"));
    EXPECT_THAT(screen.Messages(), ElementsAre());
    EXPECT_EQ(Thumb(0), "");
    EXPECT_THAT(FilesUnderRoot(), ElementsAre());
    EXPECT_EQ(server.Requests().size(), 1u);

    ASSERT_TRUE(list.ResetList());
    server.Route("/a/b/c/1.jpg", HttpResponse::Body("whole"));
    Add(server.WideUrl("/a/b/c/1.jpg"));
    ASSERT_TRUE(list.StartThumbnailFetch());
    Finish(++runs);
    EXPECT_THAT(WorkerEvents(), ElementsAre("done", "progress 100", "done"));
    EXPECT_EQ(ReadHost(list.RecordAt(0)->ThumbPath()), "whole");
    ASSERT_TRUE(list.ResetList());
    screen.ClearEvents();
    fs::remove_all(root.path() + "/VOVo Vidav");
  }
}

TEST_F(ListFixture, DestroyingTheListAbortsAStalledDownloadQuietly) {
  TestHttpServer server;
  HttpResponse stalled = HttpResponse::Body(std::string(10000, 'x'));
  stalled.stallAt = 100;
  stalled.stallMs = 20000;
  server.Route("/a/b/c/1.jpg", stalled);
  auto local = std::make_unique<ProductList>(screen, std::u16string(kDataFolder));
  auto record = std::make_unique<ProductRecord>();
  record->imageUrl = server.WideUrl("/a/b/c/1.jpg");
  local->AppendRecord(std::move(record));
  ASSERT_TRUE(local->StartThumbnailFetch());
  ASSERT_TRUE(server.WaitForRequests(1));

  const auto before = std::chrono::steady_clock::now();
  local.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
  EXPECT_THAT(screen.Messages(), IsEmpty());
  EXPECT_FALSE(DeviceFileExists(kImages + u"c\\1.jpg"));  // no truncated thumbnail left
}

// A screen whose worker calls wait for the UI thread, as a real one's do.
class HandOffScreen : public RecordingScreen {
 public:
  void Progress(int percent) override {
    HandOff([&] { RecordingScreen::Progress(percent); });
  }
  void ProgressDone() override {
    HandOff([&] { RecordingScreen::ProgressDone(); });
  }
  // The UI thread's turn: runs the call waiting, if any.
  void Serve() {
    std::lock_guard lock(mutex_);
    if (waiting_ != nullptr) {
      (*waiting_)();
      waiting_ = nullptr;
      changed_.notify_all();
    }
  }

 private:
  void HandOff(const std::function<void()>& call) {
    std::unique_lock lock(mutex_);
    waiting_ = &call;
    changed_.wait(lock, [&] { return waiting_ == nullptr; });
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void()>* waiting_ = nullptr;
};

TEST(ProductListShutdownTest, StoppingServesTheWorkerUntilItHasEnded) {
  TempRoot root;
  HandOffScreen screen;
  ProductList list(screen, std::u16string(kDataFolder));
  for (int i = 0; i < 50; ++i) list.AppendRecord(std::make_unique<ProductRecord>());
  ASSERT_TRUE(list.StartThumbnailFetch());
  // The worker now waits in its first progress call for this thread.
  list.StopWorker([&] { screen.Serve(); });
  EXPECT_FALSE(list.Busy());
  EXPECT_LE(screen.Events().size(), 2u);  // the stop came before the next record
}

}  // namespace
}  // namespace quobble
