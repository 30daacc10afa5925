#include "link/socket/echolink_object.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QFileInfo>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

#include "core/errors.h"
#include "core/private_folder.h"
#include "link/link_event_queue.h"
#include "link/socket/posted_delivery.h"

#include <unistd.h>

namespace corvanta {
namespace {

// The fallback folder of the default socket lies in the shared temporary folder, where another
// local user could make it first and pose as the link program. Only a folder of the user's own
// that nobody else may enter is trusted there. Returns what is wrong, or nothing.
std::string UnsafeFolder(const std::string& socket_path) {
  std::string error;
  const auto fallback = wire::ParseEndpoint(wire::DefaultEndpoint(nullptr, getuid()), error);
  if (!fallback) return {};
  const std::filesystem::path folder = std::filesystem::path(fallback->path).parent_path();
  if (std::filesystem::path(socket_path).lexically_normal().parent_path() != folder) return {};
  // Not there: connecting fails and retries.
  const std::string problem = NotPrivateFolder(folder.string());
  return problem.empty() ? problem : "the link folder " + problem + "; not connecting";
}

// One connection to the link program. It outlives the object that owns it until the event loop
// comes back to the top, because its own event delivery may be on the stack when the owner lets
// go of it (a Send nested in a link event replaces the held object).
class Connection final : public QObject {
 public:
  Connection(LinkOptions options, LinkEventSink sink)
      : options_(std::move(options)), sink_(std::move(sink)) {
    retry_.setSingleShot(true);
    retry_.setInterval(options_.retry_ms);
    connect(&retry_, &QTimer::timeout, this, [this] { TryConnect(false); });
    if (options_.endpoint.type == wire::Endpoint::Type::kUnix) {
      local_ = new QLocalSocket(this);
      io_ = local_;
      connect(local_, &QLocalSocket::disconnected, this, [this] { OnLost(); });
    } else {
      tcp_ = new QTcpSocket(this);
      io_ = tcp_;
      connect(tcp_, &QTcpSocket::disconnected, this, [this] { OnLost(); });
    }
    connect(io_, &QIODevice::readyRead, this, [this] { ReadAvailable(); });
    TryConnect(true);
  }

  // The owner let go: no more events, no more retries; the socket closes now.
  void Detach() {
    attached_ = false;
    sink_ = {};
    pending_.clear();
    retry_.stop();
    if (local_ != nullptr) local_->abort();
    if (tcp_ != nullptr) tcp_->abort();
    deleteLater();
  }

  void SetPTT(bool key) {
    if (!Connected()) {
      // The link program released whatever the lost connection had keyed.
      throw LinkError("the link program is not connected", LinkError::Fate::kNotSent,
                      !key && released_on_close_);
    }
    const std::string line = wire::SetPttLine(key);
    if (io_->write(line.data(), static_cast<qint64>(line.size())) !=
        static_cast<qint64>(line.size())) {
      throw LinkError("the request could not be sent to the link program",
                      LinkError::Fate::kNotSent);
    }
    if (key) {
      keyed_here_ = true;
      released_on_close_ = false;
    }
    QElapsedTimer clock;
    clock.start();
    answer_.reset();
    waiting_ = true;
    // Lines already buffered come first; then wait for more until the answer or the deadline.
    ReadAvailable();
    while (!answer_) {
      const qint64 left = options_.answer_timeout_ms - clock.elapsed();
      if (left <= 0 || !Connected()) break;
      if (io_->bytesToWrite() > 0) WaitForBytesWritten(static_cast<int>(left));
      if (!WaitForReadyRead(static_cast<int>(left))) continue;
      ReadAvailable();
    }
    waiting_ = false;
    if (!pending_.empty()) ScheduleDelivery();  // events that came with the wait, in order
    if (!answer_) {
      if (!Connected()) {
        MarkClosed();
        throw LinkError("the connection to the link program was lost", LinkError::Fate::kLost,
                        released_on_close_);
      }
      // An answer that comes later could only be taken for the next request's. Closing the
      // connection pairs every later answer with its own request again, and the link program
      // releases whatever this connection keyed; a new one is made at once.
      Reconnect("did not answer within " + std::to_string(options_.answer_timeout_ms) + " ms");
      throw LinkError("the link program did not answer within " +
                          std::to_string(options_.answer_timeout_ms) +
                          " ms; the connection was made again",
                      LinkError::Fate::kUnanswered, released_on_close_);
    }
    if (answer_->kind == wire::Kind::kErr) {
      // A link program may key and still refuse: the caller settles the key.
      throw LinkError("the link program refused: " +
                          (answer_->text.empty() ? std::string("ERR") : answer_->text),
                      LinkError::Fate::kRefused);
    }
    if (!key) keyed_here_ = false;
  }

  bool event(QEvent* e) override {
    if (!delivery_.Take(e)) return QObject::event(e);
    DeliverPending();
    return true;
  }

 private:
  bool Connected() const {
    if (local_ != nullptr) return local_->state() == QLocalSocket::ConnectedState;
    return tcp_->state() == QAbstractSocket::ConnectedState;
  }
  bool WaitForReadyRead(int ms) {
    return local_ != nullptr ? local_->waitForReadyRead(ms) : tcp_->waitForReadyRead(ms);
  }
  void WaitForBytesWritten(int ms) {
    if (local_ != nullptr) {
      local_->waitForBytesWritten(ms);
    } else {
      tcp_->waitForBytesWritten(ms);
    }
  }

