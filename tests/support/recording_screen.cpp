#include "tests/support/recording_screen.h"

#include <chrono>

#include "platform/text.h"

namespace quobble {

void RecordingScreen::Record(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

void RecordingScreen::SetQuery(std::u16string query) {
  std::lock_guard lock(mutex_);
  query_ = std::move(query);
}

std::u16string RecordingScreen::ReadQuery() {
  std::lock_guard lock(mutex_);
  events_.push_back("read query");
  return query_.substr(0, 127);
}

void RecordingScreen::SetTitleText(const std::u16string& text) {
  std::lock_guard lock(mutex_);
  title_ = Utf16ToUtf8(text);
  events_.push_back("title " + title_);
}

void RecordingScreen::SetTotalText(const std::u16string& text) {
  std::lock_guard lock(mutex_);
  total_ = Utf16ToUtf8(text);
  events_.push_back("total " + total_);
}

void RecordingScreen::SetRangeText(const std::u16string& text) {
  std::lock_guard lock(mutex_);
  range_ = Utf16ToUtf8(text);
  events_.push_back("range " + range_);
}

void RecordingScreen::EnablePrevious(bool enabled) {
  std::lock_guard lock(mutex_);
  previous_ = enabled;
  events_.push_back(enabled ? "prev on" : "prev off");
}

void RecordingScreen::EnableNext(bool enabled) {
  std::lock_guard lock(mutex_);
  next_ = enabled;
  events_.push_back(enabled ? "next on" : "next off");
}

bool RecordingScreen::InsertRow(int index) {
  std::lock_guard lock(mutex_);
  const bool accepted = refuseFrom_ < 0 || index < refuseFrom_;
  events_.push_back("insert " + std::to_string(index) + (accepted ? "" : " refused"));
  return accepted;
}

void RecordingScreen::SetRowCount(int count) {
  std::lock_guard lock(mutex_);
  rows_ = count;
  events_.push_back("rows " + std::to_string(count));
}

void RecordingScreen::ShowMessage(const std::u16string& text, const std::u16string& caption) {
  Record("message " + Utf16ToUtf8(caption) + ": " + Utf16ToUtf8(text));
}

void RecordingScreen::WaitCursor() {
  Record("wait cursor");
}
void RecordingScreen::ArrowCursor() {
  Record("arrow cursor");
}

void RecordingScreen::StartRetryTimer() {
  std::lock_guard lock(mutex_);
  timer_ = true;
  events_.push_back("timer start");
}

void RecordingScreen::StopRetryTimer() {
  std::lock_guard lock(mutex_);
  timer_ = false;
  events_.push_back("timer stop");
}

void RecordingScreen::Progress(int percent) {
  Record("progress " + std::to_string(percent));
}

void RecordingScreen::ProgressDone() {
  {
    std::lock_guard lock(mutex_);
    ++done_;
    events_.push_back("done");
  }
  doneChanged_.notify_all();
}

std::vector<std::string> RecordingScreen::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::string> RecordingScreen::Messages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& e : events_)
    if (e.rfind("message ", 0) == 0) out.push_back(e.substr(8));
  return out;
}

void RecordingScreen::ClearEvents() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

bool RecordingScreen::WaitForDone(int count, int timeoutMs) {
  std::unique_lock lock(mutex_);
  return doneChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return done_ >= count; });
}

std::string RecordingScreen::title() const {
  std::lock_guard lock(mutex_);
  return title_;
}
std::string RecordingScreen::totalText() const {
  std::lock_guard lock(mutex_);
  return total_;
}
std::string RecordingScreen::rangeText() const {
  std::lock_guard lock(mutex_);
  return range_;
}
bool RecordingScreen::previousEnabled() const {
  std::lock_guard lock(mutex_);
  return previous_;
}
bool RecordingScreen::nextEnabled() const {
  std::lock_guard lock(mutex_);
  return next_;
}
int RecordingScreen::rowCount() const {
  std::lock_guard lock(mutex_);
  return rows_;
}
bool RecordingScreen::timerRunning() const {
  std::lock_guard lock(mutex_);
  return timer_;
}
int RecordingScreen::doneCount() const {
  std::lock_guard lock(mutex_);
  return done_;
}
void RecordingScreen::RefuseRowsFrom(int index) {
  std::lock_guard lock(mutex_);
  refuseFrom_ = index;
}

}  // namespace quobble
