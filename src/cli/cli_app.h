#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_output.h"
#include "cli/cli_screen.h"
#include "cli/main_loop.h"
#include "search/product_list.h"
#include "search/search_state.h"
#include "startup/client_options.h"

namespace quobble {

struct CliOptions {
  enum class Mode {
    Search,
    Interactive,
    WishAdd,
    WishList,
    WishRemove,
    WatchAdd,
    WatchList,
    WatchRefresh,
    WatchHistory,
    WatchRemove,
  };
  Mode mode = Mode::Interactive;
  ClientSettings client;  // --root, --endpoint, --header, --headers-file
  std::string sort = "sim";
  int display = 10;
  int32_t start = 1;
  bool json = false;
  bool thumbnails = true;
  std::string query;       // the search, or the wish-list text
  int64_t id = 0;          // the row or product a verb acts on
  int productIndex = 1;    // watch add: the Nth product of the page
  int32_t target = -1;     // --target: the price to alert at; -1: none
  bool anyChange = false;  // --any-change
  bool notify = false;     // --notify
  bool csv = false;        // --csv

  // Whether the mode asks the search service.
  bool NeedsService() const {
    return mode == Mode::Search || mode == Mode::Interactive || mode == Mode::WatchAdd ||
           mode == Mode::WatchRefresh;
  }
};

// Parses the command line (argv[0] excluded) into `options`. -1 to go on;
// else the exit code: 0 after --help or --version (answered on `out`), 2
// after a usage mistake (reported on `err`).
int ParseCliArguments(const std::vector<std::string>& args, CliOptions& options, std::ostream& out,
                      std::ostream& err);
std::string CliUsage();

// The terminal client on the main thread: a search screen, the search state
// and the page's list, driven one-shot or by commands.
class CliApp {
 public:
  CliApp(const CliOptions& options, std::ostream& out, std::ostream& err, bool progressBar);
  // Stops the worker (aborting its download) and waits for it.
  ~CliApp();
  CliApp(const CliApp&) = delete;
  CliApp& operator=(const CliApp&) = delete;

  // Creates the data folder; false (and says why on `err`) when it cannot.
  bool Prepare();
  // SIGINT or SIGTERM (platform/stop_signals.h, when installed) ends each of
  // these early with 128 + the signal; the destructor then stops the worker,
  // and no partial file stays.
  // One search with the options, then waits for its thumbnails. Exit code.
  int RunOnce();
  // Commands from `fd`, one a line, each in its turn until "quit" or the end
  // of the input: a command that must wait for the worker to stop holds the
  // ones after it back. At the end the last page's thumbnails are fetched.
  int RunInteractive(int fd, bool prompt);
  // "wish add TEXT" / "wish list" / "wish remove ID". Exit code.
  int RunWish();
  // "watch ...". Exit code.
  int RunWatch();

  // One command line; false when it asks to quit.
  bool Execute(const std::string& line);
  // Serves the worker's calls and the retry timer once, waiting at most
  // `timeoutMs` (and less when the timer is due sooner) for something to do.
  // True when `fd` is readable.
  bool Pump(int fd, int timeoutMs);
  // Until the worker is done and no command waits for it, or a stop signal
  // came.
  void Settle();
  // 128 + the stop signal once one came, else -1.
  static int StopExitCode();

  const SearchState& state() const { return state_; }
  const CliScreen& screen() const { return screen_; }
  const ProductList& list() const { return *list_; }
  PageView Page(int result) const;
  // Searches that read an answer, deferred ones included.
  int searchesShown() const { return searchesShown_; }

 private:
  // Runs a paging command (or the retry tick) and shows the page it read.
  void Paging(int commandId);
  // Reads what `fd` has into whole lines queued for their turn; false at the
  // end of the input.
  bool ReadInput(int fd);
  // Runs queued lines until one must wait; false when one was "quit".
  bool RunQueued();
  void SortCommandLine(const std::string& key);
  void DisplayCommandLine(const std::string& size);
  void WishCommandLine(const std::string& rest);
  int WatchAdd();
  void Tick();
  void ShowPage(int result);
  void Say(const std::string& text);

  CliOptions options_;
  std::ostream& out_;
  std::ostream& err_;
  MainLoop loop_;
  CliScreen screen_;
  SearchState state_;
  std::unique_ptr<ProductList> list_;
  std::string pendingInput_;
  std::deque<std::string> queued_;
  int searchesShown_ = 0;
};

}  // namespace quobble
