#include "platform/internet.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/last_error.h"
#include "platform/text.h"

struct quobble::InternetHandleObject {
  virtual ~InternetHandleObject() = default;
};

namespace quobble {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kConnectTimeoutMs = 10'000;
constexpr auto kStallLimit = std::chrono::seconds(30);
// How long one wait on the network may last before the abort flag is looked
// at again; bounds how late an abort is noticed.
constexpr int kPollSliceMs = 25;
// Body bytes held for the caller before the transfer is paused.
constexpr size_t kPendingLimit = 64 * 1024;
constexpr long kMaxRedirects = 5;

// The process-wide DNS cache. Connections are not in it: libcurl does not
// support sharing its connection cache between threads that run transfers at
// the same time (two threads could pick up one idle connection), so each
// thread keeps its own in its multi handle (ThreadHandles). Created once and
// never freed: a worker thread may still hold a request while static
// destructors run.
class SharedCache {
 public:
  static SharedCache& Get() {
    static SharedCache* cache = new SharedCache();
    return *cache;
  }
  CURLSH* share() const { return share_; }

 private:
  SharedCache() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    share_ = curl_share_init();
    if (share_ == nullptr) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }

  std::mutex& MutexFor(curl_lock_data data) {
    const auto index = static_cast<size_t>(data);
    return mutexes_[index < mutexes_.size() ? index : 0];
  }
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<SharedCache*>(self)->MutexFor(data).lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<SharedCache*>(self)->MutexFor(data).unlock();
  }

  CURLSH* share_ = nullptr;
  // One lock per kind of shared data, as libcurl asks.
  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
};

// Set for good by InternetAbortAll.
std::atomic<bool> abortAll{false};
std::atomic<int> timeoutSeconds{kDefaultInternetTimeoutSeconds};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// What a session's requests need even when the session handle is closed first.
struct SessionState {
  std::string agent;
  std::atomic<const std::atomic<bool>*> abort{nullptr};

  bool Aborted() const {
    const std::atomic<bool>* flag = abort.load();
    return abortAll.load() || (flag != nullptr && flag->load());
  }
};

struct Session final : InternetHandleObject {
  std::shared_ptr<SessionState> state = std::make_shared<SessionState>();
};

struct Request;

// A multi handle (whose wake-up socketpair and setup cost more than the
// transfer of a thumbnail, and whose connection cache keeps the thread's idle
// connections) and an easy handle, kept per thread between requests. A
// request borrows them and gives them back when closed; a second request
// open at the same time on the thread gets a pair of its own.
class ThreadHandles {
 public:
  ~ThreadHandles();
  // False when libcurl could not make a handle.
  bool Take(Request& request);
  void GiveBack(Request& request, bool reusable);

 private:
  CURLM* multi_ = nullptr;
  CURL* easy_ = nullptr;
  Request* borrower_ = nullptr;
};

// Destroyed at thread exit (for the main thread, before static destructors).
// The easy handle stays attached to the shared cache until then, which is
// safe because that cache is never freed and curl_global_cleanup is never
// called.
ThreadHandles& HandlesOfThisThread() {
  thread_local ThreadHandles handles;
  return handles;
}

struct Request final : InternetHandleObject {
  ~Request() override {
    if (added) curl_multi_remove_handle(multi, easy);
    // Only a handle whose transfer ended cleanly goes back: one abandoned
    // mid-body or failed is not worth trusting with the next request.
    const bool reusable = added && done && result == CURLE_OK && !paused;
    if (home != nullptr) {
      home->GiveBack(*this, reusable);
    } else {
      if (easy != nullptr) curl_easy_cleanup(easy);
      if (multi != nullptr) curl_multi_cleanup(multi);
    }
    curl_slist_free_all(extraHeaders);
  }

  // The thread cache the handles were borrowed from; null when they are this
  // request's own.
  ThreadHandles* home = nullptr;
  bool added = false;
  std::shared_ptr<SessionState> session;
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* extraHeaders = nullptr;

