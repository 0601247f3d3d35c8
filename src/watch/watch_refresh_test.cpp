#include "watch/watch_refresh.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "catalogue/catalogue_data.h"
#include "catalogue/embedded_catalogue.h"
#include "catalogue/price_days.h"
#include "platform/text.h"
#include "search/search_state.h"
#include "search/service.h"
#include "tests/support/temp_root.h"

namespace quobble {
namespace {

using catalogue::Product;
using ::testing::HasSubstr;

constexpr int64_t kDay = 86400;

// The bundled catalogue as the service offers it on `day`.
std::vector<Product> CatalogueOn(int64_t day) {
  std::vector<Product> products;
  std::string error;
  EXPECT_TRUE(catalogue::LoadCatalogue("", products, error)) << error;
  catalogue::ApplyCatalogueDay(products, day);
  return products;
}

std::optional<Product> Find(const std::vector<Product>& products, int64_t id) {
  for (const Product& p : products)
    if (p.id == id) return p;
  return std::nullopt;
}

// Titles whose words the answer carries unchanged.
bool PlainTitle(const std::string& title) {
  return title.find_first_of("&<>\"'") == std::string::npos;
}

class WatchRefreshTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(catalogue::ParseCatalogueDay("2026-03-01", first_));
    // Two products of the first day: one whose price drops the next day, one
    // that is missing then.
    const auto today = CatalogueOn(first_), tomorrow = CatalogueOn(first_ + 1);
    for (const Product& p : today) {
      if (!PlainTitle(p.title)) continue;
      const auto next = Find(tomorrow, p.id);
      if (!drop_ && next && next->lowPrice < p.lowPrice) drop_ = p;
      if (!gone_ && !next) gone_ = p;
    }
    ASSERT_TRUE(drop_ && gone_);
  }
  void TearDown() override { SetServiceEndpoint(u""); }

  void ServeDay(int64_t day) {
    catalogue_.reset();
    CatalogueOptions options;
    options.atHome = true;
    options.date = catalogue::CatalogueDayText(day);
    std::string error;
    catalogue_ = EmbeddedCatalogue::Start(options, &error);
    ASSERT_TRUE(catalogue_) << error;
    SetServiceEndpoint(Utf8ToUtf16(catalogue_->Endpoint()));
  }
  static std::u16string LinkOf(const Product& p) {
    return Utf8ToUtf16(std::string(kCatalogueHome) + "/shop/product/" + std::to_string(p.id));
  }
  void Watch(const Product& p) {
    std::string error;
    auto store = WatchStore::Open(error);
    ASSERT_TRUE(store) << error;
    WatchStore::NewProduct product;
    product.link = LinkOf(p);
    product.title = Utf8ToUtf16(p.title);
    product.lowPrice = static_cast<int32_t>(p.lowPrice);
    int64_t id = 0;
    ASSERT_EQ(store->Add(product, first_ * kDay, id, error), WatchStore::AddResult::kAdded);
  }

  TempRoot root_;
  int64_t first_ = 0;
  std::optional<Product> drop_, gone_;
  std::unique_ptr<EmbeddedCatalogue> catalogue_;
};

