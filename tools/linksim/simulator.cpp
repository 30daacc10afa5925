#include "tools/linksim/simulator.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvanta::linksim {

namespace {

constexpr char kRefusal[] = "ERR refused by simulator\n";

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Creates the missing folders of `dir`, each readable by the user only.
bool MakeFolders(const std::string& dir, std::string& error) {
  struct stat st {};
  if (dir.empty() || ::stat(dir.c_str(), &st) == 0) return true;
  const std::size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(dir.substr(0, slash), error)) {
    return false;
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = Errno("cannot create the folder " + dir);
    return false;
  }
  return true;
}

// Makes `path` free for a new socket: a socket file nobody accepts on is left over from a
// program that died, and goes; a live one or any other kind of file stays and is an error.
bool ClaimSocketPath(const std::string& path, std::string& error) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    error = "the socket path " + path + " is too long";
    return false;
  }
  const std::size_t slash = path.find_last_of('/');
  if (!MakeFolders(path.substr(0, slash == 0 ? 1 : slash), error)) return false;

  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    error = Errno("cannot examine " + path);
    return false;
  }
  if (!S_ISSOCK(st.st_mode)) {
    error = path + " exists and is not a socket";
    return false;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = Errno("cannot create a socket");
    return false;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int connect_errno = errno;
  ::close(fd);
  if (rc == 0) {
    error = "another program is already listening on " + path;
    return false;
  }
  if (connect_errno != ECONNREFUSED) {
    errno = connect_errno;
    error = Errno("cannot probe " + path);
    return false;
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    error = Errno("cannot remove the stale socket " + path);
    return false;
  }
  return true;
}

}  // namespace

Simulator::Simulator(Log& log, AnswerPolicy policy, bool rigctld)
    : log_(log), policy_(policy), rigctld_(rigctld) {
  flutter_ = new QTimer(this);
  flutter_->setSingleShot(true);
  flutter_->setTimerType(Qt::PreciseTimer);
  connect(flutter_, &QTimer::timeout, this, [this] { SetDcd(true); });
}

Simulator::~Simulator() {
  Close();
}

Simulator::ListenResult Simulator::Listen(wire::Endpoint& endpoint, std::string& error) {
  if (endpoint.type == wire::Endpoint::Type::kUnix) {
    // QLocalServer takes a name without a leading slash as one in the temp folder.
    endpoint.path =
        QFileInfo(QString::fromStdString(endpoint.path)).absoluteFilePath().toStdString();
    if (!ClaimSocketPath(endpoint.path, error)) return ListenResult::kFailed;
    local_server_ = new QLocalServer(this);
    if (!local_server_->listen(QString::fromStdString(endpoint.path))) {
      error =
          "cannot listen on " + endpoint.path + ": " + local_server_->errorString().toStdString();
      return ListenResult::kFailed;
    }
    // Whoever may write to the socket may key the transmitter.
    ::chmod(endpoint.path.c_str(), 0600);
    connect(local_server_, &QLocalServer::newConnection, this, [this] {
      while (local_server_->hasPendingConnections()) {
        Adopt(local_server_->nextPendingConnection(), nullptr);
      }
    });
  } else {
    QHostAddress address;
    if (endpoint.host == "localhost") {
      address = QHostAddress(QHostAddress::LocalHost);
    } else if (!address.setAddress(QString::fromStdString(endpoint.host)) ||
               !address.isLoopback()) {
      error = "the host \"" + endpoint.host + "\" is not a loopback address";
      return ListenResult::kBadEndpoint;
    }
    tcp_server_ = new QTcpServer(this);
    if (!tcp_server_->listen(address, endpoint.port)) {
      error = "cannot listen on " + endpoint.ToString() + ": " +
              tcp_server_->errorString().toStdString();
      return ListenResult::kFailed;
    }
    connect(tcp_server_, &QTcpServer::newConnection, this, [this] {
      while (tcp_server_->hasPendingConnections()) {
        Adopt(nullptr, tcp_server_->nextPendingConnection());
      }
    });
  }
  log_.Write("LISTEN " + endpoint.ToString());
  return ListenResult::kOk;
}

void Simulator::Close() {
  if (closed_) return;
  closed_ = true;
  if (local_server_ != nullptr) local_server_->close();  // removes the socket file
  if (tcp_server_ != nullptr) tcp_server_->close();
  auto connections = std::move(connections_);
  connections_.clear();
  // What was sent last (an event before quit, say) still reaches the clients that read it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  for (auto& [id, c] : connections) {
    c->io->disconnect(this);
    c->timer->stop();
    while (c->io->bytesToWrite() > 0 && std::chrono::steady_clock::now() < deadline) {
      if (!c->io->waitForBytesWritten(20)) break;
    }
    Abort(*c);
    c->io->deleteLater();
  }
}

