#include "catalogue/catalogue_server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <turbojpeg.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <pugixml.hpp>
#include <thread>

#include "catalogue/embedded_catalogue.h"
#include "catalogue/search_answer.h"
#include "tests/support/http_test_client.h"
#include "tests/support/test_data.h"

namespace quobble::catalogue {
namespace {

using http_test::HttpTestClient;

const std::string kKey(kDefaultServiceKey);

std::string SearchPath(std::string_view query, int display = 10, int start = 1,
                       std::string_view sort = "sim") {
  return "/search?key=" + kKey + "&query=" + EncodeAll(query) +
         "&display=" + std::to_string(display) + "&start=" + std::to_string(start) +
         "&target=shop&sort=" + std::string(sort);
}

int PortOf(const std::string& endpoint) {
  return std::stoi(endpoint.substr(endpoint.rfind(':') + 1));
}

struct Item {
  int64_t id;
  std::string title;  // with the <b> marks removed
  std::string image;
  int64_t lprice;
};

struct Page {
  int total = -1, start = -1, display = -1;
  std::vector<Item> items;
};

std::string Unmark(std::string s) {
  for (const char* mark : {"<b>", "</b>"}) {
    for (size_t at; (at = s.find(mark)) != std::string::npos;) s.erase(at, std::strlen(mark));
  }
  return s;
}

class CatalogueServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(ParseCatalogue(BundledCatalogueText(), products_, error)) << error;
    for (const auto& p : products_) byId_[p.id] = &p;
  }

  void SetUp() override {
    std::string error;
    catalogue_ = EmbeddedCatalogue::Start({}, &error);
    ASSERT_TRUE(catalogue_) << error;
    client_ = std::make_unique<HttpTestClient>(PortOf(catalogue_->Endpoint()));
  }

  Page Fetch(const std::string& path) {
    Page page;
    auto res = client_->Get(path.c_str());
    EXPECT_TRUE(res) << path;
    if (!res) return page;
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->Header("content-type"), "text/xml; charset=utf-8");
    EXPECT_EQ(res->Header("content-length"), std::to_string(res->body.size()));
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(res->body.c_str())) << res->body;
    auto channel = doc.child("rss").child("channel");
    page.total = channel.child("total").text().as_int(-1);
    page.start = channel.child("start").text().as_int(-1);
    page.display = channel.child("display").text().as_int(-1);
    for (auto item : channel.children("item")) {
      page.items.push_back({item.child("productId").text().as_llong(),
                            Unmark(item.child_value("title")), item.child_value("image"),
                            item.child("lprice").text().as_llong()});
    }
    EXPECT_EQ(page.display, static_cast<int>(page.items.size()));
    return page;
  }

  static std::vector<Product> products_;
  static std::map<int64_t, const Product*> byId_;
  std::unique_ptr<EmbeddedCatalogue> catalogue_;
  std::unique_ptr<HttpTestClient> client_;
};

std::vector<Product> CatalogueServerTest::products_;
std::map<int64_t, const Product*> CatalogueServerTest::byId_;

TEST_F(CatalogueServerTest, HangulQueryEncodedByteByByteFindsProducts) {
  EXPECT_EQ(catalogue_->Endpoint().rfind("http://127.0.0.1:", 0), 0u);
  for (const char* word : {"운동화", "노트북", "shoes", "laptop", "coffee", "chair", "커피"}) {
    Page page = Fetch(SearchPath(word));
    EXPECT_GT(page.total, 10) << word;
    EXPECT_EQ(page.items.size(), 10u) << word;
  }
  // Every answer came on the one kept connection.
  EXPECT_EQ(client_->Connects(), 1);
}

TEST_F(CatalogueServerTest, RefusalsAreErrorDocumentsWithStatus200) {
  auto res = client_->Get("/search?key=nope&query=%61&target=shop");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, ErrorDocument({20, "Unregistered key"}));
  res = client_->Get(("/search?key=" + kKey + "&query=%61&target=shop&display=0").c_str());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body, ErrorDocument({101, "Invalid display value"}));
}

