#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace quobble {

// One of the build's programs: the path in `variable` (set by CTest), else
// QUOBBLE_BUILD_DIR + `relative` ("/src/cli/quobble-cli").
std::string TestExecutable(const char* variable, const char* relative);

// A program run as its own process, with its three standard streams on pipes.
// The environment is the test's own, less QUOBBLE_ENDPOINT and QUOBBLE_ROOT
// (which would redirect a client), with `env` ("NAME=value") set over it.
class ChildProcess {
 public:
  ChildProcess(const std::string& exe, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {});
  // Kills the process if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0 || exited_; }
  pid_t Pid() const { return pid_; }

  // Writes `input` to standard input and closes it.
  void Input(const std::string& input);
  // Writes to standard input and keeps it open.
  void Write(const std::string& text);
  // Input, then reads both outputs to their end and waits for the exit. The
  // exit status, 128 + N after signal N, or -1 when it had to be killed.
  int Finish(const std::string& input = "", int timeoutMs = 30000);
  // Waits for the exit, reading meanwhile; the status as Finish gives it.
  int Wait(int timeoutMs = 10000);
  // Reads standard error (or output) until `text` shows up.
  bool WaitForError(const std::string& text, int timeoutMs = 10000);
  bool WaitForOutput(const std::string& text, int timeoutMs = 10000);
  // Reads what arrives until nothing has for `quietMs`.
  void Drain(int quietMs);
  void Signal(int signal);

  std::string out, err;

 private:
  bool WaitFor(const std::string& stream, const std::string& text, int timeoutMs);
  // Reads what either output has within `timeoutMs`; false when nothing came.
  bool ReadSome(int timeoutMs);
  bool Reap();

  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
};

}  // namespace quobble
