#pragma once
#include <ostream>
#include <string>

#include "cli/main_loop.h"
#include "search/search_screen.h"

namespace quobble {

// The search screen on a terminal. Labels and the query live here; messages
// go to `err` as "CAPTION: text", and the thumbnail progress is drawn as a bar
// on `err` when it is a terminal. The worker's calls are handed to the main
// thread through `loop` and waited for, so all output comes from one thread.
class CliScreen : public SearchScreen {
 public:
  static constexpr const char16_t* kInitialTitle = u"quobble - chip product search";

  CliScreen(MainLoop& loop, std::ostream& err, bool progressBar);

  void SetQuery(std::u16string query) { query_ = std::move(query); }

  std::u16string ReadQuery() override;
  void SetTitleText(const std::u16string& text) override { title_ = text; }
  void SetTotalText(const std::u16string& text) override { total_ = text; }
  void SetRangeText(const std::u16string& text) override { range_ = text; }
  void EnablePrevious(bool enabled) override { previous_ = enabled; }
  void EnableNext(bool enabled) override { next_ = enabled; }
  bool InsertRow(int) override { return true; }
  void SetRowCount(int count) override { rows_ = count; }
  void ShowMessage(const std::u16string& text, const std::u16string& caption) override;
  void WaitCursor() override {}
  void ArrowCursor() override {}
  void StartRetryTimer() override;
  void StopRetryTimer() override;
  void Progress(int percent) override;
  void ProgressDone() override;

  const std::u16string& title() const { return title_; }
  const std::u16string& totalText() const { return total_; }
  const std::u16string& rangeText() const { return range_; }
  bool previousEnabled() const { return previous_; }
  bool nextEnabled() const { return next_; }
  int rowCount() const { return rows_; }

 private:
  void ClearBar();

  MainLoop& loop_;
  std::ostream& err_;
  const bool progressBar_;
  bool barShown_ = false;
  std::u16string query_;
  std::u16string title_ = kInitialTitle;
  std::u16string total_, range_;
  bool previous_ = false, next_ = false;
  int rows_ = 0;
};

}  // namespace quobble
