#pragma once
// The link program's side of the connection: listens, answers SETPTT requests the way it is
// told to, tracks the transmitter and sends events to every client.
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>

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

  Simulator(Log& log, AnswerPolicy policy);
  ~Simulator() override;

  // On failure `error` says why. A unix endpoint's path may be made absolute in `endpoint`.
  ListenResult Listen(wire::Endpoint& endpoint, std::string& error);
  // Stops listening (removing the socket file) and closes every connection without logging.
  void Close();

  AnswerPolicy& policy() { return policy_; }
  std::size_t clients() const { return connections_.size(); }

  // Sends `bytes` to every client; returns how many.
  std::size_t SendToAll(std::string_view bytes);
  void DropAll();

 signals:
  void clientConnected();
  void setPttReceived(bool key);

 private:
  struct Answer {
    std::chrono::steady_clock::time_point due;
    bool ok;
    bool key;
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

  Log& log_;
  AnswerPolicy policy_;
  QLocalServer* local_server_ = nullptr;
  QTcpServer* tcp_server_ = nullptr;
  std::map<int, std::unique_ptr<Connection>> connections_;
  int next_id_ = 1;
  long setptt_count_ = 0;
  bool keyed_ = false;
  bool closed_ = false;
};

}  // namespace corvanta::linksim
