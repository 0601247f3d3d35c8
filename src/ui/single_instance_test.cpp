#include "ui/single_instance.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSysInfo>
#include <QTemporaryDir>

#include "ui/ui_test_env.h"

namespace quobble {
namespace {

// A pid that belonged to a process which has ended.
qint64 DeadPid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

class SingleInstanceTest : public ::testing::Test {
 protected:
  QTemporaryDir folder_;
};

TEST_F(SingleInstanceTest, SecondLaunchHandsOverItsCommandLine) {
  SingleInstance first(QStringLiteral("quobble"), folder_.path());
  ASSERT_EQ(first.Check(QString()), SingleInstance::Outcome::kFirst);
  QStringList received;
  QObject::connect(&first, &SingleInstance::CommandLineReceived,
                   [&](const QString& line) { received << line; });

  SingleInstance second(QStringLiteral("quobble"), folder_.path());
  const auto outcome = second.Check(QStringLiteral("--root /x 한글"));
  EXPECT_EQ(outcome, SingleInstance::Outcome::kOtherActivated);
  EXPECT_EQ(SingleInstance::ExitCodeFor(outcome), 1);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !received.isEmpty(); }));
  EXPECT_EQ(received, QStringList{QStringLiteral("--root /x 한글")});

  // An empty command line still brings the first forward.
  SingleInstance third(QStringLiteral("quobble"), folder_.path());
  EXPECT_EQ(third.Check(QString()), SingleInstance::Outcome::kOtherActivated);
  ASSERT_TRUE(ProcessEventsUntil([&] { return received.size() == 2; }));
  EXPECT_EQ(received.last(), QString());
}

TEST_F(SingleInstanceTest, LockOfAKilledInstanceIsTakenOver) {
  QFile stale(QDir(folder_.path()).filePath(QStringLiteral("quobble.lock")));
  ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  stale.write(
      QStringLiteral("%1\nquobble\n%2\n").arg(DeadPid()).arg(QSysInfo::machineHostName()).toUtf8());
  stale.close();
  SingleInstance instance(QStringLiteral("quobble"), folder_.path());
  EXPECT_EQ(instance.Check(QString(), 2, 1), SingleInstance::Outcome::kFirst);
}

TEST_F(SingleInstanceTest, LockHeldButNobodyAnswersStartsUnlocked) {
  QLockFile held(QDir(folder_.path()).filePath(QStringLiteral("quobble.lock")));
  ASSERT_TRUE(held.tryLock(0));
  SingleInstance instance(QStringLiteral("quobble"), folder_.path());
  EXPECT_EQ(instance.Check(QString(), 3, 5), SingleInstance::Outcome::kStartedUnlocked);
  EXPECT_EQ(SingleInstance::ExitCodeFor(SingleInstance::Outcome::kStartedUnlocked), -1);
}

TEST_F(SingleInstanceTest, FailuresMapToTheirExitCodes) {
  ASSERT_TRUE(QDir(folder_.path()).mkdir(QStringLiteral("quobble.lock")));
  SingleInstance blocked(QStringLiteral("quobble"), folder_.path());
  const auto notALock = blocked.Check(QString(), 1, 0);
  EXPECT_EQ(notALock, SingleInstance::Outcome::kNotALock);
  EXPECT_EQ(SingleInstance::ExitCodeFor(notALock), static_cast<int>(0x80070057u));

  SingleInstance nameless(QString(), folder_.path());
  const auto failed = nameless.Check(QString(), 1, 0);
  EXPECT_EQ(failed, SingleInstance::Outcome::kFailed);
  EXPECT_EQ(SingleInstance::ExitCodeFor(failed), static_cast<int>(0x80004005u));
}

}  // namespace
}  // namespace quobble