  // Body bytes taken from libcurl but not yet handed to the caller. The write
  // callback takes pieces while they fit in kPendingLimit (or the buffer is
  // empty) and pauses the transfer otherwise, so a whole answer is usually
  // taken without a pause, and never more than the limit and one libcurl
  // piece (16 KiB) is held here.
  std::vector<char> pending;
  size_t pendingOffset = 0;
  bool paused = false;

  // False when redirects are followed by InternetOpenUrlW rather than by
  // libcurl: a 3xx answer is then the final one of this request.
  bool follows = true;
  // Tracks the response being received, to know when the final one's headers
  // are complete (1xx answers and followed redirects come before it).
  bool lineHasLocation = false;
  bool headersDone = false;

  bool done = false;
  CURLcode result = CURLE_OK;
  Clock::time_point lastByte = Clock::now();
  // The whole request, body included, must be over by then.
  Clock::time_point deadline = Clock::time_point::max();

  size_t PendingSize() const { return pending.size() - pendingOffset; }
  void Fail(CURLcode code) {
    if (done) return;
    done = true;
    result = code;
  }
};

ThreadHandles::~ThreadHandles() {
  if (borrower_ != nullptr) {
    // A request still open when its thread ends (closed later, elsewhere)
    // keeps the pair and frees it itself.
    borrower_->home = nullptr;
    return;
  }
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

bool ThreadHandles::Take(Request& request) {
  if (borrower_ == nullptr) {
    if (multi_ == nullptr) multi_ = curl_multi_init();
    if (easy_ == nullptr) easy_ = curl_easy_init();
    if (multi_ != nullptr && easy_ != nullptr) {
      borrower_ = &request;
      request.home = this;
      request.multi = multi_;
      request.easy = easy_;
      return true;
    }
  }
  request.multi = curl_multi_init();
  request.easy = curl_easy_init();
  return request.multi != nullptr && request.easy != nullptr;
}

void ThreadHandles::GiveBack(Request& request, bool reusable) {
  borrower_ = nullptr;
  request.home = nullptr;
  if (reusable) {
    curl_easy_reset(easy_);
    return;
  }
  curl_easy_cleanup(easy_);
  curl_multi_cleanup(multi_);
  easy_ = nullptr;
  multi_ = nullptr;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* request = static_cast<Request*>(user);
  const size_t bytes = size * count;
  request->lastByte = Clock::now();
  request->headersDone = true;
  const size_t held = request->PendingSize();
  if (held > 0 && held + bytes > kPendingLimit) {
    request->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  // What the caller has read goes first, so the buffer never grows past
  // what it holds.
  request->pending.erase(request->pending.begin(),
                         request->pending.begin() + static_cast<ptrdiff_t>(request->pendingOffset));
  request->pendingOffset = 0;
  request->pending.insert(request->pending.end(), data, data + bytes);
  return bytes;
}

bool StartsWithNoCase(const char* data, size_t size, std::string_view prefix) {
  if (size < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const char a = data[i];
    const char lower = (a >= 'A' && a <= 'Z') ? static_cast<char>(a - 'A' + 'a') : a;
    if (lower != prefix[i]) return false;
  }
  return true;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* request = static_cast<Request*>(user);
  const size_t bytes = size * count;
  request->lastByte = Clock::now();
  if (request->headersDone) return bytes;  // trailers of a chunked body
  if (StartsWithNoCase(data, bytes, "http/")) {
    request->lineHasLocation = false;
    return bytes;
  }
  if (StartsWithNoCase(data, bytes, "location:")) {
    request->lineHasLocation = true;
    return bytes;
  }
  const bool blank =
      (bytes == 2 && data[0] == '\r' && data[1] == '\n') || (bytes == 1 && data[0] == '\n');
  if (!blank) return bytes;
  long code = 0;
  curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &code);
  const bool interim = code >= 100 && code < 200;
  // libcurl follows this one itself (or fails the transfer when the limit is
  // reached): the caller only ever sees the final answer.
  const bool followed = request->follows && code >= 300 && code < 400 && request->lineHasLocation;
  if (!interim && !followed) request->headersDone = true;
  return bytes;
}

// Runs libcurl once and notes whether the transfer has ended.
void Perform(Request& request) {
  int running = 0;
  const CURLMcode code = curl_multi_perform(request.multi, &running);
  if (code != CURLM_OK) {
    request.Fail(CURLE_RECV_ERROR);
    return;
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(request.multi, &queued)) {
    if (message->msg != CURLMSG_DONE || message->easy_handle != request.easy) continue;
    request.done = true;
    request.result = message->data.result;
  }
}

// Drives the transfer until `ready()` holds or it has ended. Checks the abort
// flag between short waits, and fails a transfer that brings no byte for
// kStallLimit while we are waiting for it, or that is still going at its
// deadline: a server that drips a byte now and then is never silent for
// long, but never finishes either.
template <typename Ready>
void WaitFor(Request& request, Ready ready) {
  const auto waitStart = Clock::now();
  for (;;) {
    if (request.session->Aborted()) {
      request.Fail(CURLE_ABORTED_BY_CALLBACK);
      return;
    }
    Perform(request);
    if (ready() || request.done) return;
    const auto now = Clock::now();
    if (now - std::max(request.lastByte, waitStart) >= kStallLimit || now >= request.deadline) {
      request.Fail(CURLE_OPERATION_TIMEDOUT);
      return;
    }
    curl_multi_poll(request.multi, nullptr, 0, kPollSliceMs, nullptr);
  }
}

curl_slist* ParseHeaders(std::u16string_view headers) {
  if (headers.empty()) return nullptr;
  const std::string text = Utf16ToUtf8(headers);
  curl_slist* list = nullptr;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) list = curl_slist_append(list, text.substr(start, end - start).c_str());
    start = end + 1;
  }
  return list;
}