TEST_F(CatalogueServerTest, HostileQueriesGetWellFormedAnswers) {
  std::string manyWords;
  for (int i = 0; i < 400; ++i) manyWords.append("w").append(std::to_string(i)).append(" ");
  struct Case {
    std::string query;
    int total;  // -1: any
  } cases[] = {
      {manyWords, 0},
      {"chair " + manyWords, 0},
      {std::string("ch\0air", 6), -1},  // a NUL separates words
      {"\x01\x02<]]>&", 0},
      {"NEAR(chair desk) OR * ^ : -", 0},
      {"\"chair\"", -1},
      {std::string(2000, 'a'), 0},
      {"\xEF\xBF\xBF", 0},
  };
  for (const auto& c : cases) {
    Page page = Fetch(SearchPath(c.query, 100));
    if (c.total >= 0) {
      EXPECT_EQ(page.total, c.total) << c.query.substr(0, 40);
    } else {
      EXPECT_GE(page.total, 0);
    }
  }
  // Beyond the server's request-line limit: refused, and the server goes on.
  auto res = client_->Get(SearchPath(std::string(20000, 'a')));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 414);
  EXPECT_GT(Fetch(SearchPath("chair")).total, 0);
}

// Everything the server sends back on one connection for `bytes`: the
// status of each answer, and whether it closed the connection (else it was
// still open after `waitMs`).
struct Exchange {
  std::vector<int> statuses;
  bool closed = false;
};

Exchange Send(int port, const std::string& bytes, int waitMs) {
  Exchange out;
  HttpTestClient client(port);
  if (!client.Connect() || !client.SendRaw(bytes)) return out;
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{client.Fd(), POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char chunk[4096];
    const ssize_t n = recv(client.Fd(), chunk, sizeof chunk, 0);
    if (n <= 0) {
      out.closed = true;
      break;
    }
    received.append(chunk, static_cast<size_t>(n));
  }
  for (size_t at = 0; (at = received.find("HTTP/1.1 ", at)) != std::string::npos; at += 9) {
    out.statuses.push_back(std::atoi(received.c_str() + at + 9));
  }
  return out;
}

// Requests whose end two readers could place differently are refused and
// their connections closed, so that nothing hidden in them (here a second
// request in the would-be body) is ever read as a request of its own.
TEST_F(CatalogueServerTest, AmbiguousFramingIsRefusedAndTheConnectionClosed) {
  const std::string hidden = "GET /shop/product/1 HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string length = std::to_string(hidden.size());
  const std::string get = "GET /shop/product/2 HTTP/1.1\r\nHost: x\r\n";
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<int> statuses;
    bool closed;
  } cases[] = {
      {"two lengths",
       get + "Content-Length: 0\r\nContent-Length: " + length + "\r\n\r\n" + hidden,
       {400},
       true},
      {"length and chunked",
       get + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + hidden,
       {400},
       true},
      {"blank before the colon",
       get + "Content-Length : " + length + "\r\n\r\n" + hidden,
       {400},
       true},
      {"tab before the colon",
       get + "Content-Length\t: " + length + "\r\n\r\n" + hidden,
       {400},
       true},
      {"bare LF line ends", "GET /shop/product/2 HTTP/1.1\nHost: x\n\n" + hidden, {400}, true},
      {"one bare LF", get + "X-A: 1\nContent-Length: " + length + "\r\n\r\n" + hidden, {400}, true},
      {"bare CR", get + "X-A: 1\rContent-Length: " + length + "\r\n\r\n" + hidden, {400}, true},
      {"folded line",
       get + "X-A: 1\r\n Content-Length: " + length + "\r\n\r\n" + hidden,
       {400},
       true},
      {"two hosts", get + "Host: y\r\n\r\n" + hidden, {400}, true},
      {"coding not chunked",
       get + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n" + hidden,
       {501},
       true},
      {"length not a number", get + "Content-Length: +5\r\n\r\nhello" + hidden, {400}, true},
      {"bad chunk size line",
       get + "Transfer-Encoding: chunked\r\n\r\n5\nhello\r\n0\r\n\r\n" + hidden,
       {400},
       true},
      // Bodies framed one way only are read and dropped; what follows them
      // is the next request, on the same connection.
      {"length", get + "Content-Length: 5\r\n\r\nhello" + hidden, {404, 404}, false},
      {"chunked",
       get + "Transfer-Encoding: Chunked\r\n\r\n5;n=v\r\nhello\r\n0\r\nX-T: 1\r\n\r\n" + hidden,
       {404, 404},
       false},
  };
  const int port = PortOf(catalogue_->Endpoint());
  for (const auto& c : cases) {
    const Exchange got = Send(port, c.bytes, c.closed ? 3000 : 300);
    EXPECT_EQ(got.statuses, c.statuses) << c.what;
    EXPECT_EQ(got.closed, c.closed) << c.what;
  }
}

