// Runs corvanta-linksim as a process and talks to it over a unix socket, as Corvanta would, or
// over TCP as a rigctld client would.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/socket/wire.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr auto kPatience = 10s;  // generous: the machine may be busy building

bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = Clock::now() + kPatience;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

sockaddr_un Address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

// A socket bound to `path`; listening or not.
int BoundSocket(const std::string& path, bool listening) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const sockaddr_un addr = Address(path);
  EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  if (listening) {
    EXPECT_EQ(::listen(fd, 4), 0);
  }
  return fd;
}

using Record = std::vector<std::string>;  // timestamp, name, arguments

// One simulator process in a private folder, killed if the test leaves it running.
class Sim {
 public:
  Sim() {
    char tmpl[] = "/tmp/linksim-test-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    sock = dir_ + "/run/link.sock";  // "run" does not exist yet: the simulator makes it
  }
  ~Sim() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
  }

  void Start(std::vector<std::string> args, const std::string& script = "") {
    if (!script.empty()) {
      std::ofstream(dir_ + "/script") << script;
      args.insert(args.end(), {"--script", dir_ + "/script"});
    }
    args.insert(args.begin(), {LINKSIM_EXE, "--log", dir_ + "/log"});
    if (std::none_of(args.begin(), args.end(), [](auto& a) { return a == "--listen"; })) {
      args.insert(args.end(), {"--listen", "unix:" + sock});
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  void StartListening(std::vector<std::string> args = {}, const std::string& script = "") {
    Start(std::move(args), script);
    ASSERT_TRUE(WaitUntil([&] { return Find("LISTEN").has_value(); })) << Stderr();
  }

  // The exit status, or -1 if it did not end in time.
  int Exit() {
    int status = 0;
    const bool ended = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  int Terminate() {
    ::kill(pid_, SIGTERM);
    return Exit();
  }

  std::vector<Record> Log() const {
    std::vector<Record> records;
    std::ifstream in(dir_ + "/log");
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      Record r;
      for (std::string f; fields >> f;) r.push_back(f);
      records.push_back(r);
    }
    return records;
  }
  std::optional<Record> Find(const std::string& name) const {
    for (const Record& r : Log()) {
      if (r.size() > 1 && r[1] == name) return r;
    }
    return std::nullopt;
  }
  bool Logged(const std::string& name) const {
    return WaitUntil([&] { return Find(name).has_value(); });
  }
  std::string Stderr() const {
    std::ifstream in(dir_ + "/stderr");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string sock;

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

class Client {
 public:
  explicit Client(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    const sockaddr_un addr = Address(path);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  }
  explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Client() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool connected() const { return connected_; }
  void Send(const std::string& text) {
    ASSERT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // The next line; nullopt at the end of the connection or when none comes in time.
  std::optional<std::string> Line() {
    const auto deadline = Clock::now() + kPatience;
    while (lines_.empty() && !eof_ && Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[512];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) {
        eof_ = true;
        break;
      }
      for (auto& l : reader_.Feed({buf, static_cast<std::size_t>(n)})) lines_.push_back(l);
    }
    if (lines_.empty()) return std::nullopt;
    std::string line = lines_.front();
    lines_.pop_front();
    return line;
  }
  bool eof() const { return eof_; }
  std::size_t discarded() const { return reader_.discarded(); }

 private:
  int fd_;
  bool connected_ = false;
  bool eof_ = false;
  corvanta::wire::LineReader reader_;
  std::deque<std::string> lines_;
};

double Ms(const Record& r) {
  return std::stod(r.at(0));
}

// The records named `name`, in order.
std::vector<Record> All(const Sim& sim, const std::string& name) {
  std::vector<Record> found;
  for (const Record& r : sim.Log()) {
    if (r.size() > 1 && r[1] == name) found.push_back(r);
  }
  return found;
}

// A loopback port nobody listens on just now.
std::uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size), 0);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// A simulator playing rigctld on a port of its own.
struct Rig {
  explicit Rig(std::vector<std::string> args = {}, const std::string& script = "") {
    args.insert(args.end(), {"--listen", "rigctld:127.0.0.1:" + std::to_string(port)});
    sim.StartListening(args, script);
  }
  std::uint16_t port = FreePort();
  Sim sim;
};

// The lines that come before the connection ends.
std::vector<std::string> Rest(Client& client) {
  std::vector<std::string> lines;
  while (auto line = client.Line()) lines.push_back(*line);
  return lines;
}

TEST(Linksim, AnswersSetPttAsConfigured) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* answer;  // nullptr: the connection closes unanswered
    int min_delay_ms;
  } cases[] = {
      {"plain", {}, "OK", 0},
      {"err", {"--err"}, "ERR refused by simulator", 0},
      {"late", {"--late", "300"}, "OK", 300},
      {"drop", {"--drop-after", "1"}, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sim sim;
    sim.StartListening(c.args);
    Client client(sim.sock);
    ASSERT_TRUE(client.connected());
    const auto sent = Clock::now();
    client.Send("SETPTT 1\n");
    const auto answer = client.Line();
    const auto elapsed = Clock::now() - sent;
    if (c.answer == nullptr) {
      EXPECT_FALSE(answer);
      EXPECT_TRUE(client.eof());
      EXPECT_TRUE(sim.Logged("DISCONNECT"));
      EXPECT_TRUE(sim.Find("DROP"));
    } else {
      EXPECT_EQ(answer, c.answer);
      EXPECT_GE(elapsed, std::chrono::milliseconds(c.min_delay_ms));
      // The log dates the request when it arrived, not when it was answered.
      const auto request = sim.Find("SETPTT");
      const auto logged_answer = sim.Find("ANSWER");
      ASSERT_TRUE(request && logged_answer);
      EXPECT_EQ(*request, (Record{request->at(0), "SETPTT", "1", "1"}));
      EXPECT_EQ(logged_answer->at(2), std::string(c.answer).substr(0, c.answer[0] == 'O' ? 2 : 3));
      EXPECT_GE(Ms(*logged_answer) - Ms(*request), c.min_delay_ms);
    }
    EXPECT_EQ(sim.Terminate(), 0);
    EXPECT_FALSE(std::filesystem::exists(sim.sock));
  }
}

