#include "ui/watch_window.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QLabel>
#include <QLineSeries>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "search/service.h"
#include "tests/support/temp_root.h"
#include "ui/ui_test_env.h"

namespace quobble {
namespace {

using ::testing::HasSubstr;

PriceCheck Seen(int64_t time, int32_t low) {
  return PriceCheck{time, true, low, 0};
}
PriceCheck Missing(int64_t time) {
  return PriceCheck{time, false, 0, 0};
}

TEST(WatchChart, NotFoundDaysAreGapsAndNoPointIsInvented) {
  const std::vector<PriceCheck> history = {Seen(86400, 1000), Seen(2 * 86400, 900),
                                           Missing(3 * 86400), Missing(4 * 86400),
                                           Seen(5 * 86400, 950)};
  const auto runs = HistoryRuns(history);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0], (std::vector<QPointF>{{86400e3, 1000}, {2 * 86400e3, 900}}));
  EXPECT_EQ(runs[1], (std::vector<QPointF>{{5 * 86400e3, 950}}));
  EXPECT_TRUE(HistoryRuns({Missing(1)}).empty());
}

TEST(WatchChart, ChangeIsSignedBeyondColour) {
  int direction = 0;
  EXPECT_EQ(ChangeText(10070, 7950, &direction), QStringLiteral("\u25BC 2,120 (-21.1%)"));
  EXPECT_EQ(direction, -1);
  EXPECT_EQ(ChangeText(1000, 1100, &direction), QStringLiteral("\u25B2 100 (+10.0%)"));
  EXPECT_EQ(direction, 1);
  EXPECT_EQ(ChangeText(5, 5, &direction), QStringLiteral("\u2013"));
  EXPECT_EQ(direction, 0);
}

class WatchWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto store = WatchStore::Open(error);
    ASSERT_TRUE(store) << error;
    WatchStore::NewProduct p;
    p.link = u"http://shop/product/1";
    p.title = u"Desk lamp";
    p.lowPrice = 1000;
    int64_t id = 0;
    ASSERT_EQ(store->Add(p, 86400, id, error), WatchStore::AddResult::kAdded);
    CheckOutcome outcome;
    ASSERT_TRUE(store->Record(id, Seen(2 * 86400, 800), outcome, error));
    ASSERT_TRUE(store->Record(id, Missing(3 * 86400), outcome, error));
  }
  TempRoot root_;
};

TEST_F(WatchWindowTest, ARowShowsTheDropAndTheChartItsHistory) {
  WatchWindow window;
  window.show();
  ASSERT_EQ(window.Table()->rowCount(), 1);
  EXPECT_EQ(window.Table()->item(0, 0)->text(), QStringLiteral("Desk lamp"));
  EXPECT_EQ(window.Table()->item(0, 1)->text(), QStringLiteral("not found"));
  EXPECT_EQ(window.Table()->item(0, 2)->text(), QStringLiteral("\u25BC 200 (-20.0%)"));
  EXPECT_EQ(window.Table()->item(0, 2)->data(Qt::AccessibleTextRole).toString(),
            QStringLiteral("Down since added: 200 (-20.0%)"));
  // One run of two points; the missing day is a gap.
  const auto series = window.Chart()->chart()->series();
  ASSERT_EQ(series.size(), 1);
  EXPECT_EQ(static_cast<QLineSeries*>(series[0])->count(), 2);
  EXPECT_THAT(window.Chart()->accessibleDescription().toStdString(), HasSubstr("3 checks"));
}

TEST_F(WatchWindowTest, EveryControlHasASpokenNameAndRemoveEmptiesTheList) {
  WatchWindow window;
  window.show();
  for (QWidget* control : std::initializer_list<QWidget*>{
           window.Table(), window.Chart(), window.RefreshButton(), window.RemoveButton(),
           window.OpenButton(), window.Status(), window.Progress()}) {
    EXPECT_FALSE(QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty())
        << control->metaObject()->className();
  }
  // Delete on the list removes the selected product.
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  window.Table()->setFocus();
  QTest::keyClick(window.Table(), Qt::Key_Delete);
  EXPECT_EQ(window.Table()->rowCount(), 0);
  EXPECT_THAT(window.Status()->text().toStdString(), HasSubstr("Removed"));
}

// A loopback service that takes connections and never answers.
class SilentService {
 public:
  SilentService() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(fd_, 8);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~SilentService() { ::close(fd_); }
  std::u16string Endpoint() const {
    const std::string text = "http://127.0.0.1:" + std::to_string(port_);
    return std::u16string(text.begin(), text.end());
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Against a service that never answers, Esc stops the refresh at once and
// the window stays usable.
TEST_F(WatchWindowTest, EscStopsARefreshInFlight) {
  SilentService silent;
  SetServiceEndpoint(silent.Endpoint());
  WatchWindow window;
  window.show();
  window.StartRefresh();
  ASSERT_TRUE(window.Refreshing());
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_TRUE(ProcessEventsUntil([&] { return !window.Refreshing(); }, 5000));
  EXPECT_TRUE(window.RefreshButton()->isEnabled());
  EXPECT_THAT(window.Status()->text().toStdString(), HasSubstr("stopped"));
  SetServiceEndpoint(u"");
}

}  // namespace
}  // namespace quobble