bool Configure(Request& request, const std::string& url) {
  CURL* easy = request.easy;
  bool ok = true;
  auto set = [&](CURLoption option, auto value) {
    ok = ok && curl_easy_setopt(easy, option, value) == CURLE_OK;
  };
  set(CURLOPT_URL, url.c_str());
  set(CURLOPT_USERAGENT, request.session->agent.c_str());
  set(CURLOPT_SHARE, SharedCache::Get().share());
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  set(CURLOPT_FOLLOWLOCATION, request.follows ? 1L : 0L);
  set(CURLOPT_MAXREDIRS, kMaxRedirects);
  // Addresses come from server answers: never let one reach a local file or
  // another protocol, directly or through a redirect.
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // One connection serves one transfer at a time: a multiplexed HTTP/2
  // connection in the shared cache could be driven from two threads at once.
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(CURLOPT_WRITEFUNCTION, &OnBody);
  set(CURLOPT_WRITEDATA, &request);
  set(CURLOPT_HEADERFUNCTION, &OnHeader);
  set(CURLOPT_HEADERDATA, &request);
  if (request.extraHeaders != nullptr) set(CURLOPT_HTTPHEADER, request.extraHeaders);
  return ok;
}

bool Failed(uint32_t code) {
  SetLastError(code);
  return false;
}

// One request, sent and driven until its final headers are in; null (last
// error set) when it failed before them.
std::unique_ptr<Request> OpenRequest(const std::shared_ptr<SessionState>& session,
                                     const std::string& url, std::u16string_view headers,
                                     bool follow, Clock::time_point deadline) {
  auto request = std::make_unique<Request>();
  request->session = session;
  request->follows = follow;
  request->deadline = deadline;
  if (!HandlesOfThisThread().Take(*request)) {
    SetLastError(CURLE_FAILED_INIT);
    return nullptr;
  }
  request->extraHeaders = ParseHeaders(headers);
  if (!Configure(*request, url)) {
    SetLastError(CURLE_BAD_FUNCTION_ARGUMENT);
    return nullptr;
  }
  if (curl_multi_add_handle(request->multi, request->easy) != CURLM_OK) {
    SetLastError(CURLE_FAILED_INIT);
    return nullptr;
  }
  request->added = true;
  request->lastByte = Clock::now();
  WaitFor(*request, [&] { return request->headersDone; });
  // Once the final headers are in, a later failure belongs to the body and
  // shows on InternetReadFile.
  if (!request->headersDone && request->done && request->result != CURLE_OK) {
    SetLastError(request->result);
    return nullptr;
  }
  long status = 0;
  curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status);
  if (status == 0) {
    SetLastError(CURLE_GOT_NOTHING);
    return nullptr;
  }
  return request;
}

