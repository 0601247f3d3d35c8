#pragma once
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;
class QLockFile;

namespace quobble {

// One running instance per user: a lock file and a local server in a folder
// only the user can reach, both named after the application. A later launch
// finds the server, hands it its query words and ends. Both ends make sure
// the other runs as the same user before anything is handed over.
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

  // `folder` empty: PrivateFolder().
  explicit SingleInstance(QString appName, QString folder = {});
  ~SingleInstance() override;

  // Up to `attempts` tries, `retryMs` apart, to become or reach the running
  // instance; `words` go to the running one.
  Outcome Check(const QString& words, int attempts = 25, int retryMs = 100);

  // The exit code for an outcome that ends this launch, else -1.
  static int ExitCodeFor(Outcome outcome);

  // The user's own folder for the lock and the server (mode 0700, owned by
  // the user): $XDG_RUNTIME_DIR when it is set and private, else "quobble"
  // under the user's state folder ($XDG_STATE_HOME, ~/.local/state), made
  // private. Never a folder other users share; empty when none can be had
  // (the application then runs without the lock).
  static QString PrivateFolder();

  QString LockPath() const;
  QString ServerName() const;

 signals:
  // Another launch (of this user) handed over its query words, maybe none.
  void WordsReceived(const QString& words);

 private:
  bool Listen();
  bool HandOver(const QString& words);

  QString appName_;
  QString folder_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer* server_ = nullptr;
};

}  // namespace quobble