TEST_F(CatalogueServerTest, TitlesWithMarkupCharactersRoundTrip) {
  size_t checked = 0;
  for (const char* word : {"&", "\"", "<", ">", "shoes"}) {
    Page first = Fetch(SearchPath(word, 100));
    ASSERT_GT(first.total, 0) << word;
    for (int start = 1; start <= std::min(first.total, 1000); start += 100) {
      for (const Item& item : Fetch(SearchPath(word, 100, start)).items) {
        ASSERT_TRUE(byId_.count(item.id)) << item.id;
        EXPECT_EQ(item.title, byId_[item.id]->title);
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 400u);
}

TEST_F(CatalogueServerTest, PagesCutTheSameRankingWithoutGapsOrRepeats) {
  for (const char* sort : {"sim", "date", "asc", "dsc"}) {
    std::vector<int64_t> all;
    Page first = Fetch(SearchPath("chair", 100, 1, sort));
    const int total = first.total;
    ASSERT_GT(total, 200) << sort;
    for (int start = 1; start <= total; start += 100) {
      for (const Item& item : Fetch(SearchPath("chair", 100, start, sort)).items) {
        all.push_back(item.id);
      }
    }
    ASSERT_EQ(all.size(), static_cast<size_t>(total)) << sort;
    struct Case {
      int start, display;
    } cases[] = {{1, 10}, {31, 30}, {total - 5, 10}, {total, 100}};
    for (const auto& c : cases) {
      Page page = Fetch(SearchPath("chair", c.display, c.start, sort));
      EXPECT_EQ(page.start, c.start);
      size_t expected = std::min<size_t>(c.display, total - c.start + 1);
      ASSERT_EQ(page.items.size(), expected) << sort << " " << c.start;
      for (size_t i = 0; i < expected; ++i) {
        EXPECT_EQ(page.items[i].id, all[c.start - 1 + i]);
      }
    }
    Page beyond = Fetch(SearchPath("chair", 10, total + 1, sort));
    EXPECT_EQ(beyond.total, total);
    EXPECT_EQ(beyond.display, 0);
    EXPECT_TRUE(beyond.items.empty());

    // Each order holds on the values it sorts by.
    for (size_t i = 1; i < all.size(); ++i) {
      const Product& a = *byId_[all[i - 1]];
      const Product& b = *byId_[all[i]];
      if (std::string(sort) == "date") {
        EXPECT_TRUE(a.updated > b.updated || (a.updated == b.updated && a.id < b.id));
      } else if (std::string(sort) == "asc") {
        EXPECT_TRUE(a.lowPrice < b.lowPrice || (a.lowPrice == b.lowPrice && a.id < b.id));
      } else if (std::string(sort) == "dsc") {
        EXPECT_TRUE(a.lowPrice > b.lowPrice || (a.lowPrice == b.lowPrice && a.id < b.id));
      }
    }
  }
}

TEST_F(CatalogueServerTest, ImagesAreJpegsAtAddressesWithFiveSlashes) {
  Page page = Fetch(SearchPath("laptop", 5));
  ASSERT_EQ(page.items.size(), 5u);
  const std::string prefix = catalogue_->Endpoint() + "/shop/img/";
  tjhandle decoder = tjInitDecompress();
  std::string previous;
  for (const Item& item : page.items) {
    ASSERT_EQ(item.image.rfind(prefix, 0), 0u) << item.image;
    EXPECT_EQ(std::count(item.image.begin(), item.image.end(), '/'), 6);
    auto res = client_->Get(item.image.substr(catalogue_->Endpoint().size()).c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->Header("content-type"), "image/jpeg");
    EXPECT_EQ(res->Header("content-length"), std::to_string(res->body.size()));
    int width = 0, height = 0, subsamp = 0, colorspace = 0;
    EXPECT_EQ(tjDecompressHeader3(decoder, reinterpret_cast<const unsigned char*>(res->body.data()),
                                  res->body.size(), &width, &height, &subsamp, &colorspace),
              0);
    EXPECT_EQ(width, 120);
    EXPECT_EQ(height, 120);
    EXPECT_NE(res->body, previous);
    previous = res->body;
    // The same picture every time.
    auto again = client_->Get(item.image.substr(catalogue_->Endpoint().size()).c_str());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->body, res->body);
  }
  tjDestroy(decoder);
}

TEST_F(CatalogueServerTest, UnknownAddressesAnswer404) {
  const int64_t id = products_.front().id;
  const std::string good = "/shop/img/" + ImagePathFor(id);
  ASSERT_EQ(client_->Get(good.c_str())->status, 200);
  ASSERT_EQ(client_->Get(("/shop/product/" + std::to_string(id)).c_str())->status, 200);
  for (std::string path :
       {std::string("/shop/img/00/") + std::to_string(id) + ".jpg",  // wrong bucket
        std::string("/shop/img/01/1.jpg"),                           // no such product
        std::string("/shop/img/") + ImagePathFor(id) + "x", std::string("/shop/img/../etc/passwd"),
        std::string("/shop/img/38/%2e%2e.jpg"), std::string("/shop/product/1"),
        std::string("/shop/product/abc"), std::string("/shop/product/"), std::string("/"),
        std::string("/search/x"), std::string("/shop/img/99999999999999999999/1.jpg")}) {
    auto res = client_->Get(path.c_str());
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 404) << path;
  }
}