TEST(Linksim, ReleasesTheTransmitterOfAClosedConnection) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> requests;
    bool released;
  } cases[] = {
      {"keyed", {}, {"SETPTT 1"}, true},
      {"keyed then released", {}, {"SETPTT 1", "SETPTT 0"}, false},
      {"key refused", {"--err"}, {"SETPTT 1"}, false},
      {"never answered", {"--silent"}, {"SETPTT 1"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sim sim;
    sim.StartListening(c.args);
    Client client(sim.sock);
    const bool answered = c.args.empty() || c.args[0] != "--silent";
    for (const auto& r : c.requests) {
      client.Send(r + "\n");
      if (answered) {
        ASSERT_TRUE(client.Line());
      }
    }
    ASSERT_TRUE(sim.Logged("SETPTT"));
    client.Close();
    ASSERT_TRUE(sim.Logged("DISCONNECT"));  // RELEASE, if any, comes before it
    EXPECT_EQ(sim.Find("RELEASE").has_value(), c.released);
  }
}

TEST(Linksim, ScriptEventsReachEveryClientInOrder) {
  Sim sim;
  sim.StartListening({},
                     "# served while the script waits\n"
                     "wait-connect 10000\n"
                     "wait-setptt 1 10000\n"
                     "ptt 1\n"
                     "tx 1\n"
                     "raw EVENT PTT 7\n"
                     "rawbytes 200\n"
                     "tx 0\n"
                     "\n"
                     "ptt 0\n"
                     "quit\n");
  Client keyer(sim.sock);
  Client watcher(sim.sock);
  ASSERT_TRUE(WaitUntil([&] { return sim.Log().size() >= 3; }));  // LISTEN, CONNECT, CONNECT
  keyer.Send("SETPTT 1\n");
  const std::vector<std::string> events = {"EVENT PTT 1", "EVENT TX 1", "EVENT PTT 7", "EVENT TX 0",
                                           "EVENT PTT 0"};
  std::vector<std::string> expected = events;
  expected.insert(expected.begin(), "OK");
  for (auto [client, want] : {std::pair{&keyer, expected}, std::pair{&watcher, events}}) {
    std::vector<std::string> got;
    while (auto line = client->Line()) got.push_back(*line);
    EXPECT_EQ(got, want);
    EXPECT_TRUE(client->eof());
    EXPECT_EQ(client->discarded(), 1U);  // the 200 bytes
  }
  EXPECT_EQ(sim.Exit(), 0);
  EXPECT_FALSE(std::filesystem::exists(sim.sock));
}

TEST(Linksim, ReplacesAStaleSocketFile) {
  Sim sim;
  std::filesystem::create_directory(std::filesystem::path(sim.sock).parent_path());
  ::close(BoundSocket(sim.sock, false));  // the file stays; nobody accepts on it
  sim.StartListening();
  Client client(sim.sock);
  ASSERT_TRUE(client.connected());
  client.Send("SETPTT 0\n");
  EXPECT_EQ(client.Line(), "OK");
}

TEST(Linksim, ExitStatus) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* script;
    bool live_listener;
    int status;
  } cases[] = {
      {"quit", {}, "quit\n", false, 0},
      {"wait timed out", {}, "wait-connect 50\nptt 1\nquit\n", false, 3},
      {"socket in use", {}, "quit\n", true, 1},
      {"not loopback", {"--listen", "tcp:192.168.1.1:7300"}, "quit\n", false, 2},
      {"bad number", {"--late", "soon"}, "quit\n", false, 2},
      {"unknown option", {"--loud"}, "quit\n", false, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sim sim;
    int listener = -1;
    if (c.live_listener) {
      std::filesystem::create_directory(std::filesystem::path(sim.sock).parent_path());
      listener = BoundSocket(sim.sock, true);
    }
    sim.Start(c.args, c.script);
    EXPECT_EQ(sim.Exit(), c.status) << sim.Stderr();
    EXPECT_EQ(sim.Find("TIMEOUT").has_value(), c.status == 3);
    // Only a socket it created itself goes at the end.
    EXPECT_EQ(std::filesystem::exists(sim.sock), c.live_listener);
    if (listener >= 0) ::close(listener);
  }
}

