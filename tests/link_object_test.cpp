// The socket link object against a scripted peer on a private unix socket. The peer runs on its
// own thread, since the object blocks the window thread while it waits for an answer. Timeouts
// are shortened; nothing here depends on exact real-time figures.
#include "link/socket/echolink_object.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "tests/contracts/link_contract.h"
#include "ui/qt/qt_platform.h"

namespace corvanta {
namespace {

using namespace std::chrono_literals;

// A link program stand-in: accepts connections one after another and answers each request line
// with what `reply` returns for it ("" answers nothing, "DROP" closes the connection).
class Peer {
 public:
  explicit Peer(std::string path) : path_(std::move(path)) {}
  ~Peer() { Stop(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  void Start(std::function<std::string(const std::string&)> reply) {
    reply_ = std::move(reply);
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
    unlink(path_.c_str());
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener_, 4), 0);
    running_ = true;
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    if (!running_) return;
    running_ = false;
    thread_.join();
    close(listener_);
    unlink(path_.c_str());
  }
  // Sends raw bytes to the current connection (from the test thread).
  void Send(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    outbox_ += bytes;
  }
  void DropConnection() { drop_ = true; }
  // Answers written so far (to a connection that may already be closed).
  int Answered() const { return answered_.load(); }
  std::vector<std::string> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void Run() {
    int client = -1;
    std::string partial;
    while (running_) {
      if (client < 0) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) client = accept(listener_, nullptr, nullptr);
        continue;
      }
      {
        std::lock_guard lock(mutex_);
        if (!outbox_.empty()) {
          (void)!send(client, outbox_.data(), outbox_.size(), MSG_NOSIGNAL);
          outbox_.clear();
        }
      }
      if (drop_.exchange(false)) {
        close(client);
        client = -1;
        continue;
      }
      pollfd p{client, POLLIN, 0};
      if (poll(&p, 1, 5) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(client, buffer, sizeof buffer);
      if (n <= 0) {
        close(client);
        client = -1;
        continue;
      }
      partial.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t lf; (lf = partial.find('\n')) != std::string::npos;) {
        const std::string line = partial.substr(0, lf);
        partial.erase(0, lf + 1);
        {
          std::lock_guard lock(mutex_);
          received_.push_back(line);
        }
        const std::string answer = reply_(line);
        if (answer == "DROP") {
          close(client);
          client = -1;
          break;
        }
        if (!answer.empty()) {
          (void)!send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
          ++answered_;
        }
      }
    }
    if (client >= 0) close(client);
  }

  std::string path_;
  std::function<std::string(const std::string&)> reply_;
  int listener_ = -1;
  std::atomic<bool> running_{false};
  std::atomic<bool> drop_{false};
  std::atomic<int> answered_{0};
  std::thread thread_;
  std::mutex mutex_;
  std::string outbox_;
  std::vector<std::string> received_;
};

// Runs the event loop until `done` or `limit_ms` have passed.
bool Pump(const std::function<bool()>& done, qint64 limit_ms = 3000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < limit_ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(1ms);
  }
  return done();
}

// The link contract against the socket client, with the simulator as the link program.
class SocketLinkHarness {
 public:
  ~SocketLinkHarness() {
    if (sim_.state() == QProcess::NotRunning) return;
    sim_.write("quit\n");
    if (!sim_.waitForFinished(5000)) sim_.kill();
  }
  std::unique_ptr<LinkObject> Make(LinkEventSink sink) {
    if (sim_.state() == QProcess::NotRunning) Start();
    LinkOptions options;
    options.endpoint.path = socket_;
    // Counted before the object connects: the simulator may log its connection at once.
    const std::size_t connections = Records("CONNECT").size() + 1;
    auto link = SocketLinkFactory(options)(std::move(sink));
    // Events raised from now on must find the connection.
    EXPECT_TRUE(ProcessMessagesUntil([&] { return Records("CONNECT").size() >= connections; }));
    return link;
  }
  void Raise(const char* event, bool on) {
    sim_.write((std::string(event == std::string("PTT") ? "ptt " : "tx ") + (on ? "1" : "0") + "\n")
                   .c_str());
    sim_.waitForBytesWritten(1000);
  }
  bool ProcessMessagesUntil(const std::function<bool()>& done) { return Pump(done, 5000); }
  std::vector<bool> Requests() const {
    std::vector<bool> keys;
    for (const std::string& r : Records("SETPTT")) keys.push_back(r.substr(0, 1) == "1");
    return keys;
  }
  bool Keyed() const {
    const auto states = Records("TRANSMITTER");
    return !states.empty() && states.back() == "1";
  }
  void RefuseKeying() { options_ << "--err"; }
  void Drop() {
    sim_.write("drop\n");
    sim_.waitForBytesWritten(1000);
  }

