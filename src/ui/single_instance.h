#pragma once
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;
class QLockFile;

namespace quobble {

// One running instance per user: a lock file and a local server in the
// user's runtime folder, both named after the application. A later launch
// finds the server, hands it its command line and ends.
class SingleInstance : public QObject {
  Q_OBJECT

 public:
  enum class Outcome {
    kFirst,            // this instance holds the lock and serves later launches
    kOtherActivated,   // another instance took our command line: exit 1
    kNotALock,         // the lock's name belongs to something else: 0x80070057
    kFailed,           // no lock could be made: 0x80004005
    kStartedUnlocked,  // locked, yet nobody answered: run anyway, unlocked
  };

  // `folder` empty: the per-user runtime folder.
  explicit SingleInstance(QString appName, QString folder = {});
  ~SingleInstance() override;

  // Up to `attempts` tries, `retryMs` apart, to become or reach the running
  // instance.
  Outcome Check(const QString& commandLine, int attempts = 25, int retryMs = 100);

  // The exit code for an outcome that ends this launch, else -1.
  static int ExitCodeFor(Outcome outcome);

  QString LockPath() const;
  QString ServerName() const;

 signals:
  // Another launch handed over its command line.
  void CommandLineReceived(const QString& commandLine);

 private:
  bool Listen();
  bool HandOver(const QString& commandLine);

  QString appName_;
  QString folder_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer* server_ = nullptr;
};

}  // namespace quobble
