#include "ui/single_instance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>

#include "ui/ui_test_env.h"

namespace quobble {
namespace {

constexpr uid_t kNobody = 65534;

// Sets an environment variable for one scope (unset when `value` is empty).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const QString& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value.isEmpty())
      ::unsetenv(name);
    else
      ::setenv(name, value.toLocal8Bit().constData(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

mode_t ModeOf(const QString& path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Runs `body` in a child process that has become another user; returns its
// exit status.
int AsAnotherUser(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(99);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

sockaddr_un SocketAddress(const QString& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path - 1);
  return address;
}

class SingleInstanceTest : public ::testing::Test {
 protected:
  QTemporaryDir folder_;
};

TEST_F(SingleInstanceTest, SecondLaunchHandsOverItsWords) {
  SingleInstance first(QStringLiteral("quobble"), folder_.path());
  ASSERT_EQ(first.Check(QString()), SingleInstance::Outcome::kFirst);
  QStringList received;
  QObject::connect(&first, &SingleInstance::WordsReceived,
                   [&](const QString& words) { received << words; });

  SingleInstance second(QStringLiteral("quobble"), folder_.path());
  const auto outcome = second.Check(QStringLiteral("한글 mouse"));
  EXPECT_EQ(outcome, SingleInstance::Outcome::kOtherActivated);
  EXPECT_EQ(SingleInstance::ExitCodeFor(outcome), 1);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !received.isEmpty(); }));
  EXPECT_EQ(received, QStringList{QStringLiteral("한글 mouse")});

  // No words still bring the first forward.
  SingleInstance third(QStringLiteral("quobble"), folder_.path());
  EXPECT_EQ(third.Check(QString()), SingleInstance::Outcome::kOtherActivated);
  ASSERT_TRUE(ProcessEventsUntil([&] { return received.size() == 2; }));
  EXPECT_EQ(received.last(), QString());
}

TEST_F(SingleInstanceTest, LockHeldButNobodyAnswersStartsUnlocked) {
  QLockFile held(QDir(folder_.path()).filePath(QStringLiteral("quobble.lock")));
  ASSERT_TRUE(held.tryLock(0));
  SingleInstance instance(QStringLiteral("quobble"), folder_.path());
  EXPECT_EQ(instance.Check(QString(), 3, 5), SingleInstance::Outcome::kStartedUnlocked);
  EXPECT_EQ(SingleInstance::ExitCodeFor(SingleInstance::Outcome::kStartedUnlocked), -1);
}

// The lock and the server live where only this user can go: the runtime
// folder when it is private, else the user's own state folder, never the
// shared temporary folder.
TEST_F(SingleInstanceTest, TheMeetingPlaceIsAFolderOfTheUsersOwn) {
  const QString runtime = folder_.filePath(QStringLiteral("run"));
  const QString open = folder_.filePath(QStringLiteral("open"));
  const QString state = folder_.filePath(QStringLiteral("state"));
  const QString fallback = QDir(state).filePath(QStringLiteral("quobble"));
  QDir().mkpath(runtime);
  ::chmod(QFile::encodeName(runtime).constData(), 0700);
  QDir().mkpath(open);
  ::chmod(QFile::encodeName(open).constData(), 0777);
  const ScopedEnv stateHome("XDG_STATE_HOME", state);
  const struct {
    QString runtimeDir;
    QString expected;
  } cases[] = {{runtime, runtime}, {open, fallback}, {QString(), fallback}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.runtimeDir.toStdString());
    const ScopedEnv runtimeDir("XDG_RUNTIME_DIR", c.runtimeDir);
    EXPECT_EQ(SingleInstance::PrivateFolder(), c.expected);
    EXPECT_EQ(ModeOf(c.expected) & 0777, 0700u);
  }
  // A fallback folder left open to others is closed again.
  ::chmod(QFile::encodeName(fallback).constData(), 0755);
  const ScopedEnv noRuntime("XDG_RUNTIME_DIR", QString());
  EXPECT_EQ(SingleInstance::PrivateFolder(), fallback);
  EXPECT_EQ(ModeOf(fallback) & 0777, 0700u);
}

// Even where another user could reach the socket, nothing passes between
// two users: the running instance ignores a stranger's words...
TEST_F(SingleInstanceTest, AStrangersWordsAreIgnored) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ::chmod(QFile::encodeName(folder_.path()).constData(), 0777);

  SingleInstance first(QStringLiteral("quobble"), folder_.path());
  ASSERT_EQ(first.Check(QString()), SingleInstance::Outcome::kFirst);
  int received = 0;
  QObject::connect(&first, &SingleInstance::WordsReceived, [&](const QString&) { ++received; });
  ::chmod(QFile::encodeName(first.ServerName()).constData(), 0777);
  const sockaddr_un server = SocketAddress(first.ServerName());
  const int sent = AsAnotherUser([&] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) return 2;
    return ::write(fd, "stranger", 8) == 8 ? 0 : 3;
  });
  EXPECT_EQ(sent, 0);
  ProcessEventsFor(300);
  EXPECT_EQ(received, 0);
}

// ...and a launch hands nothing to a stranger's server where ours would be.
TEST_F(SingleInstanceTest, ALaunchHandsNothingToAStranger) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ::chmod(QFile::encodeName(folder_.path()).constData(), 0777);
  QLockFile held(QDir(folder_.path()).filePath(QStringLiteral("quobble.lock")));
  ASSERT_TRUE(held.tryLock(0));
  const sockaddr_un trap = SocketAddress(QDir(folder_.path()).filePath(QStringLiteral("quobble")));
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(99);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&trap), sizeof trap) != 0 ||
        ::listen(fd, 4) != 0)
      ::_exit(2);
    (void)!::write(ready[1], "r", 1);
    const int peer = ::accept(fd, nullptr, nullptr);
    char buffer[64];
    const ssize_t got = ::read(peer, buffer, sizeof buffer);
    ::_exit(got > 0 ? 1 : 0);
  }
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  SingleInstance launch(QStringLiteral("quobble"), folder_.path());
  EXPECT_EQ(launch.Check(QStringLiteral("secret"), 2, 5),
            SingleInstance::Outcome::kStartedUnlocked);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the stranger got our words";
  ::close(ready[0]);
  ::close(ready[1]);
}

}  // namespace
}  // namespace quobble
