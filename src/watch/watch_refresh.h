#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/internet.h"
#include "search/search_screen.h"
#include "watch/watch_store.h"

namespace quobble {

// The query that finds a product again: its title, with the references the
// answer left in it ("&amp;", "&gt;", ...) turned back into characters.
std::u16string WatchQueryFor(std::u16string_view title);

enum class LookupResult { kFound, kNotFound, kFailed };

// Asks the service for `title` (similarity order, 100 items) through the
// search's own request URL, download and feed reader, and looks for the item
// whose link is `link`. kFailed when the service could not be asked or its
// answer read (what went wrong went to `messages`); `check` gets the prices
// when found. `session` may carry an abort flag; `stop` ends the download.
LookupResult LookUpPrice(HINTERNET session, std::u16string_view title, std::u16string_view link,
                         MessageSink& messages, const std::atomic<bool>* stop, PriceCheck& check);

struct RefreshReport {
  size_t total = 0;      // products watched
  size_t checked = 0;    // products whose check was kept
  bool failed = false;   // the service or the database failed; the rest was not checked
  bool stopped = false;  // asked to stop before the end
  std::vector<std::string> messages;   // what went wrong, for the user
  std::vector<CheckOutcome> outcomes;  // every check kept, in order
};

struct RefreshOptions {
  // Raised from any thread: the download in flight is aborted, nothing more
  // is checked.
  const std::atomic<bool>* stop = nullptr;
  // After each product: (products done, products in all). On the refreshing
  // thread.
  std::function<void(size_t, size_t)> progress;
  // The time each check is kept under.
  std::function<int64_t()> clock = UtcNow;
};

// Checks every watched product's price now, one request at a time, and keeps
// each check as it comes, so a stopped refresh keeps what it found. Runs on
// the calling thread (a worker, in the app); opens its own connection to the
// database. Stops at the first failure of the service.
RefreshReport RefreshWatchedProducts(const RefreshOptions& options);

}  // namespace quobble
