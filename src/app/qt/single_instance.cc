#include "app/qt/single_instance.h"

#include <QByteArray>
#include <QList>
#include <QLocalSocket>
#include <QTimer>
#include <filesystem>

namespace launcher {
namespace {

constexpr char kShowWord[] = "show";
// Activation tokens are a few dozen characters in practice.
constexpr qsizetype kMaxTokenBytes = 400;
// Longer than any request.
constexpr qint64 kMaxRequestBytes = 512;

bool IsTokenText(const QByteArray& token) {
  if (token.isEmpty() || token.size() > kMaxTokenBytes) return false;
  for (char c : token) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

QByteArray ShowRequest::Encode() const {
  const QByteArray token =
      IsTokenText(activationToken) && activationToken != "-" ? activationToken : QByteArray("-");
  return QByteArray(kShowWord) + ' ' + QByteArray::number(userTime) + ' ' + token + '\n';
}

std::optional<ShowRequest> ShowRequest::Parse(const QByteArray& line) {
  if (!line.endsWith('\n')) return std::nullopt;
  const QList<QByteArray> fields = line.chopped(1).split(' ');
  if (fields.isEmpty() || fields[0] != kShowWord) return std::nullopt;
  ShowRequest request;
  if (fields.size() == 1) return request;
  if (fields.size() != 3 || fields[1].isEmpty() || fields[1].size() > 10) return std::nullopt;
  for (char c : fields[1]) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  bool ok = false;
  const qulonglong time = fields[1].toULongLong(&ok);
  if (!ok || time > 0xFFFFFFFFull || !IsTokenText(fields[2])) return std::nullopt;
  request.userTime = static_cast<std::uint32_t>(time);
  if (fields[2] != "-") request.activationToken = fields[2];
  return request;
}

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

bool SingleInstance::AskRunningInstanceToShow(const ShowRequest& request, int timeoutMs) {
  const QString path = ShowRequestSocketPath();
  if (path.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(path);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(request.Encode());
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeoutMs);
  return true;
}

bool SingleInstance::Listen(std::function<void(const ShowRequest&)> onShowRequest) {
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
          QObject::connect(
              socket, &QLocalSocket::readyRead, socket, [server, socket, onShowRequest] {
                // One short request line; anything else is dropped.
                if (socket->bytesAvailable() > kMaxRequestBytes) {
                  socket->abort();
                  return;
                }
                if (!socket->canReadLine()) return;
                const auto request = ShowRequest::Parse(socket->readLine(kMaxRequestBytes + 1));
                socket->disconnectFromServer();
                // Handled from the event loop, not from inside this socket's
                // signal: bringing the window up may run the event loop, which
                // may delete the socket.
                if (request) {
                  QTimer::singleShot(0, server,
                                     [onShowRequest, request] { onShowRequest(*request); });
                }
              });
        }
      });
  return true;
}

}  // namespace launcher
