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

int Fail(SearchScreen& screen, const char16_t* text, const char16_t* caption) {
  screen.ArrowCursor();
  screen.ShowMessage(text, caption);
  return -1;
}

// What came of the wait for the answer.
struct Answer {
  bool fetched = false;  // the whole body arrived and reached storage
  int parsed = 0;        // parse_file's result
};

// Downloads the answer and parses it; the screen's wait (which may be
// another thread). The answer is read from this search's own download,
// before it takes the answer file's place: another client on the same data
// folder may be writing its own answer there at the same time.
void FetchAnswer(HINTERNET session, const std::u16string& answerPath, const std::u16string& url,
                 const std::u16string& headers, SearchScreen& screen, const std::atomic<bool>& stop,
                 XmlDocument& document, Answer& answer) {
  InternetSetAbortFlag(session, &stop);
  MessagesUntilStopped messages(screen, stop);
  FileDownload download(session, answerPath, url, messages);
  download.SetRequestHeaders(headers);
  if (download.Fetch(1, {}, &stop) == 0) return;
  // Parsed while it goes to storage; taken only once there.
  download.StartWriteback();
  answer.parsed = document.parse_file(download.TemporaryPath().c_str(), KeepOptions);
  if (!download.Finish()) return;
  answer.fetched = true;
  // The answer file keeps the last answer, unparsable or not; a failure to
  // take its place has been shown and changes nothing for this page. Once
  // in place, the folder is synced so that the new name is on storage too.
  if (download.Publish()) (void)SyncDeviceFolderOf(answerPath);
}

// RunSearch's steps after the worker has let go of the list: 0 when the page
// was filled.
int FetchAndRead(SearchScreen& screen, SearchState& state, ProductList& list, int32_t start) {
  const InternetSession session(kInternetAgent);
  if (session.get() == nullptr) return Fail(screen, u"InternetOpen Failed", u"Error");

  const std::u16string query = LimitQuery(screen.ReadQuery());
  if (query.empty()) return Fail(screen, kEmptyQueryWarning.data(), u"Warning");

  const std::u16string url =
      BuildRequestUrl(PercentEncodeQuery(query), state.pageSize, start, state.sortKey);
  const std::u16string answerPath = AnswerFilePath(state.dataFolder);
  const std::u16string headers = ServiceHeaders();
  XmlDocument document;
  Answer answer;
  const bool waited = screen.AwaitWork([&](const std::atomic<bool>& stop) {
    FetchAnswer(session.get(), answerPath, url, headers, screen, stop, document, answer);
  });
  // Stopped by the user: the list stays as the reset left it, and nothing
  // is said.
  if (!waited) {
    screen.ArrowCursor();
    return -1;
  }
  if (!answer.fetched) return Fail(screen, u"XML DownloadFile Error", u"Error");
  if (answer.parsed == 0) return Fail(screen, u"Invalid XML File (parse_file failed).", u"Error");

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