TEST_F(CatalogueServerTest, AddressesFollowTheHostTheClientUsedUnlessItIsUnsafe) {
  std::vector<std::string> named = {"Host: shop.example:99"};
  auto res = client_->Get(SearchPath("desk", 1).c_str(), named);
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("<image>http://shop.example:99/shop/img/"), std::string::npos);
  std::vector<std::string> hostile = {"Host: a\"><x y=\"/"};
  res = client_->Get(SearchPath("desk", 1).c_str(), hostile);
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("<image>" + catalogue_->Endpoint() + "/shop/img/"), std::string::npos)
      << res->body;
}

TEST_F(CatalogueServerTest, ConcurrentClientsAllGetAnswers) {
  const int port = PortOf(catalogue_->Endpoint());
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      HttpTestClient client(port);
      const char* words[] = {"chair", "운동화", "의자", "coffee"};
      for (int i = 0; i < 20; ++i) {
        auto res = client.Get(SearchPath(words[(t + i) % 4], 100, 1 + i).c_str());
        if (res && res->status == 200 && res->body.find("<total>") != std::string::npos) ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 80);
}

TEST(EmbeddedCatalogue, OptionsForKeyFileAndImageDelay) {
  std::string error;
  CatalogueOptions options;
  options.catalogueFile = "/nonexistent/catalogue.tsv";
  EXPECT_FALSE(EmbeddedCatalogue::Start(options, &error));
  EXPECT_NE(error.find("/nonexistent/catalogue.tsv"), std::string::npos) << error;

  options = {};
  options.key = "mine";
  options.imageDelayMs = 200;
  auto catalogue = EmbeddedCatalogue::Start(options, &error);
  ASSERT_TRUE(catalogue) << error;
  HttpTestClient client(PortOf(catalogue->Endpoint()));
  auto res = client.Get(SearchPath("chair").c_str());
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("<error_code>020</error_code>"), std::string::npos);
  res = client.Get("/search?key=mine&query=chair&target=shop");
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("<total>"), std::string::npos);

  std::vector<Product> products;
  ASSERT_TRUE(ParseCatalogue(BundledCatalogueText(), products, error));
  const std::string image = "/shop/img/" + ImagePathFor(products[0].id);
  auto begin = std::chrono::steady_clock::now();
  res = client.Get(image.c_str());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(200));
}

