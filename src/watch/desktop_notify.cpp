#include "watch/desktop_notify.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>
#include <memory>

#include "platform/text.h"

namespace quobble {

namespace {

constexpr int kCallTimeoutMs = 3000;

std::string Price(int32_t value) {
  return Utf16ToUtf8(FormatThousands(value));
}

}  // namespace

bool NotifyDesktop(const std::string& summary, const std::string& body) {
  // The terminal client has no Qt application of its own; D-Bus wants one.
  static std::unique_ptr<QCoreApplication> app;
  if (QCoreApplication::instance() == nullptr) {
    static int argc = 1;
    static char name[] = "quobble-cli";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"),
      QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  call << QStringLiteral("quobble") << 0u << QStringLiteral("quobble")
       << QString::fromStdString(summary) << QString::fromStdString(body) << QStringList()
       << QVariantMap() << -1;
  const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
  return reply.type() == QDBusMessage::ReplyMessage;
}

std::pair<std::string, std::string> AlertNotice(const CheckOutcome& outcome) {
  const std::string title = Utf16ToUtf8(outcome.title);
  const std::string now = Price(outcome.check.lowPrice);
  switch (outcome.alert) {
    case AlertKind::kDrop:
      return {"Price drop: " + now,
              title + "\n" + Price(outcome.previousLowPrice) + " \u2192 " + now};
    case AlertKind::kTargetReached:
      return {"Target price reached: " + now, title};
    default:
      return {};
  }
}

int NotifyAlerts(const std::vector<CheckOutcome>& outcomes) {
  int sent = 0;
  for (const CheckOutcome& outcome : outcomes) {
    const auto [summary, body] = AlertNotice(outcome);
    if (summary.empty()) continue;
    if (!NotifyDesktop(summary, body)) break;  // nobody listens: stay silent
    ++sent;
  }
  return sent;
}

}  // namespace quobble