  void TryConnect(bool first) {
    if (!attached_) return;
    bool ok = false;
    QString error;
    std::string unsafe;
    if (local_ != nullptr && !(unsafe = UnsafeFolder(options_.endpoint.path)).empty()) {
      error = QString::fromStdString(unsafe);
    } else if (local_ != nullptr) {
      local_->abort();
      // A relative name would be looked up in the temporary folder; it means the current one.
      local_->connectToServer(
          QFileInfo(QString::fromStdString(options_.endpoint.path)).absoluteFilePath());
      ok = local_->waitForConnected(options_.connect_timeout_ms);
      error = local_->errorString();
    } else {
      tcp_->abort();
      tcp_->connectToHost(QString::fromStdString(options_.endpoint.host), options_.endpoint.port);
      ok = tcp_->waitForConnected(options_.connect_timeout_ms);
      error = tcp_->errorString();
    }
    reader_ = wire::LineReader{};
    if (ok) {
      retry_.stop();
      Status("Link program connected (" + options_.endpoint.ToString() + ")");
      return;
    }
    if (first) {
      Status("Link program not connected (" + options_.endpoint.ToString() +
             "): " + error.toStdString() + "; retrying every " +
             std::to_string(options_.retry_ms / 1000) + " s");
    }
    retry_.start();
  }

  // The connection is gone: whatever it had keyed, the link program has released.
  void MarkClosed() {
    if (keyed_here_) released_on_close_ = true;
    keyed_here_ = false;
  }

  void Reconnect(const std::string& why) {
    reconnecting_ = true;
    if (local_ != nullptr) local_->abort();
    if (tcp_ != nullptr) tcp_->abort();
    reconnecting_ = false;
    MarkClosed();
    Status("Link program " + why + "; connecting again (" + options_.endpoint.ToString() + ")");
    TryConnect(false);
  }

  void OnLost() {
    MarkClosed();
    if (!attached_ || reconnecting_ || retry_.isActive()) return;
    Status("Link program lost (" + options_.endpoint.ToString() + "); retrying every " +
           std::to_string(options_.retry_ms / 1000) + " s");
    // Reconnect from the event loop, not from inside the socket's own signal.
    retry_.start();
  }

  void ReadAvailable() {
    if (!attached_) return;
    while (io_->bytesAvailable() > 0) {
      char buffer[512];
      const qint64 n = io_->read(buffer, sizeof buffer);
      if (n <= 0) break;
      for (const std::string& line :
           reader_.Feed(std::string_view(buffer, static_cast<std::size_t>(n)))) {
        Handle(line);
      }
    }
    if (reader_.discarded() != reported_discards_) {
      reported_discards_ = reader_.discarded();
      log_("discarded an over-long line from the link program");
    }
    if (!waiting_ && !pending_.empty()) ScheduleDelivery();
  }

  void Handle(const std::string& line) {
    const wire::Message m = wire::Parse(line);
    switch (m.kind) {
      case wire::Kind::kPtt:
      case wire::Kind::kTx:
        if (!pending_.Push(
                m.kind == wire::Kind::kPtt ? LinkEventQueue::Kind::kPtt : LinkEventQueue::Kind::kTx,
                m.value)) {
          log_("too many link events waiting; dropped one");
        }
        return;
      case wire::Kind::kOk:
      case wire::Kind::kErr:
        if (waiting_ && !answer_) {
          answer_ = m;
        } else {
          log_("ignored an answer nobody asked for: " + wire::Escape(line));
        }
        return;
      default:
        log_("ignored a line from the link program: " + wire::Escape(line));
        return;
    }
  }

  // Events are delivered through a posted event (link/socket/posted_delivery.h).
  void ScheduleDelivery() { delivery_.Schedule(this); }

  // Delivers every waiting event in order (link/link_event_queue.h); what is still waiting goes
  // out through a new post, from the message processing of a transmission a handler starts.
  void DeliverPending() {
    pending_.Deliver(
        sink_, [this] { return attached_; }, [this] { ScheduleDelivery(); },
        [this](const std::string& text) { Status(text); });
  }

  void Status(const std::string& text) {
    if (attached_ && options_.status) options_.status(text);
  }

  LinkOptions options_;
  LinkEventSink sink_;
  bool attached_ = true;
  QLocalSocket* local_ = nullptr;
  QTcpSocket* tcp_ = nullptr;
  QIODevice* io_ = nullptr;
  QTimer retry_;
  wire::LineReader reader_;
  std::size_t reported_discards_ = 0;
  LinkEventQueue pending_{options_.max_pending_events};
  PostedDelivery delivery_;
  bool waiting_ = false;
  std::optional<wire::Message> answer_;
  bool keyed_here_ = false;         // this connection was asked to key and not yet to release
  bool released_on_close_ = false;  // a connection that had keyed closed since the last keying
  bool reconnecting_ = false;
  BoundedLog log_{"corvanta: link"};
};

class SocketLinkObject final : public LinkObject {
 public:
  SocketLinkObject(const LinkOptions& options, LinkEventSink sink)
      : connection_(new Connection(options, std::move(sink))) {}
  ~SocketLinkObject() override {
    if (connection_) connection_->Detach();
  }
  SocketLinkObject(const SocketLinkObject&) = delete;
  SocketLinkObject& operator=(const SocketLinkObject&) = delete;

  void SetPTT(bool key) override {
    if (!connection_) throw LinkError("the link connection is gone", LinkError::Fate::kNotSent);
    connection_->SetPTT(key);
  }

 private:
  QPointer<Connection> connection_;
};

}  // namespace

LinkFactory SocketLinkFactory(LinkOptions options) {
  return [options = std::move(options)](LinkEventSink sink) -> std::unique_ptr<LinkObject> {
    return std::make_unique<SocketLinkObject>(options, std::move(sink));
  };
}

}  // namespace corvanta
