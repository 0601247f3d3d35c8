#include "cli/cli_screen.h"

#include <chrono>

#include "cli/cli_output.h"
#include "platform/stop_signals.h"
#include "search/search_state.h"

namespace quobble {

namespace {
constexpr int kBarWidth = 30;
}

CliScreen::CliScreen(MainLoop& loop, std::ostream& err, bool progressBar)
    : loop_(loop), err_(err), progressBar_(progressBar) {}

std::u16string CliScreen::ReadQuery() {
  return LimitQuery(query_);
}

void CliScreen::ShowMessage(const std::u16string& text, const std::u16string& caption) {
  // After Ctrl-C the downloads fail on purpose: nothing to tell.
  if (StopSignal() != 0) return;
  loop_.Invoke([&] {
    ClearBar();
    err_ << TerminalText(caption) << ": " << TerminalText(text) << '\n' << std::flush;
  });
}

void CliScreen::StartRetryTimer() {
  loop_.StartTimer(std::chrono::milliseconds(200));
}

void CliScreen::StopRetryTimer() {
  loop_.StopTimer();
}

void CliScreen::Progress(int percent) {
  loop_.Invoke([&] {
    if (!progressBar_) return;
    const int clamped = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
    const int filled = clamped * kBarWidth / 100;
    err_ << "\r[" << std::string(static_cast<size_t>(filled), '#')
         << std::string(static_cast<size_t>(kBarWidth - filled), '-') << "] " << clamped << "% "
         << std::flush;
    barShown_ = true;
  });
}

void CliScreen::ProgressDone() {
  loop_.Invoke([&] { ClearBar(); });
}

void CliScreen::ClearBar() {
  if (!barShown_) return;
  err_ << "\r\033[K" << std::flush;
  barShown_ = false;
}

}  // namespace quobble