// rigctld mode. The answers are those rigctld 4.5.4 gives, byte for byte, with the Dummy radio.
TEST(LinksimRigctld, AnswersEveryFormAsTheDaemon) {
  const struct {
    const char* request;
    std::vector<std::string> answer;
  } steps[] = {
      {"T 1", {"RPRT 0"}},
      {"t", {"1"}},
      {"\\get_ptt", {"1"}},
      {"+t", {"get_ptt:", "PTT: 1", "RPRT 0"}},
      {"\\get_dcd", {"0"}},
      {"+\\get_dcd", {"get_dcd:", "DCD: 0", "RPRT 0"}},
      {";\\get_dcd", {"get_dcd:;DCD: 0;RPRT 0"}},
      {"+T 0\r", {"set_ptt: 0", "RPRT 0"}},
      {"|\\set_ptt 3", {"set_ptt: 3|RPRT 0"}},
      {"T 5", {"RPRT -1"}},
      {"+T on", {"set_ptt: on", "RPRT -1"}},
      {"T 0 t", {"RPRT 0", "0"}},  // two commands on one line
      {"+T", {}},                  // its argument is the next line's first word
      {"1", {"set_ptt: 1", "RPRT 0"}},
      {"", {}},
      {"tt", {"1", "1"}},
      {"+\\foo", {"RPRT -4"}},
      {"q", {"RPRT 0"}},
  };
  Rig rig;
  Client client(rig.port);
  ASSERT_TRUE(client.connected());
  for (const auto& step : steps) {
    SCOPED_TRACE(step.request);
    client.Send(std::string(step.request) + "\n");
    for (const std::string& want : step.answer) EXPECT_EQ(client.Line(), want);
  }
  EXPECT_EQ(Rest(client), std::vector<std::string>{});  // q closed it, nothing more said
  // Each change of the PTT, with the client that made it.
  std::vector<std::string> changes;
  for (const Record& r : All(rig.sim, "PTT")) changes.push_back(r.at(2) + " by " + r.at(3));
  EXPECT_EQ(changes, (std::vector<std::string>{"1 by 1", "0 by 1", "1 by 1", "0 by 1", "1 by 1"}));
  EXPECT_EQ(All(rig.sim, "REQUEST").at(2),
            (Record{All(rig.sim, "REQUEST")[2].at(0), "REQUEST", "1", "\\\\get_ptt"}));
}

TEST(LinksimRigctld, ReleaseIsAnsweredWhenTheRelaysHaveSettled) {
  Rig rig;
  Client client(rig.port);
  client.Send("T 1\n");
  ASSERT_EQ(client.Line(), "RPRT 0");
  const auto sent = Clock::now();
  client.Send("+T 0\n");
  EXPECT_EQ(client.Line(), "set_ptt: 0");
  EXPECT_GE(Clock::now() - sent, 45ms);
  ASSERT_TRUE(rig.sim.Logged("ANSWER"));
  const Record request = All(rig.sim, "REQUEST").back();
  const Record released = All(rig.sim, "PTT").back();
  EXPECT_EQ(released.at(2), "0");
  EXPECT_GE(Ms(released) - Ms(request), 45);
  EXPECT_GE(Ms(All(rig.sim, "ANSWER").back()), Ms(released));
}

