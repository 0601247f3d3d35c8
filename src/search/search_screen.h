#pragma once
#include <string>

namespace quobble {

// Where messages for the user go: a modal box with one OK button. The caller
// waits until it is dismissed. May be called from the thumbnail worker.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void ShowMessage(const std::u16string& text, const std::u16string& caption) = 0;
};

// What the search core and the wish list need of a screen. The desktop app
// and the terminal client provide it; tests record it. Every operation runs on
// the UI thread except those marked "worker", which the thumbnail worker calls
// from its own thread and which return only once the UI thread has handled
// them (or the screen is closing).
class SearchScreen : public MessageSink {
 public:
  // The query box's text, at most 127 characters.
  virtual std::u16string ReadQuery() = 0;
  virtual void SetTitleText(const std::u16string& text) = 0;
  virtual void SetTotalText(const std::u16string& text) = 0;
  virtual void SetRangeText(const std::u16string& text) = 0;
  virtual void EnablePrevious(bool enabled) = 0;
  virtual void EnableNext(bool enabled) = 0;
  // Announces row `index`; false when the list refuses it.
  virtual bool InsertRow(int index) = 0;
  virtual void SetRowCount(int count) = 0;
  // ShowMessage (from MessageSink): UI thread or worker.
  virtual void WaitCursor() = 0;
  // UI thread or worker.
  virtual void ArrowCursor() = 0;
  // ID_RETRY_TIMER, every 200 ms; its ticks go to RunTimerTick (search_run.h).
  virtual void StartRetryTimer() = 0;
  virtual void StopRetryTimer() = 0;
  // Worker: ID_THUMB_PROGRESS with a percentage, then ID_THUMB_DONE.
  virtual void Progress(int percent) = 0;
  virtual void ProgressDone() = 0;
};

}  // namespace quobble
