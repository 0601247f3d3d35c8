#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "search/search_screen.h"

namespace quobble {

// A SearchScreen for tests: records every call in order, as text lines
// ("message error: [DownloadFile] ...", "progress 33", "done", "rows 3", ...),
// and keeps the latest state of each control. Thread-safe: the thumbnail
// worker calls it from its own thread.
class RecordingScreen : public SearchScreen {
 public:
  // The query box's text.
  void SetQuery(std::u16string query);

  std::u16string ReadQuery() override;
  void SetTitleText(const std::u16string& text) override;
  void SetTotalText(const std::u16string& text) override;
  void SetRangeText(const std::u16string& text) override;
  void EnablePrevious(bool enabled) override;
  void EnableNext(bool enabled) override;
  bool InsertRow(int index) override;
  void SetRowCount(int count) override;
  void ShowMessage(const std::u16string& text, const std::u16string& caption) override;
  void WaitCursor() override;
  void ArrowCursor() override;
  void StartRetryTimer() override;
  void StopRetryTimer() override;
  void Progress(int percent) override;
  void ProgressDone() override;

  // Every call so far, in order (UTF-8).
  std::vector<std::string> Events() const;
  // Only the messages, as "CAPTION: TEXT".
  std::vector<std::string> Messages() const;
  void ClearEvents();
  // Blocks until ProgressDone has been called `count` times in all, or the
  // timeout passes; false on timeout.
  bool WaitForDone(int count = 1, int timeoutMs = 10000);

  // Latest state.
  std::string title() const;
  std::string totalText() const;
  std::string rangeText() const;
  bool previousEnabled() const;
  bool nextEnabled() const;
  int rowCount() const;
  bool timerRunning() const;
  int doneCount() const;

  // Makes InsertRow refuse rows from this index on (-1: accept all).
  void RefuseRowsFrom(int index);

 private:
  void Record(std::string event);

  mutable std::mutex mutex_;
  std::condition_variable doneChanged_;
  std::vector<std::string> events_;
  std::u16string query_;
  std::string title_, total_, range_;
  bool previous_ = false, next_ = false, timer_ = false;
  int rows_ = 0;
  int done_ = 0;
  int refuseFrom_ = -1;
};

}  // namespace quobble
