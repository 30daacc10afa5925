#pragma once
// The link program's side of the connection: listens, answers SETPTT requests the way it is
// told to, tracks the transmitter and sends events to every client. In rigctld mode it plays
// hamlib's rigctld instead: one radio (PTT and squelch) shared by every client, read and keyed
// with rigctld's text commands (simulator_rigctld.cpp).
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/socket/wire.h"
#include "tools/linksim/script.h"

class QLocalServer;
class QLocalSocket;
class QTcpServer;
class QTcpSocket;
class QIODevice;

namespace corvanta::linksim {

class Simulator : public QObject {
  Q_OBJECT

 public:
  enum class ListenResult { kOk, kBadEndpoint, kFailed };

  Simulator(Log& log, AnswerPolicy policy, bool rigctld = false);
  ~Simulator() override;

  // On failure `error` says why. A unix endpoint's path may be made absolute in `endpoint`.
  ListenResult Listen(wire::Endpoint& endpoint, std::string& error);
  // Stops listening (removing the socket file) and closes every connection without logging.
  void Close();

  AnswerPolicy& policy() { return policy_; }
  // The next answer only is this late instead of the policy's.
  void SetLateOnce(int ms) { late_once_ms_ = ms; }
  // rigctld: the RPRT code of a refused keying.
  void SetRefusalCode(int code) { refusal_code_ = code; }
  std::size_t clients() const { return connections_.size(); }

  // Sends `bytes` to every client; returns how many.
  std::size_t SendToAll(std::string_view bytes);
  void DropAll();

  // rigctld mode: the radio's state, as another program or the receiver would change it.
  bool rigctld() const { return rigctld_; }
  bool dcd() const { return dcd_; }
  void SetRadioPtt(bool key, const std::string& who);
  // Cancels a flutter in progress.
  void SetDcd(bool open);
  // Closes the open squelch for `ms`, then opens it again. false when it is closed.
  bool Flutter(int ms);

 signals:
  void clientConnected();
  void setPttReceived(bool key);

 private:
  struct Answer {
    std::chrono::steady_clock::time_point due;
    bool ok;
    bool key;
  };
  // One rigctld request in progress: the radio acts at `act_at`, the answer leaves at
  // `answer_at`. rigctld serves each client's requests one after the other.
  struct RigJob {
    std::chrono::steady_clock::time_point act_at;
    std::chrono::steady_clock::time_point answer_at;
    std::optional<bool> ptt;      // what the radio's PTT becomes
    std::optional<bool> set_ptt;  // the keying a valid T asked for, refused or not
    bool acted = false;
    std::string answer;
    int code = 0;
    bool close = false;  // q: the connection ends after the answer
  };
  struct Connection {
    int id = 0;
    QIODevice* io = nullptr;
    QLocalSocket* local = nullptr;  // one of these two is set
    QTcpSocket* tcp = nullptr;
    wire::LineReader reader;
    bool keyed = false;          // its last confirmed SETPTT was 1
    std::deque<Answer> answers;  // in the order they must go out
    QTimer* timer = nullptr;
    std::deque<std::string> rig_tokens;  // words read, not yet served
    std::optional<RigJob> rig_job;
  };

  void Adopt(QLocalSocket* local, QTcpSocket* tcp);
  Connection* Find(int id);
  void OnReadable(int id);
  void HandleLine(int id, const std::string& line);
  void SendDueAnswers(int id);
  void Drop(int id);
  static void Abort(Connection& c);
  void Remove(int id);
  void UpdateTransmitter();
  int TakeLateMs();

  enum class RigStart { kIncomplete, kNothing, kJob, kDrop };
  // Serves a rigctld client's requests in order, as far as their times allow.
  void RunRig(int id);
  // Reads what the client sent once the requests before it are served, as rigctld does.
  void ReadRigTokens(Connection& c);
  // Takes the next whole request, logs it and starts its job; `set_ptt` gains the keying of a
  // T request that gets no answer.
  RigStart StartRigJob(Connection& c, std::vector<bool>& set_ptt);

  Log& log_;
  AnswerPolicy policy_;
  QLocalServer* local_server_ = nullptr;
  QTcpServer* tcp_server_ = nullptr;
  std::map<int, std::unique_ptr<Connection>> connections_;
  int next_id_ = 1;
  long setptt_count_ = 0;
  bool keyed_ = false;
  bool closed_ = false;

  int late_once_ms_ = 0;    // 0: none pending
  int refusal_code_ = -11;  // hamlib's "not available"

  bool rigctld_ = false;
  bool radio_ptt_ = false;
  bool dcd_ = false;
  QTimer* flutter_ = nullptr;
};

}  // namespace corvanta::linksim
