#include "cli/cli_watch.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "cli/cli_output.h"
#include "platform/stop_signals.h"
#include "platform/text.h"
#include "watch/desktop_notify.h"
#include "wishlist/wish_list.h"

namespace quobble {

namespace {

std::string Price(int32_t value) {
  return Utf16ToUtf8(FormatThousands(value));
}

std::string PriceOrNull(bool known, int32_t value) {
  return known ? std::to_string(value) : "null";
}

const char* AlertName(AlertKind alert) {
  switch (alert) {
    case AlertKind::kDrop:
      return "drop";
    case AlertKind::kRise:
      return "rise";
    case AlertKind::kTargetReached:
      return "target";
    default:
      return "none";
  }
}

// "-1,900 (-9.8%)" from `from` to `to`.
std::string Difference(int32_t from, int32_t to) {
  const int64_t delta = int64_t{to} - from;
  char percent[32] = "";
  if (from != 0)
    std::snprintf(percent, sizeof percent, " (%+.1f%%)", 100.0 * static_cast<double>(delta) / from);
  const std::string amount = Price(static_cast<int32_t>(delta < 0 ? -delta : delta));
  return (delta < 0 ? "-" : "+") + amount + percent;
}

std::unique_ptr<WatchStore> OpenStore(std::ostream& err) {
  std::string error;
  auto store = WatchStore::Open(error);
  if (!store) err << "quobble-cli: " << error << '\n';
  return store;
}

void ListJson(std::string& out, const WatchedProduct& p) {
  const bool lastFound = p.last.found;
  out += "{\"id\":" + std::to_string(p.id) + ",\"title\":" + JsonString(p.title) +
         ",\"link\":" + JsonString(p.link) + ",\"image\":" + JsonString(p.imageUrl) +
         ",\"firstPrice\":" + std::to_string(p.added.lowPrice) +
         ",\"lastPrice\":" + PriceOrNull(lastFound, p.last.lowPrice) +
         ",\"lastSeenPrice\":" + std::to_string(p.lastLowPrice) +
         ",\"lowestPrice\":" + std::to_string(p.lowestSeen) + ",\"lastChecked\":\"" +
         IsoTime(p.last.time) + "\",\"found\":" + (lastFound ? "true" : "false") + ",\"alert\":\"" +
         AlertRuleName(p.rule) +
         "\",\"targetPrice\":" + PriceOrNull(p.rule == AlertRule::kTarget, p.targetPrice) + "}";
}

void ListText(std::string& out, const WatchedProduct& p) {
  out += std::to_string(p.id) + '\t' + Price(p.added.lowPrice) + '\t' +
         (p.last.found ? Price(p.last.lowPrice) : "not found") + '\t' + Price(p.lowestSeen) + '\t' +
         IsoTime(p.last.time) + '\t' + TerminalText(p.title) + '\t' + TerminalText(p.link) + '\n';
}

void RefreshJson(std::string& out, const CheckOutcome& o) {
  out += "{\"id\":" + std::to_string(o.id) + ",\"title\":" + JsonString(o.title) +
         ",\"link\":" + JsonString(o.link) + ",\"checkedAt\":\"" + IsoTime(o.check.time) +
         "\",\"found\":" + (o.check.found ? "true" : "false") +
         ",\"lowPrice\":" + PriceOrNull(o.check.found, o.check.lowPrice) +
         ",\"highPrice\":" + PriceOrNull(o.check.found, o.check.highPrice) +
         ",\"previousLowPrice\":" + PriceOrNull(o.hadPrice, o.previousLowPrice) +
         ",\"changed\":" + (o.Changed() ? "true" : "false") + ",\"alert\":\"" + AlertName(o.alert) +
         "\"}";
}

void RefreshText(std::string& out, const CheckOutcome& o) {
  if (!o.Changed()) return;
  out += std::to_string(o.id) + '\t';
  if (!o.check.found) {
    out += "not found";
  } else if (!o.hadPrice) {
    out += Price(o.check.lowPrice);
  } else {
    const bool down = o.check.lowPrice < o.previousLowPrice;
    const bool up = o.check.lowPrice > o.previousLowPrice;
    out += Price(o.previousLowPrice) + " -> " + Price(o.check.lowPrice);
    if (down || up)
      out += std::string(" ") + (down ? "\u25BC " : "\u25B2 ") +
             Difference(o.previousLowPrice, o.check.lowPrice);
  }
  if (o.alert == AlertKind::kTargetReached) out += " (target reached)";
  out += '\t' + TerminalText(o.title) + '\n';
}

template <typename T, typename Render>
std::string JsonArray(const std::vector<T>& items, Render render) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    render(out, items[i]);
  }
  return out + "]\n";
}

}  // namespace

