#pragma once
#include <functional>
#include <string>

namespace quobble {

// Line editing and history on a terminal (libedit's readline interface),
// fed one character at a time from the client's own poll loop, so that the
// thumbnail worker's calls are still served while a line is typed. One at a
// time; reads standard input.
class LineEditor {
 public:
  // `onLine` gets each line as entered; `onEnd` the end of the input (Ctrl-D).
  LineEditor(std::string prompt, std::function<void(std::string)> onLine,
             std::function<void()> onEnd);
  ~LineEditor();
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  // Standard input is readable.
  void ReadChar();
  // The prompt goes while commands print; it comes back with Resume().
  void Pause();
  void Resume();

 private:
  static void OnLine(char* line);

  std::string prompt_;
  std::function<void(std::string)> onLine_;
  std::function<void()> onEnd_;
  bool installed_ = false;
};

}  // namespace quobble