TEST(LinksimRigctld, ThePttOutlivesTheClientThatKeyedIt) {
  Rig rig;
  Client keyer(rig.port);
  keyer.Send("+T 1\n");
  ASSERT_EQ(keyer.Line(), "set_ptt: 1");
  Client guardian(rig.port);  // a second client shares the radio
  guardian.Send("t\n");
  EXPECT_EQ(guardian.Line(), "1");
  keyer.Close();
  ASSERT_TRUE(rig.sim.Logged("DISCONNECT"));
  guardian.Send("+t\n");
  EXPECT_EQ(guardian.Line(), "get_ptt:");
  EXPECT_EQ(guardian.Line(), "PTT: 1");
  EXPECT_EQ(All(rig.sim, "PTT").size(), 1U);
}

TEST(LinksimRigctld, ScriptCommandsChangeTheRadioAndItsAnswers) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* script;  // "dcd 1" says it is ready
    const char* requests;
    std::vector<std::string> answers;  // all the client hears before the connection ends
  } cases[] = {
      {"keyed elsewhere",
       {},
       "ptt 1\ndcd 1\n",
       "+t\n\\get_dcd\nq\n",
       {"get_ptt:", "PTT: 1", "RPRT 0", "1", "RPRT 0"}},
      {"refused",
       {},
       "err on\ndcd 1\n",
       "T 1\nt\n\\get_dcd\nq\n",
       {"RPRT -11", "0", "1", "RPRT 0"}},
      {"refused, own code",
       {},
       "err on\nrprt -9\ndcd 1\n",
       "+T 0\nq\n",
       {"set_ptt: 0", "RPRT -9", "RPRT 0"}},
      {"silent, then dropped",
       {},
       "silent on\ndcd 1\nwait-setptt 1 10000\ndrop\n",
       "+t\nT 1\nq\n",
       {}},
      {"dropped at the second keying",
       {"--drop-after", "2"},
       "dcd 1\n",
       "T 1\nT 0\nt\n",
       {"RPRT 0"}},
      {"quit", {}, "dcd 1\nwait-setptt 0 10000\nquit\n", "T 0\n", {"RPRT 0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.args, c.script);
    Client client(rig.port);
    ASSERT_TRUE(rig.sim.Logged("DCD"));
    client.Send(c.requests);
    EXPECT_EQ(Rest(client), c.answers);
    EXPECT_TRUE(client.eof());
  }
}

TEST(LinksimRigctld, FlutterClosesTheSquelchForAWhile) {
  // The first flutter finds the squelch closed and is refused.
  Rig rig({}, "flutter 100\ndcd 1\nflutter 1000\n");
  Client client(rig.port);
  ASSERT_TRUE(WaitUntil([&] { return All(rig.sim, "DCD").size() == 2; }));
  client.Send("\\get_dcd\n");
  EXPECT_EQ(client.Line(), "0");
  ASSERT_TRUE(WaitUntil([&] { return All(rig.sim, "DCD").size() == 3; }));
  client.Send("+\\get_dcd\n");
  EXPECT_EQ(client.Line(), "get_dcd:");
  EXPECT_EQ(client.Line(), "DCD: 1");
  const auto dcd = All(rig.sim, "DCD");
  EXPECT_EQ(dcd[1].at(2), "0");
  EXPECT_EQ(dcd[2].at(2), "1");
  EXPECT_GE(Ms(dcd[2]) - Ms(dcd[1]), 1000);
  EXPECT_NE(rig.sim.Stderr().find("flutter needs the squelch open"), std::string::npos);
}

TEST(LinksimRigctld, LateOnceDelaysOneAnswer) {
  Rig rig({}, "late-once 300\ndcd 1\n");
  Client client(rig.port);
  ASSERT_TRUE(rig.sim.Logged("DCD"));
  const auto sent = Clock::now();
  client.Send("t\nt\n");
  EXPECT_EQ(client.Line(), "0");
  EXPECT_GE(Clock::now() - sent, 300ms);
  EXPECT_EQ(client.Line(), "0");
  ASSERT_TRUE(WaitUntil([&] { return All(rig.sim, "ANSWER").size() == 2; }));
  const auto requests = All(rig.sim, "REQUEST");
  const auto answers = All(rig.sim, "ANSWER");
  EXPECT_GE(Ms(answers[0]) - Ms(requests[0]), 300);
  // The second was read once the first was answered, and answered when read.
  EXPECT_GE(Ms(requests[1]), Ms(answers[0]));
  EXPECT_LT(Ms(answers[1]) - Ms(requests[1]), 300);
}

}  // namespace
