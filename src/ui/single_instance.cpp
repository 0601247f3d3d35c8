#include "ui/single_instance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QStandardPaths>
#include <QThread>

namespace quobble {

namespace {

// A command line is short; anything longer is not a launch of ours.
constexpr qint64 kMaxCommandLine = 64 * 1024;
constexpr int kConnectTimeoutMs = 500;

}  // namespace

SingleInstance::SingleInstance(QString appName, QString folder)
    : appName_(std::move(appName)), folder_(std::move(folder)) {
  if (folder_.isEmpty())
    folder_ = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder_.isEmpty()) folder_ = QDir::tempPath();
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

SingleInstance::Outcome SingleInstance::Check(const QString& commandLine, int attempts,
                                              int retryMs) {
  if (appName_.isEmpty()) return Outcome::kFailed;
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
    if (HandOver(commandLine)) return Outcome::kOtherActivated;
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
      connect(socket, &QLocalSocket::readyRead, socket, [socket] {
        if (socket->bytesAvailable() > kMaxCommandLine) socket->abort();
      });
      connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
        const QByteArray data = socket->readAll().left(kMaxCommandLine);
        socket->deleteLater();
        emit CommandLineReceived(QString::fromUtf8(data));
      });
    }
  });
  return true;
}

bool SingleInstance::HandOver(const QString& commandLine) {
  QLocalSocket socket;
  socket.connectToServer(ServerName());
  if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
  if (!commandLine.isEmpty()) {
    socket.write(commandLine.toUtf8());
    if (!socket.waitForBytesWritten(kConnectTimeoutMs)) return false;
  }
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState)
    socket.waitForDisconnected(kConnectTimeoutMs);
  return true;
}

}  // namespace quobble
