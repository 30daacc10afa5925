#include "tools/linksim/options.h"

#include <charconv>
#include <string_view>

namespace corvanta::linksim {

const char kUsage[] =
    "usage: corvanta-linksim [--rigctld] [--listen ENDPOINT] [--script FILE] [--log FILE]\n"
    "                        [--err] [--late MS] [--silent] [--drop-after N] [--help]\n"
    "                        [--version]\n"
    "\n"
    "Plays the link program for Corvanta: accepts its connections, answers SETPTT requests\n"
    "and sends PTT and TX events. With --rigctld it plays hamlib's rigctld instead: one radio\n"
    "whose PTT and squelch every client shares.\n"
    "\n"
    "  --listen ENDPOINT  unix:PATH or tcp:HOST:PORT (loopback only); default\n"
    "                     unix:$XDG_RUNTIME_DIR/corvanta/link.sock\n"
    "  --rigctld          play rigctld; ENDPOINT is rigctld:HOST[:PORT] (port 4532 when left\n"
    "                     out) or tcp:HOST:PORT, default rigctld:127.0.0.1:4532. A rigctld:\n"
    "                     endpoint chooses this mode by itself\n"
    "  --script FILE      run the commands in FILE first, then those from standard input\n"
    "  --log FILE         write the log to FILE instead of standard output\n"
    "  --err              answer every SETPTT with ERR (rigctld: every T with RPRT -11)\n"
    "  --late MS          answer every SETPTT MS milliseconds late (rigctld: every request)\n"
    "  --silent           never answer\n"
    "  --drop-after N     close the connection that sends the N-th SETPTT (rigctld: T),\n"
    "                     unanswered\n"
    "\n"
    "Commands (one a line; blank lines and lines starting with # are skipped):\n"
    "  ptt 0|1, tx 0|1            send EVENT PTT / EVENT TX to every client\n"
    "  sleep MS                   pause the commands; clients are still served\n"
    "  wait-connect [TIMEOUT_MS]  wait until a client is connected\n"
    "  wait-setptt 0|1 [TIMEOUT_MS]  wait until that request arrives (rigctld: until T 0, or\n"
    "                             T 1..3, is answered, or read when it will not be)\n"
    "  raw TEXT                   send TEXT and LF to every client as it is\n"
    "  rawbytes N                 send N bytes of 'x', then LF, to every client\n"
    "  err on|off, silent on|off, late MS   change how requests are answered\n"
    "  late-once MS               answer the next request MS milliseconds late, once\n"
    "  drop                       close every connection\n"
    "  quit                       end the program\n"
    "\n"
    "rigctld mode: T n and \\set_ptt n (n 0..3, non-zero keys), t and \\get_ptt, \\get_dcd,\n"
    "q and Q; each plain or extended (led by +, ;, | or ,). A release (T 0) takes effect and\n"
    "is answered 50 ms after it arrives, as hamlib lets the relays settle; a client that goes\n"
    "away leaves the PTT as it was; unknown commands answer RPRT -4. Requests are read as\n"
    "words, not lines, as rigctld reads them (\"T 1 t\" is two). Its commands:\n"
    "  ptt 0|1                    set the radio's PTT, as another program would\n"
    "  dcd 0|1                    close or open the receiver's squelch (closed at the start)\n"
    "  flutter MS                 close the open squelch for MS milliseconds, then reopen it\n"
    "  rprt N                     the code a refused keying answers (err on): RPRT -N;\n"
    "                             RPRT -11 at the start\n"
    "  (tx is not one of them)\n"
    "Its log records, after the milliseconds: REQUEST ID TEXT (each request as read, escaped:\n"
    "a backslash doubled), ANSWER ID CODE (when the answer leaves; CODE as in RPRT, 0 for a\n"
    "plain value), PTT 0|1 ID|command (each change of the radio's PTT), DCD 0|1, CONNECT ID,\n"
    "DISCONNECT ID, DROP ID, OVERLONG ID N.\n"
    "\n"
    "Keys, when standard input is a terminal: P/p PTT on/off, T/t TX on/off, q quit\n"
    "(rigctld: P/p PTT on/off, D/d squelch open/closed, q quit).\n"
    "\n"
    "Exit status: 0 normally, 1 cannot listen, 2 bad usage, 3 a wait timed out.\n";

std::optional<long> ParseCount(std::string_view text, long max) {
  long value = 0;
  const char* end = text.data() + text.size();
  const auto [next, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || text.front() == '-' || ec != std::errc{} || next != end || value > max) {
    return std::nullopt;
  }
  return value;
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::optional<std::string> inline_value;
    if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != arg.npos) {
      inline_value = std::string(arg.substr(eq + 1));
      arg = arg.substr(0, eq);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inline_value) return inline_value;
      if (i + 1 >= args.size()) {
        error = "the option " + std::string(arg) + " needs a value";
        return std::nullopt;
      }
      return args[++i];
    };
    auto flag = [&](bool& target) {
      if (inline_value) {
        error = "the option " + std::string(arg) + " takes no value";
        return false;
      }
      target = true;
      return true;
    };
    auto number = [&](long min, long max) -> std::optional<long> {
      const auto text = value();
      if (!text) return std::nullopt;
      const auto n = ParseCount(*text, max);
      if (!n || *n < min) {
        error = "the option " + std::string(arg) + " needs a number from " + std::to_string(min) +
                " to " + std::to_string(max) + ", not \"" + *text + "\"";
        return std::nullopt;
      }
      return n;
    };

    if (arg == "--listen" || arg == "--script" || arg == "--log") {
      const auto text = value();
      if (!text) return std::nullopt;
      (arg == "--listen" ? o.listen : arg == "--script" ? o.script : o.log) = *text;
    } else if (arg == "--late") {
      const auto n = number(0, kMaxMs);
      if (!n) return std::nullopt;
      o.late_ms = static_cast<int>(*n);
    } else if (arg == "--drop-after") {
      const auto n = number(1, 1'000'000'000);
      if (!n) return std::nullopt;
      o.drop_after = *n;
    } else if (arg == "--err") {
      if (!flag(o.err)) return std::nullopt;
    } else if (arg == "--silent") {
      if (!flag(o.silent)) return std::nullopt;
    } else if (arg == "--rigctld") {
      if (!flag(o.rigctld)) return std::nullopt;
    } else if (arg == "--help" || arg == "-h") {
      if (!flag(o.help)) return std::nullopt;
    } else if (arg == "--version") {
      if (!flag(o.version)) return std::nullopt;
    } else {
      error = "unknown argument \"" + std::string(arg) + "\"";
      return std::nullopt;
    }
  }
  return o;
}

}  // namespace corvanta::linksim
