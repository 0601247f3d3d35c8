#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

extern char** environ;

namespace quobble {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The test's environment less the variables that would redirect a client and
// those `extra` sets anew, then `extra`.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> dropped = {"QUOBBLE_ENDPOINT=", "QUOBBLE_ROOT="};
  for (const std::string& var : extra) dropped.push_back(var.substr(0, var.find('=') + 1));
  std::vector<std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string var = *e;
    bool keep = true;
    for (const std::string& name : dropped) keep = keep && var.rfind(name, 0) != 0;
    if (keep) vars.push_back(var);
  }
  vars.insert(vars.end(), extra.begin(), extra.end());
  return vars;
}

}  // namespace

std::string TestExecutable(const char* variable, const char* relative) {
  if (const char* exe = std::getenv(variable)) return exe;
  const char* build = std::getenv("QUOBBLE_BUILD_DIR");
  return std::string(build ? build : ".") + relative;
}

ChildProcess::ChildProcess(const std::string& exe, const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> all = {exe};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<std::string> vars = ChildEnvironment(env);
  std::vector<char*> argv = Pointers(all);
  std::vector<char*> envp = Pointers(vars);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_})
    if (fd >= 0) ::close(fd);
}

void ChildProcess::Input(const std::string& input) {
  if (in_ < 0) return;
  (void)!::write(in_, input.data(), input.size());
  ::close(in_);
  in_ = -1;
}

void ChildProcess::Write(const std::string& text) {
  if (in_ >= 0) (void)!::write(in_, text.data(), text.size());
}

int ChildProcess::Finish(const std::string& input, int timeoutMs) {
  Input(input);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while ((out_ >= 0 || err_ >= 0) && Clock::now() < deadline) ReadSome(50);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return Wait(static_cast<int>(std::max<int64_t>(0, left.count())));
}

int ChildProcess::Wait(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Reap()) {
    if (Clock::now() >= deadline) return -1;
    if (!ReadSome(10)) ::usleep(1000);
  }
  // What the process wrote last is still in the pipes.
  while (ReadSome(0)) {
  }
  return status_;
}

bool ChildProcess::Reap() {
  if (exited_) return true;
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  pid_ = -1;
  exited_ = true;
  status_ =
      WIFEXITED(status) ? WEXITSTATUS(status) : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
  return true;
}

bool ChildProcess::WaitForError(const std::string& text, int timeoutMs) {
  return WaitFor(err, text, timeoutMs);
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs) {
  return WaitFor(out, text, timeoutMs);
}

bool ChildProcess::WaitFor(const std::string& stream, const std::string& text, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (stream.find(text) == std::string::npos) {
    if (Clock::now() >= deadline || (out_ < 0 && err_ < 0)) return false;
    ReadSome(50);
  }
  return true;
}

void ChildProcess::Drain(int quietMs) {
  while (ReadSome(quietMs)) {
  }
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

bool ChildProcess::ReadSome(int timeoutMs) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  if (::poll(fds, 2, timeoutMs) <= 0) return false;
  bool got = false;
  for (int i = 0; i < 2; ++i) {
    int& fd = i == 0 ? out_ : err_;
    if (fd < 0 || fds[i].revents == 0) continue;
    char buffer[8192];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      ::close(fd);
      fd = -1;
    } else {
      (i == 0 ? out : err).append(buffer, static_cast<size_t>(n));
      got = true;
    }
  }
  return got;
}

}  // namespace quobble
