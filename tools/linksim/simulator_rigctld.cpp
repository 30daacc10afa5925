// The simulator as hamlib's rigctld (4.5.4): the few commands a keyer uses, answered byte for
// byte as the daemon does, with its habits that a client has to live with: a release answered
// 50 ms late, a PTT left keyed by a client that went away, requests served one at a time.
#include <QTcpSocket>

#include <algorithm>
#include <charconv>
#include <deque>

#include "tools/linksim/simulator.h"

namespace corvanta::linksim {

namespace {

using Clock = std::chrono::steady_clock;

// hamlib sleeps this long in every PTT change but keying, to let the radio's relays settle; the
// PTT is counted as released when the sleep ends, and the answer leaves then.
constexpr std::chrono::milliseconds kUnkeyDelay(50);

// hamlib's codes for a bad argument and an unknown command.
constexpr int kInvalid = -1;
constexpr int kNotImplemented = -4;

struct Request {
  enum class Command { kSetPtt, kGetPtt, kGetDcd, kQuit, kUnknown };
  Command command = Command::kUnknown;
  // The extended form puts this between the answer's lines: LF after '+', or the character that
  // led the request (';', '|', ','), all on one line then.
  std::optional<char> separator;
  std::optional<std::string> arg;
};

bool IsExtendedLead(char c) {
  return c == '+' || c == ';' || c == '|' || c == ',';
}

Request Classify(std::string_view word) {
  Request r;
  if (IsExtendedLead(word.front())) {
    r.separator = word.front() == '+' ? '\n' : word.front();
    word.remove_prefix(1);
  }
  using C = Request::Command;
  if (word == "T" || word == "\\set_ptt") {
    r.command = C::kSetPtt;
  } else if (word == "t" || word == "\\get_ptt") {
    r.command = C::kGetPtt;
  } else if (word == "\\get_dcd") {
    r.command = C::kGetDcd;
  } else if (word == "q" || word == "Q") {
    r.command = C::kQuit;
  }
  return r;
}

// A short command is one character and what follows it in the word is read on: rigctld skips
// one character after a command that takes an argument (the blank, normally), so "T0 1" keys,
// and starts the next command right after one that takes none, so "tt" reads the PTT twice.
void SplitShortCommand(std::deque<std::string>& words) {
  std::string& word = words.front();
  const std::size_t lead = IsExtendedLead(word.front()) ? 1 : 0;
  if (word.size() <= lead + 1 || word[lead] == '\\') return;
  std::string rest = word.substr(lead + 1);
  word.resize(lead + 1);
  if (Classify(word).command == Request::Command::kSetPtt) rest.erase(0, 1);
  if (!rest.empty()) words.insert(words.begin() + 1, std::move(rest));
}

// The answer as rigctld words it. Plain: a get's bare value, or "RPRT n". Extended: the command's
// long name with its argument, the values as "Key: value", then "RPRT n".
std::string RigAnswer(const Request& r, const std::vector<std::string>& extended,
                      const std::string& value, int code) {
  const std::string rprt = "RPRT " + std::to_string(code);
  if (!r.separator) return (code == 0 && !value.empty() ? value : rprt) + "\n";
  std::string out;
  for (const std::string& line : extended) out += line + *r.separator;
  return out + rprt + "\n";
}

// 0..3 (receive, transmit, from the microphone, data); nothing for anything else.
std::optional<int> PttArgument(const std::optional<std::string>& arg) {
  if (!arg) return std::nullopt;
  int n = -1;
  const auto [next, ec] = std::from_chars(arg->data(), arg->data() + arg->size(), n);
  if (ec != std::errc{} || next != arg->data() + arg->size() || n < 0 || n > 3) {
    return std::nullopt;
  }
  return n;
}

}  // namespace

void Simulator::SetRadioPtt(bool key, const std::string& who) {
  if (key == radio_ptt_) return;
  radio_ptt_ = key;
  log_.Write(std::string("PTT ") + (key ? "1 " : "0 ") + who);
}

void Simulator::SetDcd(bool open) {
  flutter_->stop();
  if (open == dcd_) return;
  dcd_ = open;
  log_.Write(open ? "DCD 1" : "DCD 0");
}

bool Simulator::Flutter(int ms) {
  if (!dcd_) return false;
  SetDcd(false);
  flutter_->start(ms);
  return true;
}

void Simulator::ReadRigTokens(Connection& c) {
  const QByteArray bytes = c.io->readAll();
  if (bytes.isEmpty()) return;
  const std::size_t discarded = c.reader.discarded();
  for (const std::string& line :
       c.reader.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())))) {
    for (const std::string_view word : Words(line)) c.rig_tokens.emplace_back(word);
  }
  if (c.reader.discarded() != discarded) {
    log_.Write("OVERLONG " + std::to_string(c.id) + " " +
               std::to_string(c.reader.discarded() - discarded));
  }
}

