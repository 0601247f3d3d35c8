#include "cli/cli_app.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/device_fs.h"
#include "platform/text.h"
#include "search/commands.h"
#include "search/search_run.h"
#include "wishlist/wish_list.h"

namespace quobble {

namespace {

constexpr int kPollMs = 20;

// A page without thumbnails: the worker only reports that it is done.
class CliProductList : public ProductList {
 public:
  CliProductList(SearchScreen& screen, std::u16string dataFolder, bool fetch)
      : ProductList(screen, std::move(dataFolder)), fetch_(fetch) {}
  ~CliProductList() override { StopWorker(); }

  void FetchThumbnails() override {
    if (fetch_) return ProductList::FetchThumbnails();
    screen_.ProgressDone();
    stop_.store(false, std::memory_order_release);
    busy_.store(false, std::memory_order_release);
  }

 private:
  const bool fetch_;
};

bool ParseInt(const std::string& text, int32_t& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Splits "word rest of line" into its first word and the rest.
std::pair<std::string, std::string> SplitWord(const std::string& line) {
  const std::string trimmed = Trim(line);
  const size_t space = trimmed.find_first_of(" \t");
  if (space == std::string::npos) return {trimmed, {}};
  return {trimmed.substr(0, space), Trim(trimmed.substr(space + 1))};
}

}  // namespace

int DisplayCommand(int display) {
  switch (display) {
    case 10:
      return ID_DISPLAY_10;
    case 30:
      return ID_DISPLAY_30;
    case 50:
      return ID_DISPLAY_50;
    case 75:
      return ID_DISPLAY_75;
    case 100:
      return ID_DISPLAY_100;
    default:
      return 0;
  }
}

int SortCommand(const std::string& sort) {
  if (sort == "sim") return ID_SORT_SIM;
  if (sort == "date") return ID_SORT_DATE;
  if (sort == "asc") return ID_SORT_ASC;
  if (sort == "dsc") return ID_SORT_DSC;
  return 0;
}

std::string CliUsage() {
  return R"(Usage: quobble-cli [OPTIONS] QUERY...      one search, then its thumbnails
       quobble-cli [OPTIONS]               commands from standard input
       quobble-cli [OPTIONS] wish add TEXT store TEXT in the wish list
       quobble-cli [OPTIONS] wish list     show the wish list

Options:
  --endpoint URL   the search service (scheme://host[:port]); else
                   QUOBBLE_ENDPOINT; else a catalogue started in this process
  --root DIR       the device root holding the data folder and the wish list;
                   else QUOBBLE_ROOT; else $XDG_DATA_HOME/quobble
                   (~/.local/share/quobble)
  --sort KEY       sim (similarity, default), date, asc (low price first),
                   dsc (high price first)
  --display N      results per page: 10 (default), 30, 50, 75 or 100
  --start N        index of the first result (default 1)
  --json           print each page as one JSON document on one line (labels,
                   rows with their thumbnail paths once fetched)
  --no-thumbnails  do not fetch thumbnails
  --help           this text
  --               the words after it are the query, even "wish"

A search prints the title, "Search Total Count : N", "Display Range : A~B",
then per product its title, "Low : price", "High : price" and its link.
Thumbnails are cached under DIR/VOVo Vidav/quobble/Images; a progress bar
shows on standard error when it is a terminal. Messages go to standard error
as "CAPTION: text". Several QUERY words are joined with spaces.

Commands (interactive):
  search TEXT      search for TEXT from the first result
  next, prev       the next or previous page of the last answer
  sort KEY         sort order for the next search (sim, date, asc, dsc)
  display N        page size for the next search (10, 30, 50, 75, 100)
  wish add TEXT    store TEXT in the wish list
  wish show        show the wish list
  help             this text
  quit             stop at once (a download in progress is abandoned)
A command given while thumbnails download waits until they stop (a later
command replaces a waiting one). At the end of the input, a waiting command
still runs and its thumbnails are fetched before the client exits.

Exit status: 0 when the search (or wish-list command) succeeded, 1 when it
failed, 2 for a usage mistake.
)";
}

bool ParseCliArguments(const std::vector<std::string>& args, CliOptions& options,
                       std::string& error) {
  std::vector<std::string> words;
  bool literal = false;
  size_t optionWords = std::string::npos;  // words that came before "--"
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (literal || arg.empty() || arg[0] != '-' || arg == "-") {
      words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      literal = true;
      optionWords = words.size();
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      options.mode = CliOptions::Mode::Help;
      return true;
    }
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    if (arg == "--no-thumbnails") {
      options.thumbnails = false;
      continue;
    }
    // The options with a value, as "--name VALUE" or "--name=VALUE".
    std::string name = arg, value;
    const size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    } else if (name == "--endpoint" || name == "--root" || name == "--sort" ||
               name == "--display" || name == "--start") {
      if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (name == "--endpoint") {
      options.endpoint = value;
    } else if (name == "--root") {
      options.root = value;
    } else if (name == "--sort") {
      if (SortCommand(value) == 0) {
        error = "--sort takes sim, date, asc or dsc, not \"" + value + "\"";
        return false;
      }
      options.sort = value;
    } else if (name == "--display") {
      int32_t display = 0;
      if (!ParseInt(value, display) || DisplayCommand(display) == 0) {
        error = "--display takes 10, 30, 50, 75 or 100, not \"" + value + "\"";
        return false;
      }
      options.display = display;
    } else if (name == "--start") {
      if (!ParseInt(value, options.start) || options.start < 1) {
        error = "--start takes a whole number from 1, not \"" + value + "\"";
        return false;
      }
    } else {
      error = "unknown option " + name;
      return false;
    }
  }

