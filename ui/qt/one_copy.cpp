#include "ui/qt/one_copy.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalSocket>

#include "core/private_folder.h"
#include "link/socket/wire.h"

namespace corvanta {

LinkClaim::LinkClaim(const QString& folder, const std::string& endpoint, bool shared_place) {
  std::string error;
  const auto parsed = wire::ParseEndpoint(endpoint, error);
  const std::string link =
      parsed ? wire::LinkIdentity(*parsed, QDir::currentPath().toStdString()) : endpoint;
  const QString name =
      "link-" + QString::fromLatin1(QCryptographicHash::hash(QByteArray::fromStdString(link),
                                                             QCryptographicHash::Sha1)
                                        .toHex()
                                        .left(16));
  const QDir dir(folder);
  const bool made = !dir.exists();
  if (!dir.mkpath(".")) {
    error_ = "cannot make " + folder;
    claimed_ = true;  // a copy that cannot tell still runs rather than leave the link unserved
    return;
  }
  // A folder found in a shared place is taken as it is: made private now, it could already
  // hold what another user put there.
  if (made || !shared_place) {
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  }
  if (shared_place) {
    const std::string problem = NotPrivateFolder(folder.toStdString());
    if (!problem.empty()) {
      error_ = QString::fromStdString(problem) + ": not used";
      claimed_ = true;
      return;
    }
  }
  socket_path_ = dir.absoluteFilePath(name + ".sock");
  lock_ = std::make_unique<QLockFile>(dir.absoluteFilePath(name + ".lock"));
  // Held for the whole run: never stale by age, only when its holder has gone.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) {
    claimed_ = true;
    return;
  }
  if (lock_->error() != QLockFile::LockFailedError) {
    error_ = "cannot write in " + folder;
    claimed_ = true;
  }
}

void LinkClaim::OnSecondCopy(std::function<void()> show) {
  if (!claimed_ || socket_path_.isEmpty()) return;
  show_ = std::move(show);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  QLocalServer::removeServer(socket_path_);  // left by a copy that died: the lock is ours now
  if (!server_->listen(socket_path_)) return;
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
      QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      if (show_) show_();
    }
  });
}

bool LinkClaim::AskFirstCopyToShow() {
  if (socket_path_.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(socket_path_);
  if (!socket.waitForConnected(1000)) return false;
  socket.write("show\n");
  return socket.waitForBytesWritten(1000);
}

}  // namespace corvanta
