#include "ui/single_instance.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QLockFile>
#include <QTemporaryDir>

#include "ui/ui_test_env.h"

namespace quobble {
namespace {

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

TEST_F(SingleInstanceTest, LockHeldButNobodyAnswersStartsUnlocked) {
  QLockFile held(QDir(folder_.path()).filePath(QStringLiteral("quobble.lock")));
  ASSERT_TRUE(held.tryLock(0));
  SingleInstance instance(QStringLiteral("quobble"), folder_.path());
  EXPECT_EQ(instance.Check(QString(), 3, 5), SingleInstance::Outcome::kStartedUnlocked);
  EXPECT_EQ(SingleInstance::ExitCodeFor(SingleInstance::Outcome::kStartedUnlocked), -1);
}

}  // namespace
}  // namespace quobble
