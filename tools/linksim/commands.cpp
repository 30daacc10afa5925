#include "tools/linksim/commands.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "tools/linksim/options.h"

namespace corvanta::linksim {

namespace {

// A command line longer than this is nonsense; it is skipped so memory stays bounded.
constexpr std::size_t kMaxCommand = 64 * 1024;

}  // namespace

CommandRunner::CommandRunner(Simulator& sim, Log& log, std::function<void()> quit)
    : sim_(sim), log_(log), quit_(std::move(quit)) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &CommandRunner::OnTimer);
  connect(&sim_, &Simulator::clientConnected, this, [this] {
    if (wait_ == Wait::kConnect) EndWait();
  });
  connect(&sim_, &Simulator::setPttReceived, this, [this](bool key) {
    if (wait_ == Wait::kSetPtt && key == wait_key_) EndWait();
  });
}

void CommandRunner::Load(std::vector<std::string> lines) {
  for (auto& line : lines) queue_.push_back(std::move(line));
}

void CommandRunner::Append(std::string line) {
  queue_.push_back(std::move(line));
  Pump();
}

void CommandRunner::Pump() {
  if (pumping_) return;  // a command in progress ended a wait; its loop goes on
  pumping_ = true;
  while (!quitting_ && wait_ == Wait::kNone && !queue_.empty()) {
    const std::string line = std::move(queue_.front());
    queue_.pop_front();
    Execute(line);
  }
  pumping_ = false;
}

void CommandRunner::Key(char key) {
  if (sim_.rigctld()) {
    // The radio's own controls: its PTT and its receiver's squelch.
    if (key == 'P' || key == 'p') sim_.SetRadioPtt(key == 'P', "command");
    if (key == 'D' || key == 'd') sim_.SetDcd(key == 'D');
    if (key == 'q') Quit();
    return;
  }
  switch (key) {
    case 'P':
      SendEvent("PTT", true);
      break;
    case 'p':
      SendEvent("PTT", false);
      break;
    case 'T':
      SendEvent("TX", true);
      break;
    case 't':
      SendEvent("TX", false);
      break;
    case 'q':
      Quit();
      break;
    default:
      break;
  }
}

void CommandRunner::SendEvent(const char* name, bool on) {
  const std::string line = std::string("EVENT ") + name + (on ? " 1" : " 0");
  const std::size_t n = sim_.SendToAll(line + "\n");
  log_.Write(line + " " + std::to_string(n));
}

void CommandRunner::Execute(const std::string& text) {
  std::string_view line = text;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const auto words = Words(line);
  if (words.empty() || words[0].front() == '#') return;
  const std::string_view cmd = words[0];
  const std::size_t args = words.size() - 1;
  auto bad = [&] {
    std::fprintf(stderr, "corvanta-linksim: skipped the bad command \"%s\"\n",
                 wire::Escape(line).c_str());
  };
  auto ms = [&](std::size_t i) { return args >= i ? ParseCount(words[i], kMaxMs) : std::nullopt; };

  const bool rig = sim_.rigctld();

  if (rig && (cmd == "ptt" || cmd == "dcd") && args == 1 && OnOff(words[1], "1", "0")) {
    // As if another program keyed the radio, or the receiver heard a signal.
    const bool on = *OnOff(words[1], "1", "0");
    if (cmd == "ptt") {
      sim_.SetRadioPtt(on, "command");
    } else {
      sim_.SetDcd(on);
    }
  } else if (rig && cmd == "flutter" && args == 1 && ms(1) && *ms(1) > 0) {
    if (!sim_.Flutter(static_cast<int>(*ms(1)))) {
      std::fprintf(stderr, "corvanta-linksim: flutter needs the squelch open (dcd 1)\n");
    }
  } else if (rig && cmd == "rprt" && args == 1) {
    // The code of a refused keying, with or without its minus sign.
    std::string_view code = words[1];
    if (!code.empty() && code.front() == '-') code.remove_prefix(1);
    const auto n = ParseCount(code, 1000);
    if (!n || *n == 0) return bad();
    sim_.SetRefusalCode(-static_cast<int>(*n));
  } else if (!rig && (cmd == "ptt" || cmd == "tx") && args == 1) {
    const auto on = OnOff(words[1], "1", "0");
    if (!on) return bad();
    SendEvent(cmd == "ptt" ? "PTT" : "TX", *on);
  } else if (cmd == "sleep" && args == 1 && ms(1)) {
    StartWait(Wait::kSleep, *ms(1));
  } else if (cmd == "wait-connect" && args <= 1 && (args == 0 || ms(1))) {
    if (sim_.clients() > 0) return;
    StartWait(Wait::kConnect, args == 0 ? -1 : *ms(1));
  } else if (cmd == "wait-setptt" && (args == 1 || args == 2) && OnOff(words[1], "1", "0") &&
             (args == 1 || ms(2))) {
    wait_key_ = *OnOff(words[1], "1", "0");
    StartWait(Wait::kSetPtt, args == 1 ? -1 : *ms(2));
  } else if (cmd == "raw") {
    // Everything after "raw " as it stands, spaces included.
    const std::size_t at = line.find("raw") + 3;
    const std::string_view payload = at < line.size() ? line.substr(at + 1) : std::string_view{};
    const std::size_t n = sim_.SendToAll(std::string(payload) + "\n");
    log_.Write("RAW " + std::to_string(n) + " " + wire::Escape(payload));
  } else if (cmd == "rawbytes" && args == 1 && ParseCount(words[1], 1'000'000)) {
    const auto count = static_cast<std::size_t>(*ParseCount(words[1], 1'000'000));
    const std::size_t n = sim_.SendToAll(std::string(count, 'x') + "\n");
    log_.Write("RAWBYTES " + std::to_string(count) + " " + std::to_string(n));
  } else if ((cmd == "err" || cmd == "silent") && args == 1 && OnOff(words[1], "on", "off")) {
    (cmd == "err" ? sim_.policy().err : sim_.policy().silent) = *OnOff(words[1], "on", "off");
  } else if (cmd == "late" && args == 1 && ms(1)) {
    sim_.policy().late_ms = static_cast<int>(*ms(1));
  } else if (cmd == "late-once" && args == 1 && ms(1)) {
    sim_.SetLateOnce(static_cast<int>(*ms(1)));
  } else if (cmd == "drop" && args == 0) {
    sim_.DropAll();
  } else if (cmd == "quit" && args == 0) {
    Quit();
  } else {
    bad();
  }
}

