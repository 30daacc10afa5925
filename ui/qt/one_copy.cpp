#include "ui/qt/one_copy.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalSocket>

namespace corvanta {

LinkClaim::LinkClaim(const QString& folder, const std::string& endpoint) {
  const QString name =
      "link-" + QString::fromLatin1(QCryptographicHash::hash(QByteArray::fromStdString(endpoint),
                                                             QCryptographicHash::Sha1)
                                        .toHex()
                                        .left(16));
  const QDir dir(folder);
  if (!dir.mkpath(".")) {
    error_ = "cannot make " + folder;
    claimed_ = true;  // a copy that cannot tell still runs rather than leave the link unserved
    return;
  }
  QFile::setPermissions(folder,
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
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
