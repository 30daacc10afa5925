#include "link/rigctld/rigctld_link.h"

#include <fcntl.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "core/errors.h"
#include "link/link_event_queue.h"
#include "link/rigctld/guardian.h"
#include "link/rigctld/protocol.h"
#include "link/rigctld/squelch.h"
#include "link/socket/posted_delivery.h"
#include "link/socket/wire.h"

namespace corvanta {
namespace {

// Releases sent by objects already let go and not yet answered (RigctldReleasesSent).
int releases_on_the_way = 0;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What every object of one factory shares: the guardian, started with the first object.
struct Shared {
  RigctldOptions options;
  std::unique_ptr<rigctld::Guardian> guardian;
  std::string Where() const {
    const bool v6 = options.host.find(':') != std::string::npos;
    return "rigctld:" + (v6 ? "[" + options.host + "]" : options.host) + ":" +
           std::to_string(options.port);
  }
};

// One connection to rigctld. It outlives the object that owns it until its last release is
// answered and the event loop comes back to the top (its own event delivery may be on the stack
// when the owner lets go of it).
class Connection final : public QObject {
 public:
  Connection(std::shared_ptr<Shared> shared, LinkEventSink sink)
      : shared_(std::move(shared)),
        options_(shared_->options),
        sink_(std::move(sink)),
        squelch_(options_.hang_ms) {
    retry_.setSingleShot(true);
    retry_.setInterval(options_.retry_ms);
    connect(&retry_, &QTimer::timeout, this, [this] { TryConnect(false); });
    poll_.setInterval(std::max(1, options_.poll_ms));
    connect(&poll_, &QTimer::timeout, this, [this] { Poll(); });
    tcp_ = new QTcpSocket(this);
    connect(tcp_, &QTcpSocket::disconnected, this, [this] { OnLost(); });
    connect(tcp_, &QIODevice::readyRead, this, [this] { ReadAvailable(); });
    TryConnect(true);
    if (options_.hid) OpenHid();
  }
  ~Connection() override { CloseHid(); }

  // The owner let go: no more events, polls or retries. A key this connection may hold is
  // released first (rigctld keeps the PTT when its client goes); the connection closes once that
  // release is answered, or after a last wait.
  void Detach() {
    attached_ = false;
    sink_ = {};
    pending_.clear();
    retry_.stop();
    poll_.stop();
    if (Connected() && holding_) {
      want_keyed_ = false;
      if (Send(Request::kRelease)) {
        ++releases_on_the_way;
        counted_release_ = true;
        QTimer::singleShot(2 * options_.answer_timeout_ms, this, [this] { Finish(); });
        return;
      }
    }
    Finish();
  }