void CommandRunner::StartWait(Wait wait, long timeout_ms) {
  wait_ = wait;
  wait_timeout_ms_ = timeout_ms;
  if (timeout_ms >= 0) timer_.start(static_cast<int>(timeout_ms));
}

void CommandRunner::EndWait() {
  timer_.stop();
  wait_ = Wait::kNone;
  Pump();
}

void CommandRunner::OnTimer() {
  if (wait_ == Wait::kConnect || wait_ == Wait::kSetPtt) {
    const std::string what = wait_ == Wait::kConnect
                                 ? std::string("wait-connect")
                                 : std::string("wait-setptt ") + (wait_key_ ? "1" : "0");
    std::fprintf(stderr, "corvanta-linksim: %s timed out after %ld ms\n", what.c_str(),
                 wait_timeout_ms_);
    log_.Write("TIMEOUT " + what + " " + std::to_string(wait_timeout_ms_));
    timed_out_ = true;
  }
  EndWait();
}

void CommandRunner::Quit() {
  if (quitting_) return;
  quitting_ = true;
  timer_.stop();
  quit_();
}

StdinReader::StdinReader(CommandRunner& runner, bool keys)
    : runner_(runner), keys_(keys), notifier_(STDIN_FILENO, QSocketNotifier::Read) {
  connect(&notifier_, &QSocketNotifier::activated, this, &StdinReader::OnReadable);
}

void StdinReader::OnReadable() {
  char buffer[4096];
  const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    notifier_.setEnabled(false);
    if (!partial_.empty() && !too_long_) runner_.Append(std::move(partial_));
    partial_.clear();
    return;
  }
  const std::string_view bytes(buffer, static_cast<std::size_t>(n));
  if (keys_) {
    for (const char key : bytes) runner_.Key(key);
    return;
  }
  std::vector<std::string> lines;
  for (const char c : bytes) {
    if (c != '\n') {
      if (partial_.size() < kMaxCommand)
        partial_ += c;
      else
        too_long_ = true;
    } else if (too_long_) {
      std::fprintf(stderr, "corvanta-linksim: skipped a command longer than %zu bytes\n",
                   kMaxCommand);
      too_long_ = false;
      partial_.clear();
    } else {
      lines.push_back(std::move(partial_));
      partial_.clear();
    }
  }
  for (auto& line : lines) runner_.Append(std::move(line));
}

namespace {

termios g_saved_terminal{};
bool g_terminal_changed = false;

}  // namespace

bool EnterKeyMode() {
  if (::isatty(STDIN_FILENO) == 0 || ::tcgetpgrp(STDIN_FILENO) != ::getpgrp()) return false;
  if (::tcgetattr(STDIN_FILENO, &g_saved_terminal) != 0) return false;
  termios raw = g_saved_terminal;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return false;
  g_terminal_changed = true;
  std::atexit(RestoreTerminal);
  return true;
}

void RestoreTerminal() {
  if (!g_terminal_changed) return;
  g_terminal_changed = false;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
}

}  // namespace corvanta::linksim
