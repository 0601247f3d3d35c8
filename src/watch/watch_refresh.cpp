#include "watch/watch_refresh.h"

#include <optional>

#include "platform/text.h"
#include "search/download.h"
#include "search/feed_reader.h"
#include "search/product_list.h"
#include "search/search_state.h"
#include "xml/xml_document.h"

namespace quobble {

namespace {

// A refresh asks for the best match of a title, as many as a page holds.
constexpr int32_t kLookupItems = 100;
constexpr std::u16string_view kLookupSort = u"sim";
// Never published: each answer is read from its own temporary file beside it.
constexpr std::u16string_view kAnswerName = u"WatchAnswer.xml";

// A screen for reading one answer: it keeps the rows and the messages and
// shows nothing.
class LookupScreen : public SilentScreen {
 public:
  explicit LookupScreen(MessageSink& messages) : messages_(messages) {}
  void ShowMessage(const std::u16string& text, const std::u16string& caption) override {
    messages_.ShowMessage(text, caption);
  }

 private:
  MessageSink& messages_;
};

class CollectedMessages : public MessageSink {
 public:
  void ShowMessage(const std::u16string& text, const std::u16string&) override {
    messages.push_back(Utf16ToUtf8(text));
  }
  std::vector<std::string> messages;
};

struct Reference {
  std::u16string_view name;
  char16_t character;
};
constexpr Reference kReferences[] = {
    {u"&amp;", u'&'}, {u"&lt;", u'<'}, {u"&gt;", u'>'}, {u"&quot;", u'"'}, {u"&apos;", u'\''},
};

// "&#NNN;" or "&#xHH;" at the start of `text`: the character and the length.
std::optional<std::pair<char32_t, size_t>> NumericReference(std::u16string_view text) {
  if (text.size() < 4 || text[1] != u'#') return std::nullopt;
  const bool hex = text[2] == u'x' || text[2] == u'X';
  char32_t value = 0;
  size_t i = hex ? 3 : 2;
  const size_t digits = i;
  for (; i < text.size() && i < digits + 8 && text[i] != u';'; ++i) {
    const char16_t c = text[i];
    int digit = -1;
    if (c >= u'0' && c <= u'9') digit = c - u'0';
    if (hex && c >= u'a' && c <= u'f') digit = c - u'a' + 10;
    if (hex && c >= u'A' && c <= u'F') digit = c - u'A' + 10;
    if (digit < 0) return std::nullopt;
    value = value * (hex ? 16 : 10) + static_cast<char32_t>(digit);
  }
  if (i == digits || i >= text.size() || text[i] != u';') return std::nullopt;
  if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
  return std::make_pair(value, i + 1);
}

// Reads the answer in `path` into `list`; false when it is not XML.
bool ReadAnswer(const std::u16string& path, SearchScreen& screen, ProductList& list) {
  XmlDocument document;
  if (document.parse_file(path.c_str(), KeepOptions) == 0) return false;
  SearchState state;
  // The feed reader keeps at most the page size asked for.
  state.pageSize = kLookupItems;
  ReadResultFeed(XmlNodeRef(document.root), state, screen, list);
  return true;
}

}  // namespace

std::u16string WatchQueryFor(std::u16string_view title) {
  std::u16string query;
  for (size_t i = 0; i < title.size();) {
    if (title[i] != u'&') {
      query += title[i++];
      continue;
    }
    const std::u16string_view rest = title.substr(i);
    bool replaced = false;
    for (const Reference& r : kReferences) {
      if (!rest.starts_with(r.name)) continue;
      query += r.character;
      i += r.name.size();
      replaced = true;
      break;
    }
    if (replaced) continue;
    if (const auto numeric = NumericReference(rest)) {
      AppendUtf16(numeric->first, query);
      i += numeric->second;
      continue;
    }
    query += title[i++];
  }
  return LimitQuery(query);
}

LookupResult LookUpPrice(HINTERNET session, std::u16string_view title, std::u16string_view link,
                         MessageSink& messages, const std::atomic<bool>* stop, PriceCheck& check) {
  const std::u16string query = WatchQueryFor(title);
  if (query.empty()) return LookupResult::kNotFound;
  const std::u16string url =
      BuildRequestUrl(PercentEncodeQuery(query), kLookupItems, 1, kLookupSort);
  const std::u16string target = std::u16string(kDataFolder) + std::u16string(kAnswerName);
  // A failure shows as the download's own message.
  (void)CreateFolderPath(kDataFolder);
  FileDownload download(session, target, url, messages);
  download.SetRequestHeaders(ServiceHeaders());
  if (download.Fetch(1, {}, stop) == 0) return LookupResult::kFailed;

  LookupScreen screen(messages);
  ProductList list(screen, std::u16string(kDataFolder));
  if (!ReadAnswer(download.TemporaryPath(), screen, list)) {
    messages.ShowMessage(u"Invalid XML File (parse_file failed).", u"Error");
    return LookupResult::kFailed;
  }
  for (size_t i = 0; i < list.RecordCount(); ++i) {
    const ProductRecord* record = list.RecordAt(i);
    if (record->link != link) continue;
    check.found = true;
    check.lowPrice = record->lowPrice;
    check.highPrice = record->highPrice;
    return LookupResult::kFound;
  }
  check.found = false;
  check.lowPrice = check.highPrice = 0;
  return LookupResult::kNotFound;
}

namespace {

bool Stopped(const RefreshOptions& options) {
  return options.stop != nullptr && options.stop->load();
}

void Fail(RefreshReport& report, std::string message) {
  report.failed = true;
  report.messages.push_back(std::move(message));
}

// Checks one product and keeps the check; false when the refresh must end.
bool RefreshOne(const WatchedProduct& product, HINTERNET session, WatchStore& store,
                const RefreshOptions& options, RefreshReport& report) {
  CollectedMessages messages;
  PriceCheck check;
  const LookupResult result =
      LookUpPrice(session, product.title, product.link, messages, options.stop, check);
  if (Stopped(options)) {
    report.stopped = true;
    return false;
  }
  if (result == LookupResult::kFailed) {
    report.failed = true;
    report.messages.insert(report.messages.end(), messages.messages.begin(),
                           messages.messages.end());
    return false;
  }
  check.time = options.clock();
  CheckOutcome outcome;
  std::string error;
  if (!store.Record(product.id, check, outcome, error)) {
    Fail(report, error);
    return false;
  }
  ++report.checked;
  report.outcomes.push_back(std::move(outcome));
  return true;
}

}  // namespace

RefreshReport RefreshWatchedProducts(const RefreshOptions& options) {
  RefreshReport report;
  std::string error;
  std::unique_ptr<WatchStore> store = WatchStore::Open(error);
  std::vector<WatchedProduct> products;
  if (!store || !store->List(products, error)) {
    Fail(report, error);
    return report;
  }
  report.total = products.size();
  if (products.empty()) return report;
  const InternetSession session(kInternetAgent, options.stop);
  if (session.get() == nullptr) {
    Fail(report, "InternetOpen Failed");
    return report;
  }
  for (size_t i = 0; i < products.size(); ++i) {
    if (Stopped(options)) {
      report.stopped = true;
      break;
    }
    if (!RefreshOne(products[i], session.get(), *store, options, report)) break;
    if (options.progress) options.progress(i + 1, products.size());
  }
  return report;
}

}  // namespace quobble