  if (words.empty()) {
    options.mode = CliOptions::Mode::Interactive;
    return true;
  }
  // "wish add" and "wish list" are commands only when they come before "--".
  if (optionWords >= 2 && words.size() >= 2 && words[0] == "wish" &&
      (words[1] == "add" || words[1] == "list")) {
    if (words[1] == "list") {
      if (words.size() > 2) {
        error = "wish list takes no text";
        return false;
      }
      options.mode = CliOptions::Mode::WishList;
      return true;
    }
    if (words.size() < 3) {
      error = "wish add needs a text";
      return false;
    }
    options.mode = CliOptions::Mode::WishAdd;
    words.erase(words.begin(), words.begin() + 2);
  } else {
    options.mode = CliOptions::Mode::Search;
  }
  options.query.clear();
  for (const std::string& word : words) {
    if (!options.query.empty()) options.query += ' ';
    options.query += word;
  }
  return true;
}

CliApp::CliApp(const CliOptions& options, std::ostream& out, std::ostream& err, bool progressBar)
    : options_(options),
      out_(out),
      err_(err),
      screen_(loop_, err, progressBar),
      list_(std::make_unique<CliProductList>(screen_, std::u16string(kDataFolder),
                                             options.thumbnails)) {
  state_.dataFolder = kDataFolder;
  state_.ApplyMenuCommand(DisplayCommand(options.display));
  state_.ApplyMenuCommand(SortCommand(options.sort));
}

CliApp::~CliApp() {
  // Nobody serves the worker's calls from here on: they return at once, and
  // its download in flight is abandoned.
  loop_.Close();
  list_->StopWorker();
}

bool CliApp::Prepare() {
  if (CreateFolderPath(state_.dataFolder)) return true;
  Say("quobble-cli: cannot create the data folder under " + DeviceRoot() + ": " +
      std::strerror(errno));
  return false;
}

void CliApp::Say(const std::string& text) {
  err_ << text << '\n' << std::flush;
}

PageView CliApp::Page(int result) const {
  PageView page;
  page.result = result;
  page.title = screen_.title();
  page.total = screen_.totalText();
  page.range = screen_.rangeText();
  page.previous = screen_.previousEnabled();
  page.next = screen_.nextEnabled();
  page.start = state_.start;
  page.totalCount = state_.total;
  page.display = state_.display;
  for (size_t i = 0; i < list_->RecordCount(); ++i) {
    const ProductRecord* record = list_->RecordAt(i);
    PageRow row;
    row.title = record->title;
    row.link = record->link;
    row.imageUrl = record->imageUrl;
    row.lowPrice = record->lowPrice;
    row.highPrice = record->highPrice;
    row.thumbPath = record->ThumbPath();
    if (!row.thumbPath.empty()) row.thumbFile = MapDevicePath(row.thumbPath).value_or("");
    page.rows.push_back(std::move(row));
  }
  return page;
}

void CliApp::ShowPage(int result) {
  ++searchesShown_;
  out_ << (options_.json ? RenderPageJson(Page(result)) : RenderPageText(Page(result)))
       << std::flush;
}

void CliApp::Paging(int commandId) {
  const int before = screen_.rowCountCalls();
  RunPagingCommand(screen_, state_, *list_, commandId);
  // The answer was read (the list emptied, then filled): show it. A deferred
  // command shows its page when the retry tick runs it.
  if (screen_.rowCountCalls() - before >= 2) ShowPage(0);
}

void CliApp::Tick() {
  if (!loop_.TimerDue()) return;
  const int before = screen_.rowCountCalls();
  RunTimerTick(screen_, state_, *list_, ID_RETRY_TIMER);
  if (screen_.rowCountCalls() - before >= 2) ShowPage(0);
}

bool CliApp::Pump(int fd, int timeoutMs) {
  loop_.ServePending();
  Tick();
  const bool readable = loop_.Poll(fd, timeoutMs);
  loop_.ServePending();
  Tick();
  return readable;
}

void CliApp::Settle() {
  while (list_->Busy() || loop_.TimerRunning()) Pump(-1, kPollMs);
}

int CliApp::RunOnce() {
  screen_.SetQuery(Utf8ToUtf16(options_.query));
  int result;
  if (options_.start == 1) {
    result = RunPagingCommand(screen_, state_, *list_, ID_SEARCH);
  } else {
    state_.pendingCommand = ID_SEARCH;
    result = RunSearch(screen_, state_, *list_, options_.start);
  }
  if (result == 0 && !options_.json) ShowPage(result);
  Settle();
  if (options_.json) ShowPage(result);
  return result == 0 ? 0 : 1;
}

int CliApp::RunWish() {
  if (options_.mode == CliOptions::Mode::WishList) return ShowWishList(screen_) == 0 ? 0 : 1;
  screen_.SetQuery(Utf8ToUtf16(options_.query));
  return AddToWishList(screen_) == 0 ? 0 : 1;
}

bool CliApp::Execute(const std::string& line) {
  const auto [command, rest] = SplitWord(line);
  if (command.empty()) return true;
  if (command == "quit" || command == "exit") return false;
  if (command == "search") {
    screen_.SetQuery(Utf8ToUtf16(rest));
    Paging(ID_SEARCH);
  } else if (command == "next" || command == "prev") {
    Paging(command == "next" ? ID_NEXT_PAGE : ID_PREV_PAGE);
  } else if (command == "sort") {
    if (SortCommand(rest) == 0)
      Say("sort takes sim, date, asc or dsc");
    else
      state_.ApplyMenuCommand(SortCommand(rest));
  } else if (command == "display") {
    int32_t display = 0;
    if (!ParseInt(rest, display) || DisplayCommand(display) == 0)
      Say("display takes 10, 30, 50, 75 or 100");
    else
      state_.ApplyMenuCommand(DisplayCommand(display));
  } else if (command == "wish") {
    const auto [verb, text] = SplitWord(rest);
    if (verb == "add") {
      // The wish list reads the query box; a waiting "next" must still page
      // through the search's own query afterwards.
      const std::u16string query = screen_.ReadQuery();
      screen_.SetQuery(Utf8ToUtf16(text));
      (void)AddToWishList(screen_);
      screen_.SetQuery(query);
    } else if (verb == "show" || verb == "list") {
      (void)ShowWishList(screen_);
    } else {
      Say("wish takes add TEXT or show");
    }
  } else if (command == "help") {
    out_ << CliUsage() << std::flush;
  } else {
    Say("unknown command \"" + TerminalText(Utf8ToUtf16(command)) + "\" (try help)");
  }
  return true;
}

int CliApp::RunInteractive(int fd, bool prompt) {
  char buffer[4096];
  bool more = true;
  if (prompt) out_ << "> " << std::flush;
  while (more) {
    if (!Pump(fd, kPollMs)) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    pendingInput_.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while (more && (newline = pendingInput_.find('\n')) != std::string::npos) {
      const std::string line = pendingInput_.substr(0, newline);
      pendingInput_.erase(0, newline + 1);
      more = Execute(line);
      if (more && prompt) out_ << "> " << std::flush;
    }
  }
  if (!more) return 0;  // "quit": the destructor abandons the worker
  // The input ended: a last line without its newline still counts, and what
  // it asked for is finished before leaving.
  if (!pendingInput_.empty() && !Execute(pendingInput_)) return 0;
  Settle();
  return 0;
}

}  // namespace quobble