  void SetPTT(bool key) {
    // Whatever comes of a release, even one that cannot be sent (the connection lost in the
    // middle of a courtesy), we no longer hold the key: the squelch's quiet time runs from here.
    // Otherwise the squelch would stay ignored, and every later over go without its courtesy.
    struct LetGo {
      Connection* self;
      bool key;
      ~LetGo() {
        if (!key) self->squelch_.Keyed(NowMs(), false);
      }
    } let_go{this, key};
    if (!Connected()) {
      if (!key) want_keyed_ = false;  // released on the next connection, read back
      throw LinkError("rigctld is not connected (" + shared_->Where() + ")",
                      LinkError::Fate::kNotSent);
    }
    const std::int64_t asked = NowMs();
    if (key) {
      // The guardian hears of the key before rigctld does: this process may end any moment.
      if (!holding_ && shared_->guardian) shared_->guardian->Hold();
      holding_ = true;
      want_keyed_ = true;
      squelch_.Keyed(asked, true);
    } else {
      want_keyed_ = false;
    }
    if (!Send(key ? Request::kKey : Request::kRelease)) {
      throw LinkError("the request could not be sent to rigctld", LinkError::Fate::kNotSent);
    }
    awaited_ = sent_;
    const std::uint64_t connection = connections_;
    answer_.reset();
    waiting_ = true;
    QElapsedTimer clock;
    clock.start();
    ReadAvailable();
    while (!answer_) {
      const qint64 left = options_.answer_timeout_ms - clock.elapsed();
      if (left <= 0 || !Connected() || connections_ != connection) break;
      if (tcp_->bytesToWrite() > 0) tcp_->waitForBytesWritten(static_cast<int>(left));
      if (!tcp_->waitForReadyRead(static_cast<int>(left))) continue;
      ReadAvailable();
    }
    waiting_ = false;
    if (!pending_.empty()) ScheduleDelivery();
    if (!answer_) {
      if (!Connected()) {
        throw LinkError("the connection to rigctld was lost", LinkError::Fate::kLost);
      }
      if (connections_ != connection) {
        throw LinkError("rigctld's answers went out of step; the connection was made again",
                        LinkError::Fate::kUnanswered);
      }
      // A later answer could only be taken for the next request's: a new connection pairs them
      // again, and reads the PTT back.
      Reconnect("did not answer within " + std::to_string(options_.answer_timeout_ms) + " ms");
      throw LinkError("rigctld did not answer within " +
                          std::to_string(options_.answer_timeout_ms) +
                          " ms; the connection was made again",
                      LinkError::Fate::kUnanswered);
    }
    if (answer_->code != 0) {
      throw LinkError(key ? "rigctld refused the keying: " + rigctld::KeyingRefusal(answer_->code)
                          : "rigctld refused the release: RPRT " + std::to_string(answer_->code) +
                                ": " + rigctld::ErrorMeaning(answer_->code),
                      LinkError::Fate::kRefused);
    }
    if (!key) Unhold();
  }

  bool event(QEvent* e) override {
    if (!delivery_.Take(e)) return QObject::event(e);
    DeliverPending();
    return true;
  }

 private:
  enum class Request { kKey, kRelease, kReadBack, kReleaseFound, kReleaseOwed, kSquelch };
  struct InFlight {
    Request request;
    std::uint64_t number;
    std::int64_t sent_ms;
  };

  bool Connected() const { return tcp_->state() == QAbstractSocket::ConnectedState; }

  // The command an extended answer to `request` names.
  static const char* AnswerName(Request request) {
    switch (request) {
      case Request::kReadBack:
        return "get_ptt";
      case Request::kSquelch:
        return "get_dcd";
      default:
        return "set_ptt";
    }
  }

  bool Send(Request request) {
    std::string command;
    switch (request) {
      case Request::kKey:
        command = rigctld::SetPttCommand(true);
        break;
      case Request::kRelease:
      case Request::kReleaseFound:
      case Request::kReleaseOwed:
        command = rigctld::SetPttCommand(false);
        break;
      case Request::kReadBack:
        command = rigctld::kGetPttCommand;
        break;
      case Request::kSquelch:
        command = rigctld::kGetDcdCommand;
        break;
    }
    if (tcp_->write(command.data(), static_cast<qint64>(command.size())) !=
        static_cast<qint64>(command.size())) {
      return false;
    }
    in_flight_.push_back({request, ++sent_, NowMs()});
    return true;
  }

  // This connection no longer holds a key: the guardian may stand down for it.
  void Unhold() {
    if (holding_ && shared_->guardian) shared_->guardian->Let();
    holding_ = false;
  }

  void Finish() {
    if (finished_) return;
    if (counted_release_) {
      counted_release_ = false;
      --releases_on_the_way;
    }
    poll_.stop();
    retry_.stop();
    finished_ = true;
    tcp_->abort();
    deleteLater();
  }

