#include "search/download.h"

#include <memory>
#include <string>
#include <utility>

#include "platform/last_error.h"
#include "platform/text.h"
#include "search/service.h"

namespace quobble {

// "<prefix><URL or path><beforeNumber><number><afterNumber>".
struct DownloadMessage {
  std::u16string_view prefix;
  bool aboutFile;  // the file path follows the prefix, else the URL
  std::u16string_view beforeNumber;
  std::u16string_view afterNumber;
};

namespace {

constexpr uint32_t kChunk = 4096;
constexpr size_t kWriteBatch = 64 * 1024;
// The message buffer holds 256 wide characters, the terminator included.
constexpr size_t kMessageLimit = 255;

const std::u16string kCaption = u"error";

// `prefix + text + suffix`, cut to the message buffer. Only the inserted URL
// or path is shortened (its start kept, "…" marking the cut), so the fixed
// words and the error number always stay readable. A cut never splits a
// surrogate pair.
std::u16string Compose(std::u16string_view prefix, std::u16string_view text,
                       std::u16string_view suffix) {
  const size_t fixed = prefix.size() + suffix.size();
  std::u16string out(prefix);
  if (fixed + text.size() <= kMessageLimit) {
    out.append(text);
  } else if (fixed + 1 < kMessageLimit) {
    out.append(CutUtf16(text, kMessageLimit - fixed - 1));
    out.push_back(u'\u2026');
  }
  out.append(suffix);
  if (out.size() > kMessageLimit) out.resize(CutUtf16(out, kMessageLimit).size());
  return out;
}

constexpr DownloadMessage kOpenFailed{u"[DownloadFile] InternetOpenUrl(", false,
                                      u") Failed (Error Code = ", u")"};
constexpr DownloadMessage kBadStatus{u"[DownloadFile] HttpQueryInfo(", false, u") = ", u" "};
constexpr DownloadMessage kCreateFailed{u"[DownloadFile] CreateFile(", true,
                                        u") Failed, Error Code = ", u""};
// Not among the device's messages: a read that fails with no length announced
// now fails the download, and the callers take 0 as already reported.
constexpr DownloadMessage kReadFailed{u"[DownloadFile] InternetReadFile(", false,
                                      u") Failed (Error Code = ", u")"};
constexpr DownloadMessage kWriteFailed{u"[DownloadFile] WriteFile(", true,
                                       u") Failed, Error Code = ", u""};
// Nor these: a body over the limit, and a finished file that cannot take the
// target's place.
constexpr DownloadMessage kTooLarge{u"[DownloadFile] ", false, u" is larger than ",
                                    u" bytes: refused"};
constexpr DownloadMessage kMoveFailed{u"[DownloadFile] MoveFile(", true, u") Failed, Error Code = ",
                                      u""};
// A request that ran past its deadline, or brought nothing for too long: on
// opening or on reading, the same plain words.
constexpr DownloadMessage kTimedOut{u"[DownloadFile] ", false, u" timed out (Error Code = ", u")"};
constexpr uint32_t kTimeoutCode = 28;  // curl's operation timeout

}  // namespace

FileDownload::FileDownload(HINTERNET internet, std::u16string filePath, std::u16string url,
                           MessageSink& messages, uint64_t limit)
    : internet_(internet),
      filePath_(std::move(filePath)),
      url_(std::move(url)),
      messages_(messages),
      limit_(limit) {}

FileDownload::~FileDownload() {
  if (request_ != nullptr) InternetCloseHandle(request_);
  Discard();
}

void FileDownload::Show(const std::u16string& text) {
  messages_.ShowMessage(text, kCaption);
}

void FileDownload::Show(const DownloadMessage& message, uint32_t number) {
  std::u16string suffix(message.beforeNumber);
  AppendDecimal(suffix, static_cast<int32_t>(number));
  suffix += message.afterNumber;
  // The service key and any credentials in the address stay out of sight.
  const std::u16string shown =
      message.aboutFile ? filePath_ : Utf8ToUtf16(MaskSecrets(Utf16ToUtf8(url_)));
  Show(Compose(message.prefix, shown, suffix));
}

void FileDownload::Discard() {
  // Nothing to sync: the file goes.
  file_.Abandon();
  if (!temporary_.empty()) DeleteDeviceFile(temporary_);
  temporary_.clear();
}

int FileDownload::Fetch(int reload, const DownloadNotify& notify, const std::atomic<bool>* cancel) {
  if (!OpenRequest(reload) || !CheckStatusAndSize() || !CreateTemporary()) return 0;
  CopyBody(notify, cancel);
  InternetCloseHandle(request_);
  request_ = nullptr;
  if (BodyComplete()) return 1;
  Discard();
  return 0;
}

bool FileDownload::OpenRequest(int reload) {
  const uint32_t flags = reload != 0 ? (INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE)
                                     : INTERNET_FLAG_RESYNCHRONIZE;
  request_ =
      InternetOpenUrlW(internet_, url_.c_str(), headers_.empty() ? nullptr : headers_.c_str(),
                       static_cast<uint32_t>(headers_.size()), flags, 0);
  if (request_ == nullptr) {
    const uint32_t error = GetLastError();
    Show(error == kTimeoutCode ? kTimedOut : kOpenFailed, error);
  }
  return request_ != nullptr;
}

bool FileDownload::CheckStatusAndSize() {
  // When the status cannot be read it counts as not 200 and shows as 0.
  uint32_t status = 0;
  uint32_t size = sizeof status;
  if (!HttpQueryInfoW(request_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr) ||
      status != 200) {
    Show(kBadStatus, status);
    return false;
  }
  // Stays 0 when the answer announces no length.
  size = sizeof announced_;
  (void)HttpQueryInfoW(request_, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced_,
                       &size, nullptr);
  if (announced_ > limit_) {
    Show(kTooLarge, static_cast<uint32_t>(limit_));
    return false;
  }
  return true;
}

bool FileDownload::CreateTemporary() {
  if (file_.CreateBeside(filePath_, temporary_)) return true;
  Show(kCreateFailed, GetLastError());
  return false;
}

bool FileDownload::CopyBody(const DownloadNotify& notify, const std::atomic<bool>* cancel) {
  // Read 4096 bytes at a time, written a batch at a time: one write call for
  // a thumbnail or for every sixteen reads of an answer, not one per read.
  const std::unique_ptr<char[]> batch(new char[kWriteBatch]);
  size_t filled = 0;
  for (;;) {
    if (kWriteBatch - filled < kChunk && !WriteOut(batch.get(), filled)) return false;
    uint32_t got = 0;
    if (!InternetReadFile(request_, batch.get() + filled, kChunk, &got)) {
      readError_ = GetLastError();
      return !(stoppedEarly_ = readFailed_ = true);
    }
    // Before the end-of-data test: a cancel that comes with the last read
    // still counts.
    if (cancel != nullptr && cancel->load()) {
      Show(u"[DownloadFile] User canceled downloading");
      return !(stoppedEarly_ = true);
    }
    if (got == 0) return WriteOut(batch.get(), filled);
    if (received_ + got > limit_) {
      Show(kTooLarge, static_cast<uint32_t>(limit_));
      return !(stoppedEarly_ = tooLarge_ = true);
    }
    filled += got;
    if (notify) notify(3, got);
    received_ += got;
  }
}

bool FileDownload::WriteOut(const char* bytes, size_t& filled) {
  if (filled == 0) return true;
  if (!file_.Write(bytes, filled)) {
    Show(kWriteFailed, GetLastError());
    return !(stoppedEarly_ = writeFailed_ = true);
  }
  filled = 0;
  return true;
}

// After the body: true when the temporary file holds the whole body.
bool FileDownload::BodyComplete() {
  if (tooLarge_) return false;
  // Why the body stopped is worth saying when it ran out of time, whatever
  // the length says next.
  const bool timedOut = readFailed_ && readError_ == kTimeoutCode;
  if (timedOut) Show(kTimedOut, readError_);
  // Bytes that could not be written are not in the file, though received.
  if (announced_ != 0 && (announced_ != received_ || writeFailed_)) {
    Show(u"[DownloadFile] dwFileSize != dwRecv Download Failed");
    return false;
  }
  // Without an announced length only a clean end proves the file whole; a
  // truncated file kept here would be taken for a complete one.
  if (announced_ == 0 && stoppedEarly_) {
    if (readFailed_ && !timedOut) Show(kReadFailed, readError_);
    return false;
  }
  return true;
}

bool FileDownload::Finish() {
  if (temporary_.empty()) return false;
  if (!file_.IsOpen()) return true;
  // Closing syncs the file: when that fails the last bytes may not be on
  // storage, so the file is no more complete than after a failed write.
  if (file_.Close()) return true;
  Show(kWriteFailed, GetLastError());
  Discard();
  return false;
}

bool FileDownload::Publish() {
  if (!Finish()) return false;
  if (!RenameDeviceFile(temporary_, filePath_)) {
    Show(kMoveFailed, GetLastError());
    Discard();
    return false;
  }
  temporary_.clear();
  return true;
}

int DownloadFile(HINTERNET internet, const std::u16string& filePath, const std::u16string& url,
                 int reload, const DownloadNotify& notify, const std::atomic<bool>* cancel,
                 MessageSink& messages, uint64_t limit) {
  FileDownload download(internet, filePath, url, messages, limit);
  if (download.Fetch(reload, notify, cancel) == 0) return 0;
  return download.Publish() ? 1 : 0;
}

}  // namespace quobble
