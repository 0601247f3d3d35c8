// The desktop app launched as a process on the offscreen platform.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <cstdlib>

namespace {

QString AppPath() {
  const char* build = std::getenv("QUOBBLE_BUILD_DIR");
  return QString::fromLocal8Bit(build ? build : ".") + QStringLiteral("/src/ui/quobble");
}

class GuiProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.isValid());
    QDir(folder_.path()).mkpath(QStringLiteral("run"));
    QFile::setPermissions(Path("run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env_ = QProcessEnvironment::systemEnvironment();
    env_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env_.insert(QStringLiteral("XDG_RUNTIME_DIR"), Path("run"));
    env_.insert(QStringLiteral("XDG_CONFIG_HOME"), Path("config"));
    env_.insert(QStringLiteral("QUOBBLE_ROOT"), Path("root"));
    env_.remove(QStringLiteral("QUOBBLE_ENDPOINT"));
  }
  void TearDown() override {
    for (QProcess* process : {&first_, &second_}) {
      if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
      }
    }
  }

  QString Path(const char* name) const { return QDir(folder_.path()).filePath(name); }

  void Start(QProcess& process, const QStringList& arguments) {
    process.setProcessEnvironment(env_);
    process.start(AppPath(), arguments);
    ASSERT_TRUE(process.waitForStarted(5000)) << AppPath().toStdString();
  }

  // The running instance is ready once its local server listens.
  bool WaitUntilServing(QProcess& process, int timeoutMs = 15000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      if (QFileInfo::exists(Path("run") + QStringLiteral("/quobble"))) return true;
      if (process.state() == QProcess::NotRunning) return false;
      QThread::msleep(20);
    }
    return false;
  }

  QTemporaryDir folder_;
  QProcessEnvironment env_;
  QProcess first_;
  QProcess second_;
};

TEST_F(GuiProcessTest, SecondLaunchEndsWithOneWhileTheFirstRuns) {
  Start(first_, {});
  ASSERT_TRUE(WaitUntilServing(first_)) << first_.readAllStandardError().toStdString();
  // The first started the built-in catalogue without complaint.
  EXPECT_FALSE(first_.readAllStandardError().contains("could not start"));

  Start(second_, {QStringLiteral("--root"), Path("elsewhere"), QStringLiteral("한글")});
  ASSERT_TRUE(second_.waitForFinished(10000));
  EXPECT_EQ(second_.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second_.exitCode(), 1);
  EXPECT_FALSE(QFileInfo::exists(Path("elsewhere")));
  EXPECT_EQ(first_.state(), QProcess::Running);
}

TEST_F(GuiProcessTest, StaleLockOfAKilledInstanceIsTakenOver) {
  Start(first_, {});
  ASSERT_TRUE(WaitUntilServing(first_));
  first_.kill();
  ASSERT_TRUE(first_.waitForFinished(5000));
  ASSERT_TRUE(QFileInfo::exists(Path("run") + QStringLiteral("/quobble.lock")));

  // Not a second instance: it takes the lock over and keeps running.
  Start(second_, {});
  const QByteArray pid = QByteArray::number(second_.processId());
  bool owned = false;
  for (int waited = 0; waited < 15000 && !owned; waited += 20) {
    QFile lock(Path("run") + QStringLiteral("/quobble.lock"));
    owned = lock.open(QIODevice::ReadOnly) && lock.readLine().trimmed() == pid;
    if (!owned) QThread::msleep(20);
  }
  EXPECT_TRUE(owned);
  EXPECT_FALSE(second_.waitForFinished(500));
  EXPECT_EQ(second_.state(), QProcess::Running);
}

}  // namespace