  void TryConnect(bool first) {
    if (!attached_) return;
    tcp_->abort();
    ++connections_;
    in_flight_.clear();
    lines_ = wire::LineReader{};
    replies_ = rigctld::ReplyReader{};
    tcp_->connectToHost(QString::fromStdString(options_.host), options_.port);
    if (tcp_->waitForConnected(options_.connect_timeout_ms)) {
      retry_.stop();
      squelch_refused_ = false;
      Status("rigctld connected (" + shared_->Where() + ")");
      // A key of ours that may be down and is no longer wanted (its release was lost with the
      // last connection) is released at once: the read-back may go unanswered by a rigctld
      // that answers late, connection after connection, while the radio stays keyed.
      if (holding_ && !want_keyed_) Send(Request::kReleaseOwed);
      // A crash or a power cut may have left the PTT keyed: read it back first.
      Send(Request::kReadBack);
      if (options_.poll_ms > 0) poll_.start();
      return;
    }
    if (first) {
      Status("rigctld not connected (" + shared_->Where() +
             "): " + tcp_->errorString().toStdString() + "; retrying every " +
             std::to_string(options_.retry_ms / 1000) + " s");
    }
    retry_.start();
  }

  void Reconnect(const std::string& why) {
    reconnecting_ = true;
    tcp_->abort();
    reconnecting_ = false;
    poll_.stop();
    Status("rigctld " + why + "; connecting again (" + shared_->Where() + ")");
    TryConnect(false);
  }

  void OnLost() {
    poll_.stop();
    if (!attached_) {
      if (!finished_) Finish();
      return;
    }
    if (reconnecting_ || retry_.isActive()) return;
    Status("rigctld lost (" + shared_->Where() + "); retrying every " +
           std::to_string(options_.retry_ms / 1000) + " s");
    retry_.start();  // from the event loop, not from inside the socket's own signal
  }

  // The HID squelch: reports arrive when the input changes; the last one is the state, read at
  // every poll like rigctld's.
  void OpenHid() {
    hid_fd_ = open(options_.hid->path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (hid_fd_ < 0) {
      if (!hid_failing_) {
        hid_failing_ = true;
        Status("the squelch input " + options_.hid->path +
               " cannot be opened: " + std::strerror(errno) + "; no RX courtesies until it can");
      }
      return;
    }
    if (hid_failing_) Status("the squelch input " + options_.hid->path + " is open again");
    hid_failing_ = false;
    hid_notifier_ = new QSocketNotifier(hid_fd_, QSocketNotifier::Read, this);
    connect(hid_notifier_, &QSocketNotifier::activated, this, [this] { ReadHid(); });
  }
  void CloseHid() {
    delete hid_notifier_;
    hid_notifier_ = nullptr;
    if (hid_fd_ >= 0) close(hid_fd_);
    hid_fd_ = -1;
  }
  void ReadHid() {
    unsigned char report[64];
    const ssize_t n = read(hid_fd_, report, sizeof report);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      // Unplugged (an error), or a stand-in whose writer went (end of file): opened again at the
      // next poll; the state is not known meanwhile.
      CloseHid();
      hid_open_.reset();
      return;
    }
    // One report per read from a device; several may queue in a stand-in: the last one counts.
    const std::size_t size = static_cast<std::size_t>(n);
    const std::size_t last = size >= 4 && size % 4 == 0 ? size - 4 : 0;
    hid_open_ = options_.hid->Open(report + last, size - last);
  }

  void Poll() {
    if (options_.hid) {
      if (hid_fd_ < 0) OpenHid();
      if (attached_ && hid_open_) TakeReading(*hid_open_);
    }
    if (!attached_ || !Connected()) return;
    for (const InFlight& f : in_flight_) {
      if (NowMs() - f.sent_ms > options_.answer_timeout_ms) {
        // rigctld stays silent (a hung radio port): said, and a new connection tried.
        Reconnect("did not answer within " + std::to_string(options_.answer_timeout_ms) + " ms");
        return;
      }
      if (f.request == Request::kSquelch) return;  // the last reading is not in yet
    }
    if (!options_.hid) Send(Request::kSquelch);
  }

