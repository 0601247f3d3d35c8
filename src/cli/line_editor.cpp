#include "cli/line_editor.h"

#include <editline/readline.h>

#include <cstdlib>

namespace quobble {

namespace {
// The library's callback carries no context.
LineEditor* active = nullptr;
}  // namespace

LineEditor::LineEditor(std::string prompt, std::function<void(std::string)> onLine,
                       std::function<void()> onEnd)
    : prompt_(std::move(prompt)), onLine_(std::move(onLine)), onEnd_(std::move(onEnd)) {
  active = this;
  Resume();
}

LineEditor::~LineEditor() {
  Pause();
  active = nullptr;
}

void LineEditor::ReadChar() {
  if (installed_) rl_callback_read_char();
}

void LineEditor::Pause() {
  if (!installed_) return;
  rl_callback_handler_remove();
  installed_ = false;
}

void LineEditor::Resume() {
  if (installed_) return;
  rl_callback_handler_install(prompt_.c_str(), &LineEditor::OnLine);
  installed_ = true;
}

void LineEditor::OnLine(char* line) {
  LineEditor* self = active;
  if (self == nullptr) {
    std::free(line);
    return;
  }
  // The commands of this line print before the next prompt shows.
  self->Pause();
  if (line == nullptr) {
    self->onEnd_();
    return;
  }
  std::string text(line);
  std::free(line);
  if (!text.empty()) add_history(text.c_str());
  self->onLine_(std::move(text));
}

}  // namespace quobble