// scheme://host:port of an address, lower case and with the default port
// filled in; empty when it does not parse.
std::string OriginOf(const std::string& url) {
  CURLU* parsed = curl_url();
  std::string origin;
  char* scheme = nullptr;
  char* host = nullptr;
  char* port = nullptr;
  if (parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
    origin = std::string(scheme) + "://" + host + ":" + port;
    for (char& c : origin)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  curl_free(scheme);
  curl_free(host);
  curl_free(port);
  curl_url_cleanup(parsed);
  return origin;
}

// The address a redirect answer sends the client to; false when the answer
// is no redirect.
bool RedirectTarget(Request& request, std::string& target) {
  long status = 0;
  curl_easy_getinfo(request.easy, CURLINFO_RESPONSE_CODE, &status);
  if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)
    return false;
  char* location = nullptr;
  if (curl_easy_getinfo(request.easy, CURLINFO_REDIRECT_URL, &location) != CURLE_OK ||
      location == nullptr)
    return false;
  target = location;
  return true;
}

// A request with headers of the caller's (credentials): redirects are
// followed here rather than by libcurl, which would pass the headers on to
// any host. They go to the first address's scheme, host and port only, and
// are dropped for good at the first redirect that leaves it.
std::unique_ptr<Request> OpenWithHeaders(const std::shared_ptr<SessionState>& session,
                                         std::string url, std::u16string_view headers,
                                         Clock::time_point deadline) {
  const std::string origin = OriginOf(url);
  for (long hops = 0;; ++hops) {
    auto request = OpenRequest(session, url, headers, /*follow=*/false, deadline);
    std::string next;
    if (request == nullptr || !RedirectTarget(*request, next)) return request;
    if (hops == kMaxRedirects) {
      SetLastError(CURLE_TOO_MANY_REDIRECTS);
      return nullptr;
    }
    if (origin.empty() || OriginOf(next) != origin) headers = {};
    url = std::move(next);
  }
}

}  // namespace

HINTERNET InternetOpenW(const char16_t* agent, uint32_t, const char16_t*, const char16_t*,
                        uint32_t) {
  if (SharedCache::Get().share() == nullptr) {
    SetLastError(CURLE_FAILED_INIT);
    return nullptr;
  }
  auto* session = new Session();
  session->state->agent = agent != nullptr ? Utf16ToUtf8(agent) : std::string();
  return session;
}

// The reload and resynchronise flags both fetch from the origin: this library
// keeps no local cache, so there is nothing to reload past or revalidate.
HINTERNET InternetOpenUrlW(HINTERNET session, const char16_t* url, const char16_t* headers,
                           uint32_t headersLength, uint32_t, uintptr_t) {
  auto* owner = dynamic_cast<Session*>(session);
  if (owner == nullptr || url == nullptr) {
    SetLastError(CURLE_BAD_FUNCTION_ARGUMENT);
    return nullptr;
  }
  std::u16string_view extra;
  if (headers != nullptr && headersLength != 0) {
    extra = headers;
    if (headersLength != UINT32_MAX) extra = extra.substr(0, headersLength);
  }
  const std::string address = Utf16ToUtf8(url);
  const auto deadline = Clock::now() + std::chrono::seconds(InternetTimeout());
  auto request = extra.empty() ? OpenRequest(owner->state, address, {}, /*follow=*/true, deadline)
                               : OpenWithHeaders(owner->state, address, extra, deadline);
  return request.release();
}

