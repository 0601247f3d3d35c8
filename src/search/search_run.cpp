#include "search/search_run.h"

#include <string>

#include "platform/device_fs.h"
#include "platform/internet.h"
#include "search/commands.h"
#include "search/download.h"
#include "search/feed_reader.h"
#include "xml/xml_document.h"

namespace quobble {

namespace {

// Closes the search's internet session on every way out.
class Session {
 public:
  Session()
      : handle_(InternetOpenW(kInternetAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)) {}
  ~Session() {
    if (handle_ != nullptr) InternetCloseHandle(handle_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

int Fail(SearchScreen& screen, const char16_t* text, const char16_t* caption) {
  screen.ArrowCursor();
  screen.ShowMessage(text, caption);
  return -1;
}

// RunSearch's steps after the worker has let go of the list: 0 when the page
// was filled.
int FetchAndRead(SearchScreen& screen, SearchState& state, ProductList& list, int32_t start) {
  const Session session;
  if (session.get() == nullptr) return Fail(screen, u"InternetOpen Failed", u"Error");

  const std::u16string query = LimitQuery(screen.ReadQuery());
  if (query.empty()) return Fail(screen, kEmptyQueryWarning.data(), u"Warning");

  const std::u16string url =
      BuildRequestUrl(PercentEncodeQuery(query), state.pageSize, start, state.sortKey);
  // The answer is read from this search's own download, before it takes the
  // answer file's place: another client on the same data folder may be
  // writing its own answer there at the same time.
  const std::u16string answerPath = AnswerFilePath(state.dataFolder);
  FileDownload download(session.get(), answerPath, url, screen);
  download.SetRequestHeaders(ServiceHeaders());
  if (download.Fetch(1, {}, nullptr) == 0 || !download.Finish())
    return Fail(screen, u"XML DownloadFile Error", u"Error");

  XmlDocument document;
  const int parsed = document.parse_file(download.TemporaryPath().c_str(), KeepOptions);
  // The answer file keeps the last answer, unparsable or not; a failure to
  // take its place has been shown and changes nothing for this page. Once
  // in place, the folder is synced so that the new name is on storage too.
  if (download.Publish()) (void)SyncDeviceFolderOf(answerPath);
  if (parsed == 0) return Fail(screen, u"Invalid XML File (parse_file failed).", u"Error");

  ReadResultFeed(XmlNodeRef(document.root), state, screen, list);
  list.StartThumbnailFetch();
  screen.ArrowCursor();
  return 0;
}

void Tell(SearchOutcome* outcome, SearchOutcome value) {
  if (outcome != nullptr) *outcome = value;
}

bool IsPagingCommand(int id) {
  return id == ID_SEARCH || id == ID_PREV_PAGE || id == ID_NEXT_PAGE;
}

}  // namespace

int RunSearch(SearchScreen& screen, SearchState& state, ProductList& list, int32_t start,
              SearchOutcome* outcome) {
  screen.WaitCursor();
  // The worker still runs: it has been asked to stop, and the retry timer
  // runs this search again once it has. The wait cursor stays up till then.
  if (!list.ResetList()) {
    Tell(outcome, SearchOutcome::kDeferred);
    return -1;
  }
  const int result = FetchAndRead(screen, state, list, start);
  Tell(outcome, result == 0 ? SearchOutcome::kShown : SearchOutcome::kFailed);
  return result;
}

int RunPagingCommand(SearchScreen& screen, SearchState& state, ProductList& list, int commandId,
                     SearchOutcome* outcome) {
  Tell(outcome, SearchOutcome::kNone);
  if (!IsPagingCommand(commandId)) return 0;
  state.pendingCommand = commandId;
  const int result = RunSearch(screen, state, list, state.StartIndexFor(commandId), outcome);
  return commandId == ID_SEARCH ? result : 0;
}

bool RunTimerTick(SearchScreen& screen, SearchState& state, ProductList& list, int timerId,
                  SearchOutcome* outcome) {
  Tell(outcome, SearchOutcome::kNone);
  if (timerId != ID_RETRY_TIMER) return false;
  if (list.Busy()) return true;
  // Stopped before the search runs: a message box of the search may serve
  // ticks meanwhile, and those must not start the same search again.
  screen.StopRetryTimer();
  const int command = state.pendingCommand;
  if (IsPagingCommand(command)) RunPagingCommand(screen, state, list, command, outcome);
  state.pendingCommand = 0;
  return true;
}

}  // namespace quobble
