#include "link/echolink_object.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <deque>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>

#include "core/errors.h"

namespace corvanta {
namespace {

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
    if (!Connected()) throw LinkError("the link program is not connected");
    const std::string line = wire::SetPttLine(key);
    if (io_->write(line.data(), static_cast<qint64>(line.size())) !=
        static_cast<qint64>(line.size())) {
      throw LinkError("the request could not be sent to the link program");
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
      if (!Connected()) throw LinkError("the connection to the link program was lost");
      // Its answer may still come; it must not be taken for the next request's.
      ++late_answers_;
      throw LinkError("the link program did not answer within " +
                      std::to_string(options_.answer_timeout_ms) + " ms");
    }
    if (answer_->kind == wire::Kind::kErr) {
      throw LinkError("the link program refused: " +
                      (answer_->text.empty() ? std::string("ERR") : answer_->text));
    }
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
    if (local_ != nullptr) {
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
    late_answers_ = 0;
    if (ok) {
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

  void OnLost() {
    if (!attached_ || retry_.isActive()) return;
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
      Log("discarded an over-long line from the link program");
    }
    if (!waiting_ && !pending_.empty()) ScheduleDelivery();
  }

  void Handle(const std::string& line) {
    const wire::Message m = wire::Parse(line);
    switch (m.kind) {
      case wire::Kind::kPtt:
      case wire::Kind::kTx:
        if (pending_.size() >= options_.max_pending_events) {
          Log("too many link events waiting; dropped one");
          return;
        }
        pending_.push_back(m);
        return;
      case wire::Kind::kOk:
      case wire::Kind::kErr:
        if (late_answers_ > 0) {
          --late_answers_;  // the answer to a request that already timed out
        } else if (waiting_ && !answer_) {
          answer_ = m;
        } else {
          Log("ignored an answer nobody asked for: " + wire::Escape(line));
        }
        return;
      default:
        Log("ignored a line from the link program: " + wire::Escape(line));
        return;
    }
  }

  // Events go out one at a time through the event loop. The next one is scheduled before the
  // handler runs, so an event that arrives during a transmission is handled between two of its
  // symbols, as the window's message processing allows.
  void ScheduleDelivery() {
    if (delivery_posted_) return;
    delivery_posted_ = true;
    QTimer::singleShot(0, this, [this] {
      delivery_posted_ = false;
      DeliverOne();
    });
  }

  void DeliverOne() {
    if (!attached_ || pending_.empty()) return;
    const wire::Message m = pending_.front();
    pending_.pop_front();
    if (!pending_.empty()) ScheduleDelivery();
    // Copies: the handler may release this connection's owner and so clear sink_.
    const auto handler = m.kind == wire::Kind::kPtt ? sink_.PTT : sink_.TX;
    if (!handler) return;
    try {
      handler(m.value);
    } catch (const std::exception& e) {
      Status(std::string("Error: ") + e.what());
    }
  }

  void Status(const std::string& text) {
    if (attached_ && options_.status) options_.status(text);
  }

  void Log(const std::string& text) {
    // A peer that sends nothing but garbage must not flood the terminal.
    if (++logged_ <= 20) {
      std::cerr << "corvanta: link: " << text << '\n';
    } else if (logged_ == 21) {
      std::cerr << "corvanta: link: further link messages are not logged\n";
    }
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
  std::deque<wire::Message> pending_;
  bool delivery_posted_ = false;
  bool waiting_ = false;
  std::optional<wire::Message> answer_;
  int late_answers_ = 0;
  int logged_ = 0;
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
    if (!connection_) throw LinkError("the link connection is gone");
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