std::string RenderWatchList(const std::vector<WatchedProduct>& products, bool json) {
  if (json) return JsonArray(products, ListJson);
  std::string out = "ID\tFIRST\tLAST\tLOWEST\tCHECKED\tTITLE\tLINK\n";
  for (const WatchedProduct& p : products) ListText(out, p);
  return out;
}

std::string RenderRefresh(const std::vector<CheckOutcome>& outcomes, bool json) {
  if (json) return JsonArray(outcomes, RefreshJson);
  std::string out;
  for (const CheckOutcome& o : outcomes) RefreshText(out, o);
  return out;
}

std::string RenderHistory(const std::vector<PriceCheck>& history, bool csv) {
  std::string out = csv ? "checked_at,found,low_price,high_price\n" : "";
  for (const PriceCheck& c : history) {
    if (csv) {
      out += IsoTime(c.time) +
             (c.found ? ",yes," + std::to_string(c.lowPrice) + ',' + std::to_string(c.highPrice)
                      : std::string(",no,,"));
    } else {
      out += IsoTime(c.time) + '\t' +
             (c.found ? Price(c.lowPrice) + '\t' + Price(c.highPrice) : std::string("not found"));
    }
    out += '\n';
  }
  return out;
}

int RunWatchList(bool json, std::ostream& out, std::ostream& err) {
  auto store = OpenStore(err);
  std::vector<WatchedProduct> products;
  std::string error;
  if (!store) return 1;
  if (!store->List(products, error)) {
    err << "quobble-cli: " << error << '\n';
    return 1;
  }
  out << RenderWatchList(products, json) << std::flush;
  return 0;
}

int RunWatchRefresh(bool json, bool notify, std::ostream& out, std::ostream& err) {
  std::atomic<bool> stop{false};
  RefreshOptions options;
  options.stop = &stop;
  // A stop signal aborts the download in flight by itself; this ends the rest.
  options.progress = [&stop](size_t, size_t) {
    if (StopSignal() != 0) stop = true;
  };
  const RefreshReport report = RefreshWatchedProducts(options);
  if (StopSignal() != 0) return 128 + StopSignal();
  out << RenderRefresh(report.outcomes, json) << std::flush;
  if (notify) NotifyAlerts(report.outcomes);
  for (const std::string& message : report.messages) err << "quobble-cli: " << message << '\n';
  if (!report.failed) return 0;
  err << "quobble-cli: " << report.checked << " of " << report.total
      << " watched products checked\n";
  return 1;
}

int RunWatchHistory(int64_t id, bool csv, std::ostream& out, std::ostream& err) {
  auto store = OpenStore(err);
  std::vector<PriceCheck> history;
  std::string error;
  if (!store) return 1;
  if (!store->History(id, history, error)) {
    err << "quobble-cli: " << error << '\n';
    return 1;
  }
  out << RenderHistory(history, csv) << std::flush;
  return 0;
}

int RunWatchRemove(int64_t id, std::ostream&, std::ostream& err) {
  auto store = OpenStore(err);
  bool removed = false;
  std::string error;
  if (!store) return 1;
  if (!store->Remove(id, removed, error)) {
    err << "quobble-cli: " << error << '\n';
    return 1;
  }
  if (removed) return 0;
  err << "quobble-cli: no watched product has the ID " << id << '\n';
  return 1;
}

int RunWishRemove(int64_t id, std::ostream&, std::ostream& err) {
  const int result = RemoveFromWishList(id);
  if (result == -1) err << "quobble-cli: no wish-list row has the ID " << id << '\n';
  return result == 0 ? 0 : 1;
}

}  // namespace quobble
