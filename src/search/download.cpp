#include "search/download.h"

#include <string>

#include "platform/device_fs.h"
#include "platform/last_error.h"
#include "platform/text.h"

namespace quobble {

namespace {

constexpr uint32_t kChunk = 4096;
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

struct Template {
  std::u16string_view prefix;
  bool aboutFile;  // the file path follows the prefix, else the URL
  std::u16string_view beforeNumber;
  std::u16string_view afterNumber;
};

constexpr Template kOpenFailed{u"[DownloadFile] InternetOpenUrl(", false,
                               u") Failed (Error Code = ", u")"};
constexpr Template kBadStatus{u"[DownloadFile] HttpQueryInfo(", false, u") = ", u" "};
constexpr Template kCreateFailed{u"[DownloadFile] CreateFile(", true, u") Failed, Error Code = ",
                                 u""};
// Not among the device's messages: a read that fails with no length announced
// now fails the download, and the callers take 0 as already reported.
constexpr Template kReadFailed{u"[DownloadFile] InternetReadFile(", false,
                               u") Failed (Error Code = ", u")"};
constexpr Template kWriteFailed{u"[DownloadFile] WriteFile(", true, u") Failed, Error Code = ",
                                u""};

class Download {
 public:
  Download(const std::u16string& filePath, const std::u16string& url, MessageSink& messages)
      : filePath_(filePath), url_(url), messages_(messages) {}

  void Show(const std::u16string& text) { messages_.ShowMessage(text, kCaption); }
  // "<prefix><URL or path><beforeNumber><number><afterNumber>", the number
  // shown as a signed int.
  void Show(const Template& t, uint32_t number) {
    std::u16string suffix(t.beforeNumber);
    AppendDecimal(suffix, static_cast<int32_t>(number));
    suffix += t.afterNumber;
    Show(Compose(t.prefix, t.aboutFile ? filePath_ : url_, suffix));
  }

 private:
  const std::u16string& filePath_;
  const std::u16string& url_;
  MessageSink& messages_;
};

}  // namespace

int DownloadFile(HINTERNET internet, const std::u16string& filePath, const std::u16string& url,
                 int reload, const DownloadNotify& notify, const std::atomic<bool>* cancel,
                 MessageSink& messages) {
  Download download(filePath, url, messages);
  const uint32_t flags = reload != 0 ? (INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE)
                                     : INTERNET_FLAG_RESYNCHRONIZE;
  HINTERNET request = InternetOpenUrlW(internet, url.c_str(), nullptr, 0, flags, 0);
  if (request == nullptr) {
    download.Show(kOpenFailed, GetLastError());
    return 0;
  }

  // When the status cannot be read it counts as not 200 and shows as 0.
  uint32_t status = 0;
  uint32_t size = sizeof status;
  if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr) ||
      status != 200) {
    download.Show(kBadStatus, status);
    InternetCloseHandle(request);
    return 0;
  }

  DeviceFile file;
  if (!file.CreateAlways(filePath)) {
    download.Show(kCreateFailed, GetLastError());
    InternetCloseHandle(request);
    return 0;
  }

  // Stays 0 when the answer announces no length.
  uint32_t fileSize = 0;
  size = sizeof fileSize;
  (void)HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &fileSize,
                       &size, nullptr);

  uint64_t received = 0;
  bool stoppedEarly = false;  // a failed read, a cancel or a failed write
  bool writeFailed = false;
  bool readFailed = false;
  uint32_t readError = 0;
  char chunk[kChunk];
  for (;;) {
    uint32_t got = 0;
    if (!InternetReadFile(request, chunk, kChunk, &got)) {
      readError = GetLastError();
      stoppedEarly = readFailed = true;
      break;
    }
    // Before the end-of-data test: a cancel that comes with the last read
    // still counts.
    if (cancel != nullptr && cancel->load()) {
      download.Show(u"[DownloadFile] User canceled downloading");
      stoppedEarly = true;
      break;
    }
    if (got == 0) break;
    if (!file.Write(chunk, got)) {
      download.Show(kWriteFailed, GetLastError());
      stoppedEarly = writeFailed = true;
      break;
    }
    if (notify) notify(3, got);
    received += got;
  }

  InternetCloseHandle(request);
  // Closing syncs the file: when that fails the last bytes may not be on
  // storage, so the file is no more complete than after a failed write.
  if (!file.Close() && !writeFailed) {
    download.Show(kWriteFailed, GetLastError());
    DeleteDeviceFile(filePath);
    return 0;
  }

  if (fileSize != 0 && fileSize != received) {
    download.Show(u"[DownloadFile] dwFileSize != dwRecv Download Failed");
    DeleteDeviceFile(filePath);
    return 0;
  }
  // Without an announced length only a clean end proves the file whole; a
  // truncated file kept here would be taken for a complete one.
  if (fileSize == 0 && stoppedEarly) {
    if (readFailed) download.Show(kReadFailed, readError);
    DeleteDeviceFile(filePath);
    return 0;
  }
  return 1;
}

}  // namespace quobble
