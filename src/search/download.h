#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/device_fs.h"
#include "platform/internet.h"
#include "search/search_screen.h"

namespace quobble {

// Told after each read of the body: (3, bytes it brought, at most 4096).
using DownloadNotify = std::function<void(int, int64_t)>;

// The largest body a download takes: a server that streams for ever must not
// fill the disk. An answer of 100 items is about 45 KB, a thumbnail a few.
inline constexpr uint64_t kAnswerLimit = uint64_t{64} << 20;
inline constexpr uint64_t kThumbnailLimit = uint64_t{16} << 20;

struct DownloadMessage;

// One URL into one device file, in two steps: Fetch() writes the body to a
// temporary file beside the target, Publish() puts it in the target's place
// in one step. So a file under its final name is always whole, whatever
// interrupts the download, and a caller may read the temporary file (its
// own answer, whoever else downloads to the same target) before publishing.
// The temporary file goes when the download is destroyed unpublished.
class FileDownload {
 public:
  FileDownload(HINTERNET internet, std::u16string filePath, std::u16string url,
               MessageSink& messages, uint64_t limit = kAnswerLimit);
  ~FileDownload();
  FileDownload(const FileDownload&) = delete;
  FileDownload& operator=(const FileDownload&) = delete;

  // Headers the request carries ("Name: value\r\n" each), for the service
  // alone: the internet library drops them at a redirect to another host.
  void SetRequestHeaders(std::u16string headers) { headers_ = std::move(headers); }
  // 1 when the whole body is in the temporary file, 0 when the download
  // failed; every failure has already been shown through `messages`
  // (caption "error") and the temporary file is gone. The file may not be
  // on storage yet: Finish() waits for that.
  [[nodiscard]] int Fetch(int reload, const DownloadNotify& notify,
                          const std::atomic<bool>* cancel);
  // The temporary file's device path, once Fetch() succeeded. It can be
  // read at once.
  const std::u16string& TemporaryPath() const { return temporary_; }
  // Starts the temporary file on its way to storage, so that reading it
  // (the search parses its answer) overlaps the writing, and Finish() waits
  // for less.
  void StartWriteback() { file_.StartWriteback(); }
  // True once the temporary file is on storage; false (shown, the file
  // gone) when the sync fails.
  [[nodiscard]] bool Finish();
  // Finishes, then renames the temporary file over the target; false
  // (shown) when either fails.
  [[nodiscard]] bool Publish();

 private:
  bool OpenRequest(int reload);
  bool CheckStatusAndSize();
  bool CreateTemporary();
  // Copies the body; false when it stopped early (what went wrong is noted).
  bool CopyBody(const DownloadNotify& notify, const std::atomic<bool>* cancel);
  // Writes `filled` bytes to the file and empties the batch; false (shown)
  // when the write failed.
  bool WriteOut(const char* bytes, size_t& filled);
  bool BodyComplete();
  void Show(const std::u16string& text);
  void Show(const DownloadMessage& message, uint32_t number);
  void Discard();

  HINTERNET internet_;
  HINTERNET request_ = nullptr;
  const std::u16string filePath_;
  const std::u16string url_;
  MessageSink& messages_;
  const uint64_t limit_;
  std::u16string headers_;
  DeviceFile file_;
  std::u16string temporary_;
  uint32_t announced_ = 0;  // Content-Length; 0 when none was announced
  uint64_t received_ = 0;
  bool stoppedEarly_ = false;  // a failed read, a cancel or a failed write
  bool writeFailed_ = false;
  bool readFailed_ = false;
  uint32_t readError_ = 0;
  bool tooLarge_ = false;
};

// Fetches `url` into the device file `filePath`, replacing it only once the
// whole body is on storage. Returns 1 when the file is complete, 0 when the
// download failed (the file that was there before is left as it was); every
// failure has already been shown through `messages` (caption "error").
// `notify` and `cancel` may be empty/null. Never opens or closes `internet`.
[[nodiscard]] int DownloadFile(HINTERNET internet, const std::u16string& filePath,
                               const std::u16string& url, int reload, const DownloadNotify& notify,
                               const std::atomic<bool>* cancel, MessageSink& messages,
                               uint64_t limit = kAnswerLimit);

}  // namespace quobble
