#pragma once
#include <atomic>
#include <functional>
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

  // The search's wait for its answer. Runs `work` and returns once it has
  // ended: false when the user stopped it meanwhile (`stop` was raised and
  // `work` ended early). A screen that keeps a window alive runs `work` on a
  // thread of its own and goes on serving the window until it ends; `work`
  // then reaches the screen through ShowMessage alone. By default `work`
  // runs here, and nobody stops it.
  virtual bool AwaitWork(const std::function<void(const std::atomic<bool>& stop)>& work) {
    static const std::atomic<bool> never{false};
    work(never);
    return true;
  }
};

// A screen that shows nothing and takes every row, for reading answers with
// no window (the price watch's refresh, benchmarks, fuzzing): a variant
// overrides what it needs. Messages go nowhere unless overridden.
class SilentScreen : public SearchScreen {
 public:
  std::u16string ReadQuery() override { return {}; }
  void SetTitleText(const std::u16string&) override {}
  void SetTotalText(const std::u16string&) override {}
  void SetRangeText(const std::u16string&) override {}
  void EnablePrevious(bool) override {}
  void EnableNext(bool) override {}
  bool InsertRow(int) override { return true; }
  void SetRowCount(int) override {}
  void ShowMessage(const std::u16string&, const std::u16string&) override {}
  void WaitCursor() override {}
  void ArrowCursor() override {}
  void StartRetryTimer() override {}
  void StopRetryTimer() override {}
  void Progress(int) override {}
  void ProgressDone() override {}
};

// Passes messages on until `stop` is raised: a failure that comes after a
// stop is the stop itself, and nobody need be told.
class MessagesUntilStopped : public MessageSink {
 public:
  MessagesUntilStopped(MessageSink& messages, const std::atomic<bool>& stop)
      : messages_(messages), stop_(stop) {}
  void ShowMessage(const std::u16string& text, const std::u16string& caption) override {
    if (!stop_.load(std::memory_order_acquire)) messages_.ShowMessage(text, caption);
  }

 private:
  MessageSink& messages_;
  const std::atomic<bool>& stop_;
};

}  // namespace quobble