 private:
  void Start() {
    sim_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim_.start(LINKSIM_EXE, QStringList{"--listen", QString::fromStdString("unix:" + socket_),
                                        "--log", QString::fromStdString(log_)} +
                                options_);
    ASSERT_TRUE(sim_.waitForStarted(5000));
    ASSERT_TRUE(Pump([this] { return !Records("LISTEN").empty(); }, 5000));
  }
  // The fields after the kind of every log record of that kind.
  std::vector<std::string> Records(const std::string& kind) const {
    std::vector<std::string> out;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string ms, record, rest;
      if (fields >> ms >> record && record == kind) {
        std::getline(fields >> std::ws, rest);
        out.push_back(rest);
      }
    }
    return out;
  }
  QTemporaryDir dir_;
  std::string socket_ = dir_.filePath("link.sock").toStdString();
  std::string log_ = dir_.filePath("linksim.log").toStdString();
  QStringList options_;
  QProcess sim_;
};

struct LinkObjectTest : ::testing::Test {
  LinkObjectTest() : peer(dir.filePath("link.sock").toStdString()) {
    LinkOptions options;
    options.endpoint.path = dir.filePath("link.sock").toStdString();
    options.status = [this](const std::string& text) { statuses.push_back(text); };
    options.answer_timeout_ms = 150;
    options.retry_ms = 50;
    options.max_pending_events = 8;
    factory = SocketLinkFactory(options);
    sink.PTT = [this](std::int16_t v) { events.push_back("PTT " + std::to_string(v)); };
    sink.TX = [this](std::int16_t v) { events.push_back("TX " + std::to_string(v)); };
  }
  ~LinkObjectTest() override {
    link.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  void Make() { link = factory(sink); }
  bool Connected() const {
    return !statuses.empty() && statuses.back().rfind("Link program connected", 0) == 0;
  }

  QTemporaryDir dir;
  Peer peer;
  LinkFactory factory;
  LinkEventSink sink;
  std::unique_ptr<LinkObject> link;
  std::vector<std::string> statuses;
  std::vector<std::string> events;
};

std::string Ok(const std::string&) {
  return "OK\n";
}

// The answer decides the outcome and what the caller is told about the request's fate: a refusal
// or a missing answer may still have keyed (the caller then sends a release), a lost connection
// released the key.
TEST_F(LinkObjectTest, AnswersDecideTheOutcomeOfSetPtt) {
  using Fate = LinkError::Fate;
  struct Case {
    const char* name;
    std::string answer;
    const char* error;  // nullptr: success
    Fate fate;
    bool released;
  };
  const Case cases[] = {
      {"OK", "OK\n", nullptr, Fate::kNotSent, false},
      {"OK with CR LF", "OK\r\n", nullptr, Fate::kNotSent, false},
      {"ERR with text", "ERR transmitter busy\n", "refused: transmitter busy", Fate::kRefused,
       false},
      {"bare ERR", "ERR\n", "refused: ERR", Fate::kRefused, false},
      {"no answer", "", "did not answer within 150 ms", Fate::kUnanswered, true},
      {"connection dropped", "DROP", "lost", Fate::kLost, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    peer.Stop();
    link.reset();
    const std::string answer = c.answer;
    peer.Start([answer](const std::string&) { return answer; });
    Make();
    ASSERT_TRUE(Pump([this] { return Connected(); }));
    try {
      link->SetPTT(true);
      EXPECT_EQ(c.error, nullptr);
    } catch (const LinkError& e) {
      ASSERT_NE(c.error, nullptr) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
      EXPECT_EQ(e.fate, c.fate);
      EXPECT_EQ(e.released, c.released);
    }
    EXPECT_TRUE(Pump([this] { return !peer.Received().empty(); }));
    EXPECT_EQ(peer.Received().back(), "SETPTT 1");
  }
}

TEST_F(LinkObjectTest, AbsentAtStartThenAppearsAndLaterReturnsAfterALoss) {
  Make();  // nobody listens yet
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_NE(statuses[0].find("not connected"), std::string::npos);
  EXPECT_THROW(link->SetPTT(true), LinkError);
  Pump([] { return false; }, 300);  // retries happen, the status bar hears nothing of them
  EXPECT_EQ(statuses.size(), 1u);

  peer.Start(Ok);
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  EXPECT_NO_THROW(link->SetPTT(true));

  peer.DropConnection();
  ASSERT_TRUE(Pump([this] { return statuses.back().find("lost") != std::string::npos; }));
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  EXPECT_NO_THROW(link->SetPTT(false));
}

TEST_F(LinkObjectTest, BadLinesAreIgnoredAndEventsArriveInOrder) {
  peer.Start(Ok);
  Make();
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  peer.Send("EVENT PTT 1\n");
  peer.Send("garbage\nEVENT PTT\nEVENT PTT x1\nEVENT FOO 0\n\x01\xff\x00 binary\n");
  peer.Send(std::string(300, 'x') + "EVENT TX 0\n");  // over-long: dropped up to its LF
  peer.Send("EVENT TX 0\r\nEVENT PTT 0\nEVENT TX 99999999999999999999\n");
  ASSERT_TRUE(Pump([this] { return events.size() >= 4; }));
  Pump([this] { return events.size() > 4; }, 300);
  EXPECT_EQ(events, (std::vector<std::string>{"PTT -1", "TX 0", "PTT 0", "TX -1"}));
}

TEST_F(LinkObjectTest, EventsDuringTheWaitComeAfterTheCallInOrder) {
  peer.Start([](const std::string&) { return "EVENT TX 0\nEVENT PTT 0\nOK\n"; });
  Make();
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  link->SetPTT(true);
  EXPECT_TRUE(events.empty());
  ASSERT_TRUE(Pump([this] { return events.size() == 2; }));
  EXPECT_EQ(events, (std::vector<std::string>{"TX 0", "PTT 0"}));
}

TEST_F(LinkObjectTest, ALateAnswerIsNotTakenForTheNextRequest) {
  std::atomic<int> requests{0};
  peer.Start([&requests](const std::string&) -> std::string {
    if (++requests == 1) {
      std::this_thread::sleep_for(300ms);  // past the 150 ms the object waits
      return "ERR too late\n";
    }
    return "OK\n";
  });
  Make();
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  EXPECT_THROW(link->SetPTT(true), LinkError);
  ASSERT_TRUE(Pump([this] { return peer.Answered() >= 1; }));  // the late ERR is on its way
  EXPECT_NO_THROW(link->SetPTT(false));
}

// A link program that stays silent once and then answers again: the request after the silent one
// and every later one get their own answers (the connection is made again at once, and the link
// program releases what the closed connection had keyed).
TEST_F(LinkObjectTest, OneUnansweredRequestDoesNotBreakTheLaterOnes) {
  std::atomic<int> requests{0};
  peer.Start(
      [&requests](const std::string&) -> std::string { return ++requests == 1 ? "" : "OK\n"; });
  Make();
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  try {
    link->SetPTT(true);
    ADD_FAILURE() << "the silent request succeeded";
  } catch (const LinkError& e) {
    EXPECT_TRUE(e.acted());
    EXPECT_NE(std::string(e.what()).find("did not answer"), std::string::npos) << e.what();
  }
  for (const bool key : {false, true, false, true, false}) {
    SCOPED_TRACE(key);
    EXPECT_NO_THROW(link->SetPTT(key));
  }
  EXPECT_EQ(requests.load(), 6);
}

// The message processing that follows a Morse symbol delivers the events that arrived during it:
// one pass, not a later one when the transmission may already be over.
TEST_F(LinkObjectTest, EventsThatArriveDuringASymbolComeWithTheNextMessageProcessing) {
  peer.Start(Ok);
  Make();
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  QtPlatform platform;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    events.clear();
    peer.Send("EVENT PTT 0\nEVENT TX 0\n");
    // The symbol: the window thread is busy and processes nothing (a sleep on purpose: this is
    // the symbol being measured out, not a wait for something). Then one pass.
    std::this_thread::sleep_for(100ms);
    platform.DoEvents();
    EXPECT_EQ(events, (std::vector<std::string>{"PTT 0", "TX 0"}));
  }
}

// An event whose handler runs a transmission: events that arrive during it are delivered from
// its own message processing, nested, in order.
TEST_F(LinkObjectTest, EventsDuringAHandlerAreDeliveredFromItsMessageProcessing) {
  peer.Start(Ok);
  QtPlatform platform;
  sink.PTT = [this, &platform](std::int16_t v) {
    events.push_back("PTT " + std::to_string(v) + " begins");
    peer.Send("EVENT TX 0\nEVENT TX -1\n");
    std::this_thread::sleep_for(100ms);  // a symbol, as above
    platform.DoEvents();                 // between two symbols
    events.push_back("PTT ends");
  };
  Make();
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  peer.Send("EVENT PTT 0\n");
  ASSERT_TRUE(Pump([this] { return events.size() >= 4; }));
  EXPECT_EQ(events, (std::vector<std::string>{"PTT 0 begins", "TX 0", "TX -1", "PTT ends"}));
}

// Events that arrived together with the one that starts a transmission are window messages still
// waiting: the transmission takes them between its symbols too.
TEST_F(LinkObjectTest, EventsWaitingBehindTheOneThatStartsATransmissionComeInsideIt) {
  peer.Start(Ok);
  QtPlatform platform;
  sink.PTT = [this, &platform](std::int16_t) {
    events.push_back("PTT begins");
    platform.DoEvents();  // between two symbols
    events.push_back("PTT ends");
  };
  Make();
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  peer.Send("EVENT PTT 0\nEVENT TX 0\n");
  ASSERT_TRUE(Pump([this] { return events.size() >= 3; }));
  EXPECT_EQ(events, (std::vector<std::string>{"PTT begins", "TX 0", "PTT ends"}));
}

// The fallback socket folder in the shared temporary folder is trusted only when it is the
// user's own and closed to everybody else.
TEST(LinkFolder, TheSharedFallbackFolderMustBePrivate) {
  const std::string folder = "/tmp/corvanta-" + std::to_string(getuid());
  struct stat st {};
  if (::lstat(folder.c_str(), &st) == 0) GTEST_SKIP() << folder << " exists; not touching it";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  struct Case {
    mode_t mode;
    bool refused;
  };
  for (const Case c : {Case{0700, false}, Case{0755, true}, Case{0777, true}, Case{0711, true}}) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
    std::vector<std::string> statuses;
    LinkOptions options;
    options.endpoint.path = folder + "/link.sock";
    options.retry_ms = 60000;
    options.status = [&statuses](const std::string& text) { statuses.push_back(text); };
    auto object = SocketLinkFactory(options)(LinkEventSink{});
    ASSERT_EQ(statuses.size(), 1u);  // nobody listens: not connected either way
    EXPECT_EQ(statuses[0].find("not private to this user") != std::string::npos, c.refused)
        << statuses[0];
    object.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  ::rmdir(folder.c_str());
}

TEST_F(LinkObjectTest, AFloodOfEventsIsBounded) {
  peer.Start(Ok);
  Make();
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  std::string flood;
  for (int i = 0; i < 200; ++i) flood += "EVENT PTT 1\n";
  peer.Send(flood);
  Pump([this] { return events.size() >= 8; });
  Pump([] { return false; }, 300);
  EXPECT_GE(events.size(), 8u);
  EXPECT_LT(events.size(), 200u);  // the peer cannot queue without bound
}

TEST_F(LinkObjectTest, ReleasingTheObjectEndsItsEvents) {
  peer.Start(Ok);
  Make();
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  peer.Send("EVENT TX 0\n");
  link.reset();
  Pump([] { return false; }, 300);
  EXPECT_TRUE(events.empty());
}

TEST_F(LinkObjectTest, AHandlerMayReleaseTheObjectThatDeliversToIt) {
  peer.Start(Ok);
  sink.TX = [this](std::int16_t) {
    events.push_back("TX");
    link = factory(sink);  // as Send does from inside a link event
  };
  Make();
  ASSERT_TRUE(Pump([this] { return Connected(); }));
  peer.Send("EVENT TX 0\nEVENT TX 0\n");
  Pump([this] { return events.size() >= 2; }, 300);
  // The second event belonged to the released object and is not delivered.
  EXPECT_EQ(events, (std::vector<std::string>{"TX"}));
}

}  // namespace
}  // namespace corvanta

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // as the program does: a dropped peer is an error, not a signal
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

namespace corvanta::contracts {
INSTANTIATE_TYPED_TEST_SUITE_P(Socket, LinkContract, corvanta::SocketLinkHarness);
}  // namespace corvanta::contracts