bool HttpQueryInfoW(HINTERNET handle, uint32_t infoLevel, void* buffer, uint32_t* bufferLength,
                    uint32_t*) {
  auto* request = dynamic_cast<Request*>(handle);
  if (request == nullptr || buffer == nullptr || bufferLength == nullptr)
    return Failed(CURLE_BAD_FUNCTION_ARGUMENT);
  if ((infoLevel & HTTP_QUERY_FLAG_NUMBER) == 0) return Failed(CURLE_BAD_FUNCTION_ARGUMENT);
  if (*bufferLength < sizeof(uint32_t)) {
    *bufferLength = sizeof(uint32_t);
    return Failed(CURLE_BAD_FUNCTION_ARGUMENT);
  }
  uint32_t value = 0;
  switch (infoLevel & ~HTTP_QUERY_FLAG_NUMBER) {
    case HTTP_QUERY_STATUS_CODE: {
      long status = 0;
      curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status);
      if (status <= 0) return Failed(CURLE_GOT_NOTHING);
      value = static_cast<uint32_t>(status);
      break;
    }
    case HTTP_QUERY_CONTENT_LENGTH: {
      curl_off_t length = -1;
      if (curl_easy_getinfo(request->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
        return Failed(CURLE_BAD_FUNCTION_ARGUMENT);
      // Absent (chunked, or ended by the close) or too large for the 4-byte
      // answer: no length. libcurl still fails a body shorter than announced.
      if (length < 0 || length > static_cast<curl_off_t>(UINT32_MAX))
        return Failed(CURLE_BAD_FUNCTION_ARGUMENT);
      value = static_cast<uint32_t>(length);
      break;
    }
    default:
      return Failed(CURLE_BAD_FUNCTION_ARGUMENT);
  }
  std::memcpy(buffer, &value, sizeof value);
  *bufferLength = sizeof value;
  return true;
}

bool InternetReadFile(HINTERNET handle, void* buffer, uint32_t toRead, uint32_t* read) {
  auto* request = dynamic_cast<Request*>(handle);
  if (read != nullptr) *read = 0;
  if (request == nullptr || read == nullptr || (buffer == nullptr && toRead > 0))
    return Failed(CURLE_BAD_FUNCTION_ARGUMENT);
  for (;;) {
    if (request->PendingSize() > 0) {
      const size_t n = std::min<size_t>(toRead, request->PendingSize());
      std::memcpy(buffer, request->pending.data() + request->pendingOffset, n);
      request->pendingOffset += n;
      *read = static_cast<uint32_t>(n);
      return true;
    }
    if (request->done) {
      if (request->result != CURLE_OK) return Failed(request->result);
      return true;
    }
    if (request->session->Aborted()) {
      request->Fail(CURLE_ABORTED_BY_CALLBACK);
      continue;
    }
    if (request->paused) {
      request->paused = false;
      request->pending.clear();
      request->pendingOffset = 0;
      // May hand the held piece straight to OnBody.
      if (curl_easy_pause(request->easy, CURLPAUSE_CONT) != CURLE_OK)
        request->Fail(CURLE_RECV_ERROR);
      continue;
    }
    WaitFor(*request, [&] { return request->PendingSize() > 0 || request->paused; });
  }
}

bool InternetCloseHandle(HINTERNET handle) {
  if (handle == nullptr) return Failed(CURLE_BAD_FUNCTION_ARGUMENT);
  delete handle;
  return true;
}

void InternetAbortAll() {
  abortAll.store(true);
}

void SetInternetTimeout(int seconds) {
  timeoutSeconds.store(seconds > 0 ? seconds : kDefaultInternetTimeoutSeconds);
}

int InternetTimeout() {
  return timeoutSeconds.load();
}

void InternetSetAbortFlag(HINTERNET session, const std::atomic<bool>* abort) {
  auto* owner = dynamic_cast<Session*>(session);
  if (owner != nullptr) owner->state->abort.store(abort);
}

}  // namespace quobble
