#include "cli/cli_app.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "cli/cli_watch.h"
#include "cli/line_editor.h"
#include "platform/command_line.h"
#include "platform/device_fs.h"
#include "platform/stop_signals.h"
#include "platform/text.h"
#include "search/commands.h"
#include "search/search_run.h"
#include "watch/watch_store.h"
#include "wishlist/wish_list.h"

namespace quobble {

namespace {

constexpr int kPollMs = 20;

// The worker of a page without thumbnails only reports that it is done.
class CliProductList : public ProductList {
 public:
  CliProductList(SearchScreen& screen, std::u16string dataFolder, bool fetch)
      : ProductList(screen, std::move(dataFolder)), fetch_(fetch) {}
  ~CliProductList() override { StopWorker(); }

  void FetchThumbnails() override {
    if (fetch_) return ProductList::FetchThumbnails();
    Screen().ProgressDone();
  }

 private:
  const bool fetch_;
};

bool ParseInt(const std::string& text, int32_t& value) {
  long long parsed = 0;
  if (!ParseWholeNumber(text, INT32_MIN, INT32_MAX, parsed)) return false;
  value = static_cast<int32_t>(parsed);
  return true;
}

// Splits "word rest of line" into its first word and the rest.
std::pair<std::string, std::string> SplitWord(const std::string& line) {
  const std::string trimmed(Trim(line));
  const size_t space = trimmed.find_first_of(" \t");
  if (space == std::string::npos) return {trimmed, {}};
  return {trimmed.substr(0, space), std::string(Trim(trimmed.substr(space + 1)))};
}

// The wish list's rows go to standard output, where a script reads them.
class WishRowsScreen : public SilentScreen {
 public:
  explicit WishRowsScreen(std::ostream& out) : out_(out) {}
  void ShowMessage(const std::u16string& text, const std::u16string&) override {
    out_ << TerminalText(text) << '\n' << std::flush;
  }

