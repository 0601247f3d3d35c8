#include "ui/single_instance.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QThread>

namespace quobble {

namespace {

// Query words are short; anything longer is not a launch of ours.
constexpr qint64 kMaxWords = 64 * 1024;
constexpr int kConnectTimeoutMs = 500;

// A folder (not a link to one) that belongs to this user and that nobody
// else may enter.
bool IsPrivateFolder(const QByteArray& path) {
  struct stat st {};
  if (::lstat(path.constData(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

// The folder made if missing, and closed to others when it is this user's.
QString MakePrivateFolder(const QString& path) {
  QDir().mkpath(path);
  const QByteArray native = QFile::encodeName(path);
  struct stat st {};
  if (::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid())
    ::chmod(native.constData(), 0700);
  return IsPrivateFolder(native) ? path : QString();
}

// Whether the process at the other end of a local socket runs as this user.
bool PeerIsThisUser(qintptr descriptor) {
  if (descriptor < 0) return false;
  struct ucred peer {};
  socklen_t size = sizeof peer;
  if (::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
    return false;
  return peer.uid == ::geteuid();
}

}  // namespace

QString SingleInstance::PrivateFolder() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && IsPrivateFolder(QFile::encodeName(runtime))) return runtime;
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty() || QDir::isRelativePath(state))
    state = QDir::home().filePath(QStringLiteral(".local/state"));
  return MakePrivateFolder(QDir(state).filePath(QStringLiteral("quobble")));
}

SingleInstance::SingleInstance(QString appName, QString folder)
    : appName_(std::move(appName)), folder_(std::move(folder)) {
  if (folder_.isEmpty()) folder_ = PrivateFolder();
}

SingleInstance::~SingleInstance() {
  if (server_) server_->close();
}

QString SingleInstance::LockPath() const {
  return QDir(folder_).filePath(appName_ + QStringLiteral(".lock"));
}

QString SingleInstance::ServerName() const {
  return QDir(folder_).filePath(appName_);
}

int SingleInstance::ExitCodeFor(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOtherActivated:
      return 1;
    case Outcome::kNotALock:
      return static_cast<int>(0x80070057u);
    case Outcome::kFailed:
      return static_cast<int>(0x80004005u);
    case Outcome::kFirst:
    case Outcome::kStartedUnlocked:
      return -1;
  }
  return -1;
}

SingleInstance::Outcome SingleInstance::Check(const QString& words, int attempts, int retryMs) {
  if (appName_.isEmpty()) return Outcome::kFailed;
  // Without a folder of the user's own there is nowhere safe to meet.
  if (folder_.isEmpty()) return Outcome::kStartedUnlocked;
  QDir().mkpath(folder_);
  const QFileInfo existing(LockPath());
  if (existing.exists() && !existing.isFile()) return Outcome::kNotALock;

  for (int attempt = 0; attempt < attempts; ++attempt) {
    auto lock = std::make_unique<QLockFile>(LockPath());
    // Only a lock whose process is gone is stale, however long we run.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
      lock_ = std::move(lock);
      Listen();
      return Outcome::kFirst;
    }
    if (lock->error() != QLockFile::LockFailedError) return Outcome::kFailed;
    if (HandOver(words)) return Outcome::kOtherActivated;
    // Locked, but its window is not up yet.
    QThread::msleep(static_cast<unsigned long>(retryMs));
  }
  return Outcome::kStartedUnlocked;
}

bool SingleInstance::Listen() {
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  // We hold the lock: a socket left behind is a dead instance's.
  QLocalServer::removeServer(ServerName());
  if (!server_->listen(ServerName())) return false;
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      if (!PeerIsThisUser(socket->socketDescriptor())) {
        socket->abort();
        socket->deleteLater();
        continue;
      }
      connect(socket, &QLocalSocket::readyRead, socket, [socket] {
        if (socket->bytesAvailable() > kMaxWords) socket->abort();
      });
      connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
        const QByteArray data = socket->readAll().left(kMaxWords);
        socket->deleteLater();
        emit WordsReceived(QString::fromUtf8(data));
      });
    }
  });
  return true;
}

bool SingleInstance::HandOver(const QString& words) {
  QLocalSocket socket;
  socket.connectToServer(ServerName());
  if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
  // Whoever listens there must be this user's own instance.
  if (!PeerIsThisUser(socket.socketDescriptor())) return false;
  if (!words.isEmpty()) {
    socket.write(words.toUtf8());
    if (!socket.waitForBytesWritten(kConnectTimeoutMs)) return false;
  }
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState)
    socket.waitForDisconnected(kConnectTimeoutMs);
  return true;
}

}  // namespace quobble