Simulator::RigStart Simulator::StartRigJob(Connection& c, std::vector<bool>& set_ptt) {
  // rigctld reads words, not lines: blank lines pass unseen, one line may hold two commands
  // ("T 1 t"), and a set command without its argument takes the next line's first word.
  if (c.rig_tokens.empty()) ReadRigTokens(c);
  if (c.rig_tokens.empty()) return RigStart::kIncomplete;
  SplitShortCommand(c.rig_tokens);
  Request r = Classify(c.rig_tokens.front());
  const bool needs_arg = r.command == Request::Command::kSetPtt;
  if (needs_arg && c.rig_tokens.size() < 2) ReadRigTokens(c);
  if (needs_arg && c.rig_tokens.size() < 2) return RigStart::kIncomplete;
  std::string text = std::move(c.rig_tokens.front());
  c.rig_tokens.pop_front();
  if (needs_arg) {
    r.arg = std::move(c.rig_tokens.front());
    c.rig_tokens.pop_front();
    text += " " + *r.arg;
  }
  log_.Write("REQUEST " + std::to_string(c.id) + " " + wire::Escape(text));
  using C = Request::Command;
  const std::optional<int> ptt = PttArgument(r.arg);
  if (r.command == C::kSetPtt && ptt) {
    ++setptt_count_;
    // A waiting script goes on once the request is served: answered, or left unanswered.
    const bool drop = policy_.drop_after > 0 && setptt_count_ == policy_.drop_after;
    if (drop || policy_.silent) set_ptt.push_back(*ptt != 0);
    if (drop) return RigStart::kDrop;
  }
  if (policy_.silent) return RigStart::kNothing;

  const auto now = Clock::now();
  RigJob job;
  job.act_at = now;
  if (r.command == C::kSetPtt && ptt) job.set_ptt = *ptt != 0;
  switch (r.command) {
    case C::kSetPtt: {
      // rigctld echoes the argument as it came, even one it refuses.
      const std::vector<std::string> echo = {"set_ptt: " + *r.arg};
      if (!ptt) {
        job.code = kInvalid;
        job.answer = RigAnswer(r, echo, "", kInvalid);
      } else if (policy_.err) {
        job.code = refusal_code_;
        job.answer = RigAnswer(r, echo, "", job.code);
      } else {
        job.ptt = *ptt != 0;
        if (*ptt == 0) job.act_at += kUnkeyDelay;
        job.answer = RigAnswer(r, echo, "", 0);
      }
      break;
    }
    case C::kGetPtt:
    case C::kGetDcd: {
      const bool ptt_read = r.command == C::kGetPtt;
      const std::string value = (ptt_read ? radio_ptt_ : dcd_) ? "1" : "0";
      job.answer =
          RigAnswer(r, {ptt_read ? "get_ptt:" : "get_dcd:", (ptt_read ? "PTT: " : "DCD: ") + value},
                    value, 0);
      break;
    }
    case C::kQuit:
      // rigctld confirms a quit, in either form, before it closes.
      job.answer = "RPRT 0\n";
      job.close = true;
      break;
    case C::kUnknown:
      // rigctld 4.5.4 answers an unknown command with nothing at all; answering at once lets a
      // client's test see the refusal without guessing from silence, which `silent on` gives.
      job.code = kNotImplemented;
      job.answer = "RPRT -4\n";
      break;
  }
  job.answer_at = job.act_at + std::chrono::milliseconds(TakeLateMs());
  c.rig_job = std::move(job);
  return RigStart::kJob;
}

void Simulator::RunRig(int id) {
  std::vector<bool> set_ptt;  // requests served, told to the commands last
  while (Connection* c = Find(id)) {
    const auto now = Clock::now();
    if (c->rig_job) {
      RigJob& job = *c->rig_job;
      const auto due = job.acted ? job.answer_at : job.act_at;
      if (now < due) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now);
        c->timer->start(static_cast<int>(wait.count()));
        break;
      }
      if (!job.acted) {
        job.acted = true;
        if (job.ptt) SetRadioPtt(*job.ptt, std::to_string(id));
        continue;
      }
      c->io->write(job.answer.data(), static_cast<qint64>(job.answer.size()));
      log_.Write("ANSWER " + std::to_string(id) + " " + std::to_string(job.code));
      if (job.set_ptt) set_ptt.push_back(*job.set_ptt);
      const bool close = job.close;
      c->rig_job.reset();
      if (close) {
        Abort(*c);
        Remove(id);
      }
      continue;
    }
    const RigStart start = StartRigJob(*c, set_ptt);
    if (start == RigStart::kIncomplete) break;  // readyRead brings the rest
    if (start == RigStart::kDrop) Drop(id);
  }
  for (const bool key : set_ptt) emit setPttReceived(key);
}

}  // namespace corvanta::linksim
