#pragma once
#include <atomic>
#include <cstdint>

namespace quobble {

// The device's internet library, five operations over libcurl's multi
// interface. Handles are opaque; a session and its requests belong to one
// thread. A thread reuses its connections across its sessions; threads do
// not share connections. Failures set the thread's last error code (GetLastError,
// platform/last_error.h) to curl's numeric code.
struct InternetHandleObject;
using HINTERNET = InternetHandleObject*;

inline constexpr uint32_t INTERNET_OPEN_TYPE_PRECONFIG = 0;
// There is no local cache here: both flags fetch from the origin.
inline constexpr uint32_t INTERNET_FLAG_RELOAD = 0x80000000;
inline constexpr uint32_t INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
inline constexpr uint32_t INTERNET_FLAG_RESYNCHRONIZE = 0x00000800;
inline constexpr uint32_t HTTP_QUERY_FLAG_NUMBER = 0x20000000;
inline constexpr uint32_t HTTP_QUERY_CONTENT_LENGTH = 5;
inline constexpr uint32_t HTTP_QUERY_STATUS_CODE = 19;

HINTERNET InternetOpenW(const char16_t* agent, uint32_t accessType, const char16_t* proxy,
                        const char16_t* proxyBypass, uint32_t flags);
// Sends the request and returns once the status line and headers are in (or
// the transfer failed before them: then null, last error set).
HINTERNET InternetOpenUrlW(HINTERNET session, const char16_t* url, const char16_t* headers,
                           uint32_t headersLength, uint32_t flags, uintptr_t context);
// HTTP_QUERY_STATUS_CODE or HTTP_QUERY_CONTENT_LENGTH with HTTP_QUERY_FLAG_NUMBER
// into a 4-byte buffer. False (buffer untouched) when the answer has no such
// value.
bool HttpQueryInfoW(HINTERNET request, uint32_t infoLevel, void* buffer, uint32_t* bufferLength,
                    uint32_t* index);
// At most `toRead` bytes; true with *read == 0 at the end of the body; false
// when the transfer failed (reset, stall, truncated body).
bool InternetReadFile(HINTERNET request, void* buffer, uint32_t toRead, uint32_t* read);
bool InternetCloseHandle(HINTERNET handle);

// Beyond the device's library: requests on this session fail promptly once
// `*abort` is true (checked while waiting for the network), so that a worker
// can be stopped in the middle of a stalled download. The flag must outlive
// the session.
void InternetSetAbortFlag(HINTERNET session, const std::atomic<bool>* abort);
// Every request of every session fails promptly from now on, for good: the
// process is ending. Async-signal-safe.
void InternetAbortAll();

// A session that closes itself on every way out; null get() when it could
// not be opened. Its requests fail promptly once `*abort` is true, when
// given (InternetSetAbortFlag).
class InternetSession {
 public:
  explicit InternetSession(const char16_t* agent, const std::atomic<bool>* abort = nullptr)
      : handle_(InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)) {
    if (handle_ != nullptr && abort != nullptr) InternetSetAbortFlag(handle_, abort);
  }
  ~InternetSession() {
    if (handle_ != nullptr) InternetCloseHandle(handle_);
  }
  InternetSession(const InternetSession&) = delete;
  InternetSession& operator=(const InternetSession&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

// The longest a request may take, from its opening to the end of its body,
// redirects included, whatever trickles in meanwhile: past it the request
// fails with curl's timeout code (28). For requests opened from now on, on
// any thread; 60 s unless set.
inline constexpr int kDefaultInternetTimeoutSeconds = 60;
void SetInternetTimeout(int seconds);
int InternetTimeout();

}  // namespace quobble