void Simulator::Adopt(QLocalSocket* local, QTcpSocket* tcp) {
  auto c = std::make_unique<Connection>();
  const int id = next_id_++;
  c->id = id;
  c->local = local;
  c->tcp = tcp;
  c->io = local != nullptr ? static_cast<QIODevice*>(local) : static_cast<QIODevice*>(tcp);
  c->timer = new QTimer(c->io);
  c->timer->setSingleShot(true);
  c->timer->setTimerType(Qt::PreciseTimer);
  connect(c->timer, &QTimer::timeout, this, [this, id] {
    if (rigctld_) {
      RunRig(id);
    } else {
      SendDueAnswers(id);
    }
  });
  connect(c->io, &QIODevice::readyRead, this, [this, id] { OnReadable(id); });
  // A busy rigctld reads no further requests; what waits for it stays in the kernel.
  if (rigctld_ && tcp != nullptr) tcp->setReadBufferSize(4096);
  if (local != nullptr) {
    connect(local, &QLocalSocket::disconnected, this, [this, id] { Remove(id); });
  } else {
    connect(tcp, &QTcpSocket::disconnected, this, [this, id] { Remove(id); });
  }
  connections_.emplace(id, std::move(c));
  log_.Write("CONNECT " + std::to_string(id));
  emit clientConnected();
  OnReadable(id);  // anything that came with the connection
}

void Simulator::Abort(Connection& c) {
  // Whatever already went out stays sent; what the kernel would not take yet is lost.
  if (c.local != nullptr) {
    c.local->flush();
    c.local->abort();
  } else {
    c.tcp->flush();
    c.tcp->abort();
  }
}

Simulator::Connection* Simulator::Find(int id) {
  const auto it = connections_.find(id);
  return it == connections_.end() ? nullptr : it->second.get();
}

void Simulator::OnReadable(int id) {
  if (rigctld_) return RunRig(id);
  Connection* c = Find(id);
  if (c == nullptr) return;
  const QByteArray bytes = c->io->readAll();
  const std::size_t discarded = c->reader.discarded();
  const auto lines =
      c->reader.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  if (c->reader.discarded() != discarded) {
    log_.Write("OVERLONG " + std::to_string(id) + " " +
               std::to_string(c->reader.discarded() - discarded));
  }
  for (const std::string& line : lines) {
    // A line may have closed the connection or ended the program.
    if (Find(id) == nullptr) return;
    HandleLine(id, line);
  }
}

void Simulator::HandleLine(int id, const std::string& line) {
  Connection* c = Find(id);
  const wire::Message m = wire::Parse(line);
  if (m.kind != wire::Kind::kSetPtt) {
    log_.Write("IGNORED " + std::to_string(id) + " " + wire::Escape(line));
    return;
  }
  const bool key = m.value != 0;
  log_.Write(std::string("SETPTT ") + (key ? "1 " : "0 ") + std::to_string(id));
  ++setptt_count_;
  if (policy_.drop_after > 0 && setptt_count_ == policy_.drop_after) {
    Drop(id);
  } else if (!policy_.silent) {
    // Answers leave in order even when the delay shrinks between two requests.
    auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(TakeLateMs());
    if (!c->answers.empty() && c->answers.back().due > due) due = c->answers.back().due;
    c->answers.push_back({due, !policy_.err, key});
    SendDueAnswers(id);
  }
  // Last, so an answer goes out before anything a waiting script sends next.
  emit setPttReceived(key);
}

void Simulator::SendDueAnswers(int id) {
  Connection* c = Find(id);
  if (c == nullptr) return;
  const auto now = std::chrono::steady_clock::now();
  while (!c->answers.empty() && c->answers.front().due <= now) {
    const Answer a = c->answers.front();
    c->answers.pop_front();
    if (a.ok) {
      c->io->write("OK\n");
      log_.Write("ANSWER OK " + std::to_string(id));
      c->keyed = a.key;
      UpdateTransmitter();
    } else {
      c->io->write(kRefusal);
      log_.Write("ANSWER ERR " + std::to_string(id));
    }
  }
  if (!c->answers.empty()) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(c->answers.front().due - now);
    c->timer->start(static_cast<int>(wait.count()));
  }
}

void Simulator::Drop(int id) {
  Connection* c = Find(id);
  if (c == nullptr) return;
  log_.Write("DROP " + std::to_string(id));
  // abort() may report the disconnection at once, or not at all; Remove() takes either.
  Abort(*c);
  Remove(id);
}

void Simulator::DropAll() {
  std::vector<int> ids;
  for (const auto& [id, c] : connections_) ids.push_back(id);
  for (const int id : ids) Drop(id);
}

void Simulator::Remove(int id) {
  const auto it = connections_.find(id);
  if (it == connections_.end()) return;
  const std::unique_ptr<Connection> c = std::move(it->second);
  connections_.erase(it);
  c->timer->stop();
  c->io->disconnect(this);
  c->io->deleteLater();
  // A link program drops PTT when the controller that keyed it goes away; rigctld does not.
  if (c->keyed) log_.Write("RELEASE " + std::to_string(id) + " (connection closed while keyed)");
  log_.Write("DISCONNECT " + std::to_string(id));
  UpdateTransmitter();
}

int Simulator::TakeLateMs() {
  const int once = late_once_ms_;
  late_once_ms_ = 0;
  return once > 0 ? once : policy_.late_ms;
}

void Simulator::UpdateTransmitter() {
  bool keyed = false;
  for (const auto& [id, c] : connections_) keyed = keyed || c->keyed;
  if (keyed == keyed_) return;
  keyed_ = keyed;
  log_.Write(keyed ? "TRANSMITTER 1" : "TRANSMITTER 0");
}

std::size_t Simulator::SendToAll(std::string_view bytes) {
  for (const auto& [id, c] : connections_) {
    c->io->write(bytes.data(), static_cast<qint64>(bytes.size()));
  }
  return connections_.size();
}

}  // namespace corvanta::linksim
