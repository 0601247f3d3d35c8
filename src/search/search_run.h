#pragma once
#include <cstdint>

#include "search/product_list.h"
#include "search/search_screen.h"
#include "search/search_state.h"

namespace quobble {

// What came of a search, for callers that show pages themselves.
enum class SearchOutcome {
  kNone,      // no search ran
  kShown,     // an answer was read and the page filled
  kDeferred,  // the worker still ran: the retry timer runs the search again
  kFailed,    // refused, failed or stopped; the user has been told why,
              // unless they stopped it themselves
};

// One search, on the UI thread: 0 when an answer was read, -1 when nothing
// was shown (deferred, refused, failed or stopped; the user has been told
// why, except when deferred or stopped). Its steps run here in their order;
// only the wait for the answer goes through the screen's AwaitWork, which
// may keep a window alive meanwhile. `outcome`, when given, tells which.
int RunSearch(SearchScreen& screen, SearchState& state, ProductList& list, int32_t start,
              SearchOutcome* outcome = nullptr);

// The one entry point every screen uses for ID_SEARCH, ID_PREV_PAGE and
// ID_NEXT_PAGE: records the command in pendingCommand and runs the search.
// Returns RunSearch's result for ID_SEARCH, 0 for the others and for ids it
// does not know.
int RunPagingCommand(SearchScreen& screen, SearchState& state, ProductList& list, int commandId,
                     SearchOutcome* outcome = nullptr);

// A timer tick. ID_RETRY_TIMER re-runs the pending command once the worker
// has stopped; any other id only stops that timer (the screen's job: the
// function returns false for ids it does not own).
bool RunTimerTick(SearchScreen& screen, SearchState& state, ProductList& list, int timerId,
                  SearchOutcome* outcome = nullptr);

}  // namespace quobble