TEST(EmbeddedCatalogue, StoppingCutsAPendingImageDelayShort) {
  std::string error;
  CatalogueOptions options;
  options.imageDelayMs = 60000;
  auto catalogue = EmbeddedCatalogue::Start(options, &error);
  ASSERT_TRUE(catalogue) << error;
  std::vector<Product> products;
  ASSERT_TRUE(ParseCatalogue(BundledCatalogueText(), products, error));
  const int port = PortOf(catalogue->Endpoint());
  const std::string image = "/shop/img/" + ImagePathFor(products[0].id);
  std::thread waiting([&] {
    HttpTestClient client(port);
    (void)client.Get(image.c_str());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto begin = std::chrono::steady_clock::now();
  catalogue.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  waiting.join();
}

// Stopping while the event threads are busy resuming held-back images and
// serving keep-alive clients: the library once aborted the process when its
// threads and the stop raced over the listening socket.
TEST(EmbeddedCatalogue, StopsCleanlyWhileItsThreadsAreBusy) {
  std::vector<Product> products;
  std::string error;
  ASSERT_TRUE(ParseCatalogue(BundledCatalogueText(), products, error));
  const std::string image = "/shop/img/" + ImagePathFor(products[0].id);
  for (int round = 0; round < 40; ++round) {
    CatalogueOptions options;
    options.imageDelayMs = 60000;
    auto catalogue = EmbeddedCatalogue::Start(options, &error);
    ASSERT_TRUE(catalogue) << error;
    const int port = PortOf(catalogue->Endpoint());
    std::vector<std::thread> clients;
    for (int i = 0; i < 5; ++i) {
      clients.emplace_back([&, i] {
        HttpTestClient client(port);
        for (int k = 0; k < 50; ++k)
          if (!client.Get(i == 0 ? image : "/search?query=x&display=10&start=1")) break;
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + round % 7));
    catalogue.reset();
    for (std::thread& client : clients) client.join();
  }
}

TEST(CatalogueServerStop, DoesNotWaitForIdleKeepAliveClients) {
  Product p;
  p.id = 5;
  p.title = "Chair";
  p.updated = "2025-01-01 00:00:00";
  ServerConfig config;
  config.idleTimeoutSeconds = 120;
  std::string error;
  auto server = CatalogueServer::Create({p}, config, error);
  ASSERT_TRUE(server) << error;
  std::thread serving([&] { EXPECT_TRUE(server->Run()); });
  while (!server->IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Idle connections that stay open, as a client's connection cache keeps them.
  std::vector<std::unique_ptr<HttpTestClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<HttpTestClient>(server->Port()));
    auto res = clients.back()->Get(SearchPath("chair").c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
  }
  auto begin = std::chrono::steady_clock::now();
  server->Stop();
  serving.join();
  // Far below the keep-alive time the workers would otherwise wait out.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(60));
}

TEST(EmbeddedCatalogue, ServesACatalogueFileInsteadOfTheBundledOne) {
  Product p;
  p.id = 77;
  p.title = "Only Chair";
  p.updated = "2025-01-01 00:00:00";
  const std::string path = ::testing::TempDir() + "catalogue_server_test.tsv";
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::string text = FormatCatalogue({p});
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  CatalogueOptions options;
  options.catalogueFile = path;
  std::string error;
  auto catalogue = EmbeddedCatalogue::Start(options, &error);
  ASSERT_TRUE(catalogue) << error;
  HttpTestClient client(PortOf(catalogue->Endpoint()));
  auto res = client.Get(SearchPath("chair").c_str());
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("<total>1</total>"), std::string::npos) << res->body;
  EXPECT_NE(res->body.find("<productId>77</productId>"), std::string::npos);
  std::remove(path.c_str());
}

// A server over the bundled catalogue on its own thread, with a config the
// test chooses.
class ServerUnderTest {
 public:
  explicit ServerUnderTest(const ServerConfig& config) {
    std::vector<Product> products;
    std::string error;
    EXPECT_TRUE(LoadCatalogue("", products, error)) << error;
    server_ = CatalogueServer::Create(std::move(products), config, error);
    EXPECT_TRUE(server_) << error;
    if (!server_) return;
    thread_ = std::thread([this] { EXPECT_TRUE(server_->Run()); });
    while (!server_->IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~ServerUnderTest() { Stop(); }
  // How long the stop took.
  std::chrono::steady_clock::duration Stop() {
    auto begin = std::chrono::steady_clock::now();
    if (server_) server_->Stop();
    if (thread_.joinable()) thread_.join();
    return std::chrono::steady_clock::now() - begin;
  }
  int Port() const { return server_ ? server_->Port() : 0; }

 private:
  std::unique_ptr<CatalogueServer> server_;
  std::thread thread_;
};

// Connections that sent half a request line and then nothing, as a slow or
// hostile client leaves them.
std::vector<std::unique_ptr<HttpTestClient>> OpenHalfRequests(int port, int count) {
  std::vector<std::unique_ptr<HttpTestClient>> idle;
  for (int i = 0; i < count; ++i) {
    idle.push_back(std::make_unique<HttpTestClient>(port));
    EXPECT_TRUE(idle.back()->Connect());
    EXPECT_TRUE(idle.back()->SendRaw("GET /search?key=5d0c"));
  }
  return idle;
}

TEST(CatalogueServerConnections, IdleAndHalfSentConnectionsDoNotHoldBackOthers) {
  ServerConfig config;
  config.maxConnectionsPerAddress = 0;  // every client here is 127.0.0.1
  ServerUnderTest server(config);
  // Far more than the server has threads.
  auto idle = OpenHalfRequests(server.Port(), 200);
  for (const char* word : {"chair", "운동화", "coffee", "desk", "의자"}) {
    HttpTestClient client(server.Port());
    auto begin = std::chrono::steady_clock::now();
    auto res = client.Get(SearchPath(word, 100), {}, "GET", 5000);
    ASSERT_TRUE(res) << word;
    EXPECT_EQ(res->status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2)) << word;
  }
  // Stopping does not wait for any of them.
  EXPECT_LT(server.Stop(), std::chrono::seconds(1));
  for (auto& c : idle) EXPECT_TRUE(c->ClosedByPeer(2000));
}

TEST(CatalogueServerConnections, HalfSentRequestsAndIdleConnectionsTimeOut) {
  ServerConfig config;
  config.idleTimeoutSeconds = 1;
  config.requestTimeoutSeconds = 2;
  ServerUnderTest server(config);
  auto begin = std::chrono::steady_clock::now();
  auto half = OpenHalfRequests(server.Port(), 3);
  HttpTestClient kept(server.Port());
  ASSERT_TRUE(kept.Get(SearchPath("chair")));
  // A request that comes in pieces, whole within its time, is answered.
  HttpTestClient prompt(server.Port());
  ASSERT_TRUE(prompt.Connect());
  for (const char* piece : {"GET /search?key=", "x&query=a", "&target=shop HTTP/1.1\r\n"}) {
    ASSERT_TRUE(prompt.SendRaw(piece));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  ASSERT_TRUE(prompt.SendRaw("Host: x\r\n\r\n"));
  http_test::HttpReply reply;
  EXPECT_TRUE(prompt.ReadReply(reply, 2000));
  EXPECT_EQ(reply.status, 200);
  // One that trickles a byte now and then, never silent for the idle time,
  // runs out of time all the same, counted from when it was accepted.
  HttpTestClient slow(server.Port());
  ASSERT_TRUE(slow.Connect());
  const auto accepted = std::chrono::steady_clock::now();
  ASSERT_TRUE(slow.SendRaw("GET /search?key="));
  bool answered = false;
  while (!answered && std::chrono::steady_clock::now() - accepted < std::chrono::seconds(4)) {
    answered = slow.ReadReply(reply, 300);
    if (!answered) {
      ASSERT_TRUE(slow.SendRaw("a"));
    }
  }
  const auto held = std::chrono::steady_clock::now() - accepted;
  ASSERT_TRUE(answered) << "still open after 4 s";
  EXPECT_EQ(reply.status, 408);
  EXPECT_EQ(reply.Header("connection"), "close");
  EXPECT_GE(held, std::chrono::milliseconds(1900));
  EXPECT_LT(held, std::chrono::milliseconds(3000));
  for (auto& c : half) EXPECT_TRUE(c->ClosedByPeer(3000));
  EXPECT_TRUE(kept.ClosedByPeer(3000));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(6500));
}

// Past a limit a new client is turned away at once, and served again once a
// connection is gone: past the connection limit with a 503, past its
// address's limit unanswered, while other addresses are still served.
TEST(CatalogueServerConnections, PastALimitClientsAreTurnedAwayAtOnce) {
  struct Case {
    const char* what;
    int maxConnections;
    int maxPerAddress;
    int held;
    int status;  // 0: closed unanswered
    bool othersServed;
  } cases[] = {
      {"connection limit", 4, 0, 4, 503, false},
      {"address limit", 10000, 3, 3, 0, true},
  };
  for (const auto& c : cases) {
    ServerConfig config;
    config.maxConnections = c.maxConnections;
    config.maxConnectionsPerAddress = c.maxPerAddress;
    ServerUnderTest server(config);
    auto held = OpenHalfRequests(server.Port(), c.held);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all accepted
    HttpTestClient extra(server.Port());
    auto begin = std::chrono::steady_clock::now();
    auto res = extra.Get(SearchPath("chair"), {}, "GET", 5000);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1)) << c.what;
    if (c.status) {
      ASSERT_TRUE(res) << c.what;
      EXPECT_EQ(res->status, c.status) << c.what;
      EXPECT_EQ(res->Header("connection"), "close") << c.what;
    } else {
      EXPECT_FALSE(res) << c.what;
    }
    if (c.othersServed) {
      HttpTestClient elsewhere(server.Port(), "127.0.0.2");
      res = elsewhere.Get(SearchPath("chair"));
      ASSERT_TRUE(res) << c.what;
      EXPECT_EQ(res->status, 200) << c.what;
    }
    held.pop_back();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    HttpTestClient later(server.Port());
    res = later.Get(SearchPath("chair"));
    ASSERT_TRUE(res) << c.what;
    EXPECT_EQ(res->status, 200) << c.what;
  }
}

TEST(CatalogueServerConnections, RequiredHeaderGuardsSearchOnly) {
  CatalogueOptions options;
  options.requiredHeaders = {"X-Token: s3cret", "X-Team:  blue "};
  std::string error;
  auto catalogue = EmbeddedCatalogue::Start(options, &error);
  ASSERT_TRUE(catalogue) << error;
  HttpTestClient client(PortOf(catalogue->Endpoint()));
  struct Case {
    std::vector<std::string> headers;
    int status;
  } cases[] = {
      {{"X-Token: s3cret", "X-Team: blue"}, 200},
      {{"x-token: s3cret", "X-TEAM: blue"}, 200},  // names in any case
      {{"X-Token: S3cret", "X-Team: blue"}, 401},  // values exactly
      {{"X-Token: s3cret"}, 401},
      {{}, 401},
  };
  for (const auto& c : cases) {
    auto res = client.Get(SearchPath("chair"), c.headers);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status) << ::testing::PrintToString(c.headers);
    if (c.status == 401) {
      EXPECT_EQ(res->body, ErrorDocument({24, "Authentication failed"}));
    }
  }
  std::vector<Product> products;
  ASSERT_TRUE(LoadCatalogue("", products, error));
  EXPECT_EQ(client.Get("/shop/img/" + ImagePathFor(products[0].id))->status, 200);
  EXPECT_EQ(client.Get("/shop/product/" + std::to_string(products[0].id))->status, 200);

  options.requiredHeaders = {"no colon"};
  EXPECT_FALSE(EmbeddedCatalogue::Start(options, &error));
  EXPECT_NE(error.find("no colon"), std::string::npos) << error;
}

}  // namespace
}  // namespace quobble::catalogue