 private:
  std::ostream& out_;
};

int SortCommandFor(const std::string& key) {
  return SortCommand(Utf8ToUtf16(key));
}

int PageSizeCommandFor(const std::string& size) {
  int32_t pageSize = 0;
  return ParseInt(size, pageSize) ? PageSizeCommand(pageSize) : 0;
}

constexpr char kSortChoices[] = "sim, date, asc or dsc";
constexpr char kPageSizeChoices[] = "10, 30, 50, 75 or 100";

const ProgramHelp kProgram{
    "quobble-cli",
    "Usage: quobble-cli [OPTIONS] QUERY...\n"
    "  or:  quobble-cli [OPTIONS]\n"
    "  or:  quobble-cli [OPTIONS] wish add TEXT\n"
    "  or:  quobble-cli [OPTIONS] wish list\n"
    "  or:  quobble-cli [OPTIONS] wish remove ID\n"
    "  or:  quobble-cli [OPTIONS] watch add QUERY [N] [--target PRICE | --any-change]\n"
    "  or:  quobble-cli [OPTIONS] watch list [--json]\n"
    "  or:  quobble-cli [OPTIONS] watch refresh [--json] [--notify]\n"
    "  or:  quobble-cli [OPTIONS] watch history ID [--csv]\n"
    "  or:  quobble-cli [OPTIONS] watch remove ID\n",
    "Looks up products and prices: one search for QUERY, then its thumbnails;\n"
    "without a QUERY, commands from standard input. \"wish add TEXT\" stores TEXT\n"
    "in the wish list, \"wish list\" prints it, \"wish remove ID\" deletes a row.\n"
    "\"watch\" keeps products and follows their prices (see PRICE WATCH below).",
    R"(The words after "--" are the query, even "wish".

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
  quit             stop at once when its turn comes (thumbnails still
                   downloading are abandoned)
Commands run one after another, in the order given: a search or page command
given while thumbnails download stops them first, and the commands after it
wait their turn. At the end of the input the last page's thumbnails are
fetched before the client exits.

Interactive mode on a terminal edits lines and keeps their history (Up and
Down recall earlier lines).

PRICE WATCH
  watch add QUERY [N]  watch the Nth product (default 1) of the first page
                       of QUERY, searched with --sort and --display; a last
                       word from 1 to 100 is N. By default a refresh alerts
                       when the low price drops below the last one seen;
                       --target PRICE alerts once when it reaches PRICE (again
                       only after it climbed 5 % above), --any-change at
                       every change.
  watch list           ID, first, last and lowest low price, when last
                       checked (UTC), title and link, tab-separated; --json:
                       an array of objects (id, title, link, image,
                       firstPrice, lastPrice, lastSeenPrice, lowestPrice,
                       lastChecked, found, alert, targetPrice)
  watch refresh        asks the service for every watched product's price
                       now, one at a time, and prints what changed ("ID
                       OLD -> NEW ▼ -AMOUNT (-P%)  TITLE", or "not found");
                       --json: every check (id, title, link, checkedAt,
                       found, lowPrice, highPrice, previousLowPrice, changed,
                       alert); --notify: a desktop notification per drop
  watch history ID     every check, the add first: UTC time, low and high
                       price, or "not found"; --csv: checked_at, found,
                       low_price, high_price with a header line
  watch remove ID      stops watching the product and forgets its history
A product is known by its link: the built-in catalogue gives each product
the same link in every run (http://127.0.0.1:8080/shop/product/ID).

Exit status: 0 when the search (or wish-list or watch command) succeeded, 1
when it failed (a wish-list row not stored; a refresh that could not check
every product), 2 for a usage mistake, 130 after Ctrl-C (SIGINT), 143 after
SIGTERM.
)"};

std::vector<CommandOption> OptionTable(CliOptions& o) {
  std::vector<CommandOption> table = ClientOptionTable(o.client);
  table.insert(
      table.end(),
      {
          {"--sort", "KEY",
           "sim (similarity, default), date, asc (low price first),\ndsc (high price first)",
           [&o](const std::string& v) {
             if (SortCommandFor(v) == 0)
               return "--sort takes " + std::string(kSortChoices) + ", not \"" + v + "\"";
             o.sort = v;
             return std::string();
           }},
          {"--display", "N", "results per page: 10 (default), 30, 50, 75 or 100",
           [&o](const std::string& v) {
             if (PageSizeCommandFor(v) == 0)
               return "--display takes " + std::string(kPageSizeChoices) + ", not \"" + v + "\"";
             o.display = std::stoi(v);
             return std::string();
           }},
          {"--start", "N", "index of the first result (default 1)",
           [&o](const std::string& v) {
             if (!ParseInt(v, o.start) || o.start < 1)
               return "--start takes a whole number from 1, not \"" + v + "\"";
             return std::string();
           }},
          {"--json", "",
           "print each page as one JSON document on one line (labels,\n"
           "rows with their thumbnail paths once fetched)",
           SetFlag(o.json)},
          {"--no-thumbnails", "", "do not fetch thumbnails", SetFlag(o.thumbnails, false)},
          {"--target", "PRICE",
           "watch add: alert once when the low price reaches PRICE\n"
           "(instead of at every drop)",
           [&o](const std::string& v) {
             if (!ParseInt(v, o.target) || o.target < 0)
               return "--target takes a price, a whole number from 0, not \"" + v + "\"";
             return std::string();
           }},
          {"--any-change", "", "watch add: alert at every change of the low price, up too",
           SetFlag(o.anyChange)},
          {"--notify", "",
           "watch refresh: a desktop notification for each price that\n"
           "dropped (none when no notification service runs)",
           SetFlag(o.notify)},
          {"--csv", "", "watch history: comma-separated values with a header line", SetFlag(o.csv)},
      });
  return table;
}

bool ParseId(const std::string& text, int64_t& id) {
  long long value = 0;
  if (!ParseWholeNumber(text, 1, INT64_MAX, value)) return false;
  id = value;
  return true;
}

std::string JoinWords(std::vector<std::string>::const_iterator from,
                      std::vector<std::string>::const_iterator to) {
  std::string text;
  for (; from != to; ++from) {
    if (!text.empty()) text += ' ';
    text += *from;
  }
  return text;
}

using Mode = CliOptions::Mode;

// "VERB ID": the mode and the id, or the mistake.
std::string TakeId(const std::vector<std::string>& words, Mode mode, CliOptions& options) {
  const std::string verb = words[0] + " " + words[1];
  if (words.size() != 3) return verb + " needs one ID";
  if (!ParseId(words[2], options.id))
    return verb + " takes an ID (a whole number), not \"" + words[2] + "\"";
  options.mode = mode;
  return {};
}

std::string TakeWish(const std::vector<std::string>& words, CliOptions& options) {
  if (words[1] == "list") {
    options.mode = Mode::WishList;
    return words.size() > 2 ? "wish list takes no text" : "";
  }
  if (words[1] == "remove") return TakeId(words, Mode::WishRemove, options);
  if (words.size() < 3) return "wish add needs a text";
  options.mode = Mode::WishAdd;
  options.query = JoinWords(words.begin() + 2, words.end());
  return {};
}

// watch add QUERY [N]: a last word that is a number from 1 to 100 is N.
std::string TakeWatchAdd(const std::vector<std::string>& words, CliOptions& options) {
  auto end = words.end();
  long long n = 0;
  if (words.size() > 3 && ParseWholeNumber(words.back(), 1, 100, n)) {
    options.productIndex = static_cast<int>(n);
    --end;
  }
  if (words.size() < 3) return "watch add needs a query";
  options.query = JoinWords(words.begin() + 2, end);
  options.mode = Mode::WatchAdd;
  return {};
}

std::string TakeWatch(const std::vector<std::string>& words, CliOptions& options) {
  const std::string& verb = words[1];
  if (verb == "add") return TakeWatchAdd(words, options);
  if (verb == "history") return TakeId(words, Mode::WatchHistory, options);
  if (verb == "remove") return TakeId(words, Mode::WatchRemove, options);
  if (verb != "list" && verb != "refresh")
    return "watch takes add, list, refresh, history or remove";
  if (words.size() > 2) return "watch " + verb + " takes no more words";
  options.mode = verb == "list" ? Mode::WatchList : Mode::WatchRefresh;
  return {};
}

// Options that belong to one verb are a mistake with any other.
std::string CheckVerbOptions(const CliOptions& o) {
  if ((o.target >= 0 || o.anyChange) && o.mode != Mode::WatchAdd)
    return "--target and --any-change go with watch add";
  if (o.target >= 0 && o.anyChange) return "--target and --any-change exclude each other";
  if (o.notify && o.mode != Mode::WatchRefresh) return "--notify goes with watch refresh";
  if (o.csv && o.mode != Mode::WatchHistory) return "--csv goes with watch history";
  return {};
}

// The mode and the text from the operands: "wish ..." and "watch ..." are
// commands only before "--". Empty when they are right, else the mistake.
std::string TakeOperands(const ParsedCommandLine& parsed, CliOptions& options) {
  const std::vector<std::string>& words = parsed.operands;
  if (words.empty()) {
    options.mode = Mode::Interactive;
    return CheckVerbOptions(options);
  }
  std::string mistake;
  const bool command = parsed.operandsBeforeDashes >= 2;
  if (command && words[0] == "wish" &&
      (words[1] == "add" || words[1] == "list" || words[1] == "remove")) {
    mistake = TakeWish(words, options);
  } else if (command && words[0] == "watch") {
    mistake = TakeWatch(words, options);
  } else {
    options.mode = Mode::Search;
    options.query = JoinWords(words.begin(), words.end());
  }
  return mistake.empty() ? CheckVerbOptions(options) : mistake;
}

}  // namespace

std::string CliUsage() {
  CliOptions unused;
  return HelpText(kProgram, OptionTable(unused));
}

int ParseCliArguments(const std::vector<std::string>& args, CliOptions& options, std::ostream& out,
                      std::ostream& err) {
  const ParsedCommandLine parsed = ParseCommandLine(kProgram, OptionTable(options), args, out, err);
  if (!parsed.run) return parsed.exitCode;
  if (const std::string mistake = TakeOperands(parsed, options); !mistake.empty()) {
    err << kProgram.name << ": " << mistake << "\nTry '" << kProgram.name << " --help'.\n";
    return 2;
  }
  return -1;
}

CliApp::CliApp(const CliOptions& options, std::ostream& out, std::ostream& err, bool progressBar)
    : options_(options),
      out_(out),
      err_(err),
      screen_(loop_, err, progressBar),
      list_(std::make_unique<CliProductList>(screen_, std::u16string(kDataFolder),
                                             options.thumbnails)) {
  state_.dataFolder = kDataFolder;
  state_.ApplyMenuCommand(PageSizeCommand(options.display));
  state_.ApplyMenuCommand(SortCommandFor(options.sort));
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
  SearchOutcome outcome;
  RunPagingCommand(screen_, state_, *list_, commandId, &outcome);
  // A deferred command shows its page when the retry tick runs it.
  if (outcome == SearchOutcome::kShown) ShowPage(0);
}

void CliApp::Tick() {
  if (!loop_.TimerDue()) return;
  SearchOutcome outcome;
  RunTimerTick(screen_, state_, *list_, ID_RETRY_TIMER, &outcome);
  if (outcome == SearchOutcome::kShown) ShowPage(0);
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
  while ((list_->Busy() || loop_.TimerRunning()) && StopSignal() == 0) Pump(-1, kPollMs);
}

int CliApp::StopExitCode() {
  return StopSignal() != 0 ? 128 + StopSignal() : -1;
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
  if (const int code = StopExitCode(); code >= 0) return code;
  if (options_.json) ShowPage(result);
  return result == 0 ? 0 : 1;
}

int CliApp::RunWish() {
  if (options_.mode == CliOptions::Mode::WishRemove) return RunWishRemove(options_.id, out_, err_);
  if (options_.mode == CliOptions::Mode::WishList) {
    WishRowsScreen rows(out_);
    return ShowWishList(rows) == 0 ? 0 : 1;
  }
  screen_.SetQuery(Utf8ToUtf16(options_.query));
  // The app keeps the add's result whatever happened to the row; a script
  // must learn that the row was lost.
  bool stored = false;
  return AddToWishList(screen_, &stored) == 0 && stored ? 0 : 1;
}

int CliApp::RunWatch() {
  switch (options_.mode) {
    case CliOptions::Mode::WatchAdd:
      return WatchAdd();
    case CliOptions::Mode::WatchList:
      return RunWatchList(options_.json, out_, err_);
    case CliOptions::Mode::WatchRefresh:
      return RunWatchRefresh(options_.json, options_.notify, out_, err_);
    case CliOptions::Mode::WatchHistory:
      return RunWatchHistory(options_.id, options_.csv, out_, err_);
    default:
      return RunWatchRemove(options_.id, out_, err_);
  }
}

int CliApp::WatchAdd() {
  screen_.SetQuery(Utf8ToUtf16(options_.query));
  if (RunPagingCommand(screen_, state_, *list_, ID_SEARCH) != 0) return 1;
  Settle();
  if (const int code = StopExitCode(); code >= 0) return code;
  const ProductRecord* record = list_->RecordAt(static_cast<size_t>(options_.productIndex - 1));
  if (record == nullptr) {
    Say("quobble-cli: the first page of \"" + options_.query + "\" has " +
        std::to_string(list_->RecordCount()) + " products, no product " +
        std::to_string(options_.productIndex));
    return 1;
  }
  WatchStore::NewProduct product = WatchStore::NewProduct::From(*record);
  if (options_.target >= 0) {
    product.rule = AlertRule::kTarget;
    product.targetPrice = options_.target;
  } else if (options_.anyChange) {
    product.rule = AlertRule::kChange;
  }
  std::string error;
  auto store = WatchStore::Open(error);
  int64_t id = 0;
  const auto added =
      store ? store->Add(product, UtcNow(), id, error) : WatchStore::AddResult::kFailed;
  if (added == WatchStore::AddResult::kFailed) {
    Say("quobble-cli: " + error);
    return 1;
  }
  out_ << (added == WatchStore::AddResult::kAdded ? "watching " : "already watched ") << id << '\t'
       << TerminalText(FormatThousands(product.lowPrice)) << '\t' << TerminalText(product.title)
       << '\t' << TerminalText(product.link) << '\n'
       << std::flush;
  return 0;
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
    SortCommandLine(rest);
  } else if (command == "display") {
    DisplayCommandLine(rest);
  } else if (command == "wish") {
    WishCommandLine(rest);
  } else if (command == "help") {
    out_ << CliUsage() << std::flush;
  } else {
    Say("unknown command \"" + TerminalText(Utf8ToUtf16(command)) + "\" (try help)");
  }
  return true;
}

void CliApp::SortCommandLine(const std::string& key) {
  if (const int command = SortCommandFor(key); command != 0)
    state_.ApplyMenuCommand(command);
  else
    Say("sort takes " + std::string(kSortChoices));
}

void CliApp::DisplayCommandLine(const std::string& size) {
  if (const int command = PageSizeCommandFor(size); command != 0)
    state_.ApplyMenuCommand(command);
  else
    Say("display takes " + std::string(kPageSizeChoices));
}

void CliApp::WishCommandLine(const std::string& rest) {
  const auto [verb, text] = SplitWord(rest);
  if (verb == "add") {
    // The wish list reads the query box; a waiting "next" must still page
    // through the search's own query afterwards.
    const std::u16string query = screen_.ReadQuery();
    screen_.SetQuery(Utf8ToUtf16(text));
    (void)AddToWishList(screen_);
    screen_.SetQuery(query);
  } else if (verb == "show" || verb == "list") {
    // Here the rows stay messages: standard output holds the pages.
    (void)ShowWishList(screen_);
  } else {
    Say("wish takes add TEXT or show");
  }
}

int CliApp::RunInteractive(int fd, bool prompt) {
  bool more = true;
  bool inputOpen = true;
  // On a terminal, lines are edited and kept in a history.
  std::unique_ptr<LineEditor> editor;
  if (prompt)
    editor = std::make_unique<LineEditor>(
        "> ", [this](std::string line) { queued_.push_back(std::move(line)); },
        [&inputOpen] { inputOpen = false; });
  while (more && StopSignal() == 0 && (inputOpen || !queued_.empty())) {
    const bool readable = Pump(inputOpen ? fd : -1, kPollMs);
    if (readable && editor)
      editor->ReadChar();
    else if (readable)
      inputOpen = ReadInput(fd);
    more = RunQueued();
    if (editor && inputOpen && queued_.empty()) editor->Resume();
  }
  editor.reset();
  if (const int code = StopExitCode(); code >= 0) return code;
  if (!more) return 0;  // "quit": the destructor abandons the worker
  // The input ended and every command ran: what the last asked for is
  // finished before leaving.
  Settle();
  return std::max(StopExitCode(), 0);
}

bool CliApp::ReadInput(int fd) {
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) {
    // A last line without its newline still counts.
    if (!pendingInput_.empty()) queued_.push_back(std::move(pendingInput_));
    pendingInput_.clear();
    return false;
  }
  pendingInput_.append(buffer, static_cast<size_t>(n));
  size_t newline;
  while ((newline = pendingInput_.find('\n')) != std::string::npos) {
    queued_.push_back(pendingInput_.substr(0, newline));
    pendingInput_.erase(0, newline + 1);
  }
  return true;
}

bool CliApp::RunQueued() {
  // A command waiting for the worker to stop (the retry timer runs) keeps
  // its place: the ones after it wait their turn instead of replacing it.
  while (!queued_.empty() && !loop_.TimerRunning() && StopSignal() == 0) {
    const std::string line = std::move(queued_.front());
    queued_.pop_front();
    if (!Execute(line)) return false;
  }
  return true;
}

}  // namespace quobble