TEST_F(WatchRefreshTest, ANextDayFindsTheDropAndTheMissingProduct) {
  ServeDay(first_);
  Watch(*drop_);
  Watch(*gone_);
  RefreshOptions options;
  options.clock = [&] { return (first_ + 1) * kDay; };
  const RefreshReport same = RefreshWatchedProducts(options);
  ASSERT_EQ(same.checked, 2u) << (same.messages.empty() ? "" : same.messages[0]);
  EXPECT_FALSE(same.outcomes[0].Changed());
  EXPECT_FALSE(same.outcomes[1].Changed());

  ServeDay(first_ + 1);
  size_t progressCalls = 0;
  options.progress = [&](size_t done, size_t total) {
    EXPECT_EQ(done, ++progressCalls);
    EXPECT_EQ(total, 2u);
  };
  const RefreshReport next = RefreshWatchedProducts(options);
  EXPECT_FALSE(next.failed);
  ASSERT_EQ(next.outcomes.size(), 2u);
  EXPECT_EQ(progressCalls, 2u);
  const CheckOutcome& dropped = next.outcomes[0];
  EXPECT_EQ(dropped.alert, AlertKind::kDrop);
  EXPECT_EQ(dropped.previousLowPrice, drop_->lowPrice);
  EXPECT_EQ(dropped.check.lowPrice, Find(CatalogueOn(first_ + 1), drop_->id)->lowPrice);
  EXPECT_FALSE(next.outcomes[1].check.found);
  EXPECT_TRUE(next.outcomes[1].Changed());

  std::string error;
  std::vector<PriceCheck> history;
  ASSERT_TRUE(WatchStore::Open(error)->History(2, history, error));
  ASSERT_EQ(history.size(), 3u);
  EXPECT_TRUE(history[1].found);
  EXPECT_FALSE(history[2].found);
  EXPECT_EQ(history[2].time, (first_ + 1) * kDay);
}

// The built-in catalogue's home port may be held (by a second client, or by
// whatever else runs here): the link must not change with the port.
TEST_F(WatchRefreshTest, TwoCataloguesAtOnceGiveTheSameLink) {
  ServeDay(first_);
  CatalogueOptions options;
  options.atHome = true;
  options.date = catalogue::CatalogueDayText(first_);
  const auto second = EmbeddedCatalogue::Start(options);
  ASSERT_TRUE(second);
  ASSERT_NE(second->Endpoint(), catalogue_->Endpoint());
  for (const std::string& endpoint : {catalogue_->Endpoint(), second->Endpoint()}) {
    SetServiceEndpoint(Utf8ToUtf16(endpoint));
    const HINTERNET session = InternetOpenW(kInternetAgent, 0, nullptr, nullptr, 0);
    class Sink : public MessageSink {
      void ShowMessage(const std::u16string& text, const std::u16string&) override {
        ADD_FAILURE() << Utf16ToUtf8(text);
      }
    } sink;
    PriceCheck check;
    EXPECT_EQ(LookUpPrice(session, Utf8ToUtf16(drop_->title), LinkOf(*drop_), sink, nullptr, check),
              LookupResult::kFound)
        << endpoint;
    EXPECT_EQ(check.lowPrice, drop_->lowPrice);
    InternetCloseHandle(session);
  }
}

TEST_F(WatchRefreshTest, AStopOrAFailedServiceKeepsNothingMore) {
  Watch(*drop_);
  std::atomic<bool> stop{true};
  RefreshOptions options;
  options.stop = &stop;
  SetServiceEndpoint(u"http://127.0.0.1:1");
  RefreshReport report = RefreshWatchedProducts(options);
  EXPECT_TRUE(report.stopped);
  EXPECT_EQ(report.checked, 0u);

  stop = false;
  report = RefreshWatchedProducts(options);
  EXPECT_TRUE(report.failed);
  EXPECT_EQ(report.checked, 0u);
  ASSERT_FALSE(report.messages.empty());
  EXPECT_THAT(report.messages[0], HasSubstr("[DownloadFile]"));
  std::string error;
  std::vector<PriceCheck> history;
  ASSERT_TRUE(WatchStore::Open(error)->History(1, history, error));
  EXPECT_EQ(history.size(), 1u);
}

TEST(WatchQuery, ReferencesInATitleBecomeCharactersAgain) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"Box &gt; 270 &amp; 폭 &lt; 110", u"Box > 270 & 폭 < 110"},
      {u"&#65;&#x42;&#x1F45F; &#0; &#xD800; &bogus; &", u"AB\U0001F45F &#0; &#xD800; &bogus; &"},
      {std::u16string(200, u'a'), std::u16string(127, u'a')},
  };
  for (const auto& [title, query] : cases) EXPECT_EQ(WatchQueryFor(title), query);
}

}  // namespace
}  // namespace quobble