  void ReadAvailable() {
    const std::uint64_t connection = connections_;
    // An answer may make us connect again: what is left was read from the old connection.
    while (connections_ == connection && tcp_->bytesAvailable() > 0) {
      char buffer[512];
      const qint64 n = tcp_->read(buffer, sizeof buffer);
      if (n <= 0) break;
      for (const std::string& line :
           lines_.Feed(std::string_view(buffer, static_cast<std::size_t>(n)))) {
        if (connections_ != connection) break;
        if (auto reply = replies_.Line(line)) Handle(*reply);
      }
    }
    if (attached_ && !waiting_ && !pending_.empty()) ScheduleDelivery();
  }

  void Handle(const rigctld::Reply& reply) {
    if (in_flight_.empty()) {
      log_("ignored an answer nobody asked for: " + reply.command);
      return;
    }
    const InFlight f = in_flight_.front();
    if (!reply.command.empty() && reply.command != AnswerName(f.request)) {
      // A request went unanswered (rigctld says nothing to some it cannot serve) and a later
      // answer came in its place: every answer from here on would be taken for the wrong
      // request, a squelch reading for the PTT read back. A new connection pairs them again.
      Reconnect("answered " + reply.command + " where " + AnswerName(f.request) +
                " was due (an answer went missing)");
      return;
    }
    in_flight_.pop_front();
    if (f.number == awaited_ && waiting_) answer_ = reply;
    switch (f.request) {
      case Request::kKey:
        return;
      case Request::kRelease:
        if (!attached_) {
          // The last release of an object let go: answered, whatever it says, the end.
          if (reply.code == 0) Unhold();
          Finish();
        }
        return;
      case Request::kReadBack:
        ReadBack(reply);
        return;
      case Request::kReleaseFound:
        if (reply.code == 0 && !want_keyed_) {
          if (shared_->guardian) shared_->guardian->Released();
          holding_ = false;
          Status("rigctld's PTT was keyed with no courtesy of ours holding it: released");
        } else if (reply.code != 0) {
          Status("rigctld's PTT is keyed and its release was refused: " +
                 rigctld::ErrorMeaning(reply.code) + "; the transmitter may be keyed");
        }
        return;
      case Request::kReleaseOwed:
        if (reply.code == 0 && !want_keyed_) {
          Unhold();
          Status(
              "rigctld's PTT released on connecting again: its release was lost with the last "
              "connection");
        } else if (reply.code != 0) {
          Status("rigctld refused the release owed since the last connection was lost: RPRT " +
                 std::to_string(reply.code) + ": " + rigctld::ErrorMeaning(reply.code) +
                 "; the transmitter may be keyed");
        }
        return;
      case Request::kSquelch:
        Squelch(reply);
        return;
    }
  }

  void ReadBack(const rigctld::Reply& reply) {
    const auto text = reply.Value("PTT");
    const auto keyed = rigctld::ParseFlag(text ? *text : std::string());
    if (reply.code != 0 || !keyed) {
      log_("could not read the PTT back: RPRT " + std::to_string(reply.code));
      return;
    }
    if (want_keyed_) return;  // a courtesy of ours holds it across the new connection
    if (*keyed) {
      Send(Request::kReleaseFound);
    } else {
      // Released, whoever did it: a key an earlier connection could not release is not ours any
      // more to guard.
      if (shared_->guardian) shared_->guardian->Released();
      holding_ = false;
    }
  }

  void Squelch(const rigctld::Reply& reply) {
    const auto text = reply.Value("DCD");
    const auto open = rigctld::ParseFlag(text ? *text : std::string());
    if (reply.code != 0 || !open) {
      if (!squelch_refused_) {
        squelch_refused_ = true;
        Status("rigctld cannot read the squelch (" +
               (reply.code != 0 ? "RPRT " + std::to_string(reply.code) + ": " +
                                      rigctld::ErrorMeaning(reply.code)
                                : std::string("no DCD in its answer")) +
               "): no RX courtesies; is rigctld running with a squelch type (-D)?");
      }
      return;
    }
    if (squelch_refused_) {
      squelch_refused_ = false;
      Status("rigctld reads the squelch again");
    }
    TakeReading(*open);
  }

