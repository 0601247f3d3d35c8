#include "watch/desktop_notify.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QThread>
#include <QVariantMap>
#include <cstdlib>
#include <mutex>

namespace quobble {

// A stand-in notification service on its own connection and thread, so that
// the client's blocking call is answered.
class FakeNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  std::mutex mutex;
  QStringList summaries;

 public slots:
  uint Notify(const QString&, uint, const QString&, const QString& summary, const QString&,
              const QStringList&, const QVariantMap&, int) {
    std::lock_guard lock(mutex);
    summaries << summary;
    return static_cast<uint>(summaries.size());
  }
};

namespace {

CheckOutcome Outcome(AlertKind alert, int32_t from, int32_t to) {
  CheckOutcome o;
  o.title = u"Desk lamp";
  o.check.found = true;
  o.check.lowPrice = to;
  o.hadPrice = true;
  o.previousLowPrice = from;
  o.alert = alert;
  return o;
}

TEST(DesktopNotify, EachDropIsSentAndNothingElse) {
  // Only on a bus of its own: the user's may have a real notification service.
  if (std::getenv("QUOBBLE_PRIVATE_BUS") == nullptr) GTEST_SKIP() << "no private session bus";
  int argc = 1;
  char name[] = "desktop_notify_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  QThread thread;
  thread.start();
  FakeNotifications fake;
  fake.moveToThread(&thread);
  QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake");
  ASSERT_TRUE(
      bus.registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(bus.registerService("org.freedesktop.Notifications"));

  const std::vector<CheckOutcome> outcomes = {
      Outcome(AlertKind::kDrop, 1000, 900), Outcome(AlertKind::kRise, 900, 950),
      Outcome(AlertKind::kNone, 950, 950), Outcome(AlertKind::kTargetReached, 950, 800)};
  EXPECT_EQ(NotifyAlerts(outcomes), 2);
  {
    std::lock_guard lock(fake.mutex);
    EXPECT_EQ(fake.summaries, (QStringList{"Price drop: 900", "Target price reached: 800"}));
  }
  bus.unregisterService("org.freedesktop.Notifications");
  // Nobody serves the name now: silent, nothing sent.
  EXPECT_EQ(NotifyAlerts(outcomes), 0);
  thread.quit();
  thread.wait();
  QDBusConnection::disconnectFromBus("fake");
}

}  // namespace
}  // namespace quobble

#include "desktop_notify_test.moc"
