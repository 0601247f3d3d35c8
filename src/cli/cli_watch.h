#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "watch/watch_refresh.h"
#include "watch/watch_store.h"

namespace quobble {

// The terminal client's price-watch and wish-list verbs that need no search.
// Each returns the exit status: 0 done, 1 failed (said on `err`).

int RunWatchList(bool json, std::ostream& out, std::ostream& err);
// Checks every watched product now and prints what changed (every check
// with --json). 1 when the service failed and some were not checked.
int RunWatchRefresh(bool json, bool notify, std::ostream& out, std::ostream& err);
int RunWatchHistory(int64_t id, bool csv, std::ostream& out, std::ostream& err);
int RunWatchRemove(int64_t id, std::ostream& out, std::ostream& err);
int RunWishRemove(int64_t id, std::ostream& out, std::ostream& err);

// The forms each verb prints, apart from the database, for tests.
std::string RenderWatchList(const std::vector<WatchedProduct>& products, bool json);
std::string RenderRefresh(const std::vector<CheckOutcome>& outcomes, bool json);
std::string RenderHistory(const std::vector<PriceCheck>& history, bool csv);

}  // namespace quobble