  void TakeReading(bool open) {
    const auto event = squelch_.Reading(NowMs(), open);
    if (!event || !attached_) return;
    if (!pending_.Push(LinkEventQueue::Kind::kPtt, *event ? -1 : 0)) {
      log_("too many link events waiting; dropped one");
    }
    if (!waiting_) ScheduleDelivery();  // during SetPTT's wait, delivered after it
  }

  void ScheduleDelivery() { delivery_.Schedule(this); }

  void DeliverPending() {
    pending_.Deliver(
        sink_, [this] { return attached_; }, [this] { ScheduleDelivery(); },
        [this](const std::string& text) { Status(text); });
  }

  void Status(const std::string& text) {
    if (attached_ && options_.status) options_.status(text);
  }

  std::shared_ptr<Shared> shared_;
  const RigctldOptions& options_;
  LinkEventSink sink_;
  rigctld::SquelchWatch squelch_;
  bool attached_ = true;
  bool finished_ = false;
  QTcpSocket* tcp_ = nullptr;
  QTimer retry_;
  QTimer poll_;
  wire::LineReader lines_;
  rigctld::ReplyReader replies_;
  std::deque<InFlight> in_flight_;
  std::uint64_t sent_ = 0;
  std::uint64_t awaited_ = 0;
  std::uint64_t connections_ = 0;  // connections made: answers read belong to the latest
  std::optional<rigctld::Reply> answer_;
  LinkEventQueue pending_{options_.max_pending_events};
  PostedDelivery delivery_;
  bool waiting_ = false;
  bool want_keyed_ = false;  // a courtesy holds the key: asked to key, not yet to release
  bool holding_ = false;     // the guardian was told of a key this connection may hold
  bool counted_release_ = false;
  bool reconnecting_ = false;
  bool squelch_refused_ = false;
  int hid_fd_ = -1;
  QSocketNotifier* hid_notifier_ = nullptr;
  std::optional<bool> hid_open_;
  bool hid_failing_ = false;
  BoundedLog log_{"corvanta: rigctld"};
};

class RigctldLinkObject final : public LinkObject {
 public:
  RigctldLinkObject(std::shared_ptr<Shared> shared, LinkEventSink sink)
      : connection_(new Connection(std::move(shared), std::move(sink))) {}
  ~RigctldLinkObject() override {
    if (connection_) connection_->Detach();
  }
  RigctldLinkObject(const RigctldLinkObject&) = delete;
  RigctldLinkObject& operator=(const RigctldLinkObject&) = delete;

  void SetPTT(bool key) override {
    if (!connection_) throw LinkError("the rigctld connection is gone", LinkError::Fate::kNotSent);
    connection_->SetPTT(key);
  }

 private:
  QPointer<Connection> connection_;
};

}  // namespace

LinkFactory RigctldLinkFactory(RigctldOptions options) {
  auto shared = std::make_shared<Shared>();
  shared->options = std::move(options);
  return [shared](LinkEventSink sink) -> std::unique_ptr<LinkObject> {
    if (!shared->guardian && !shared->options.guardian.empty()) {
      shared->guardian = std::make_unique<rigctld::Guardian>(
          shared->options.guardian, shared->options.host, shared->options.port);
      if (!shared->guardian->running() && shared->options.status) {
        shared->options.status(
            shared->guardian->error() +
            "; if Corvanta ended in a courtesy, the transmitter would stay keyed");
      }
    }
    return std::make_unique<RigctldLinkObject>(shared, std::move(sink));
  };
}

bool RigctldReleasesSent() {
  return releases_on_the_way == 0;
}

}  // namespace corvanta
