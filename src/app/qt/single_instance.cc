#include "app/qt/single_instance.h"

#include <QByteArray>
#include <QLocalSocket>
#include <filesystem>

namespace launcher {
namespace {
constexpr char kShowRequest[] = "show\n";
}  // namespace

QString ShowRequestSocketPath() {
  const std::string lockFile = NamedLock::LockFilePath(kLauncherLockName);
  if (lockFile.empty()) return {};
  const std::filesystem::path dir = std::filesystem::path(lockFile).parent_path();
  return QString::fromStdString((dir / (std::string(kLauncherLockName) + ".socket")).string());
}

SingleInstance::SingleInstance() {
  NamedLock::Outcome outcome = NamedLock::Outcome::kUnavailable;
  lock_ = NamedLock::TryAcquire(kLauncherLockName, &outcome);
  role_ = outcome == NamedLock::Outcome::kHeldElsewhere ? Role::kSecond : Role::kFirst;
}

bool SingleInstance::AskRunningInstanceToShow(int timeoutMs) {
  const QString path = ShowRequestSocketPath();
  if (path.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(path);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kShowRequest);
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeoutMs);
  return true;
}

bool SingleInstance::Listen(std::function<void()> onShowRequest) {
  if (role_ != Role::kFirst || !lock_) return false;
  const QString path = ShowRequestSocketPath();
  if (path.isEmpty()) return false;
  // We hold the lock, so a socket file left here belongs to a launcher that
  // has ended.
  QLocalServer::removeServer(path);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(path)) {
    server_.reset();
    return false;
  }
  QObject::connect(
      server_.get(), &QLocalServer::newConnection, server_.get(),
      [server = server_.get(), onShowRequest = std::move(onShowRequest)] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
          QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
          QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, onShowRequest] {
            // One short fixed request; anything
            // else is dropped.
            if (socket->bytesAvailable() > 64) {
              socket->abort();
              return;
            }
            if (!socket->canReadLine()) return;
            if (socket->readLine() == QByteArray(kShowRequest)) {
              onShowRequest();
            }
            socket->disconnectFromServer();
          });
        }
      });
  return true;
}

}  // namespace launcher
