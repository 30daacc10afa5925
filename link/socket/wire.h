#pragma once
// The link connection's wire format, version 1, and its endpoints. Standard C++ only, so the
// simulator, the client and the fuzz targets share one reading of every byte.
//
//   link -> Corvanta:  "EVENT PTT <n>", "EVENT TX <n>"   (n decimal, non-zero is true)
//                      "OK", "ERR <text>"                (the answer to the last request)
//   Corvanta -> link:  "SETPTT 1" keys the transmitter, "SETPTT 0" releases it
//
// Lines are ASCII ending in LF; a CR before the LF is dropped; at most 128 bytes without the LF.
// A longer line is discarded up to its LF. Unknown or malformed lines are ignored.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta::wire {

inline constexpr int kVersion = 1;
inline constexpr std::size_t kMaxLine = 128;

// Splits a byte stream into lines. Memory stays bounded whatever arrives: a partial line never
// holds more than kMaxLine bytes.
class LineReader {
 public:
  // Appends `bytes` and returns the complete lines they finish, without LF (and CR).
  std::vector<std::string> Feed(std::string_view bytes);
  // Over-long lines discarded so far.
  std::size_t discarded() const { return discarded_; }

 private:
  std::string partial_;
  bool skipping_ = false;
  std::size_t discarded_ = 0;
};

enum class Kind { kPtt, kTx, kOk, kErr, kSetPtt, kUnknown };

struct Message {
  Kind kind = Kind::kUnknown;
  std::int16_t value = 0;  // events: the argument folded into a 16-bit boolean (-1 or 0)
  std::string text;        // ERR: its text
};

// Reads one line (without its LF). Anything not of the format gives kUnknown.
Message Parse(std::string_view line);

// A line as printable ASCII for logs: a backslash doubled, other bytes outside 0x20..0x7e as \xHH.
std::string Escape(std::string_view bytes);

// "SETPTT 1" / "SETPTT 0" with the LF.
std::string SetPttLine(bool key);

struct Endpoint {
  // kRigctld: hamlib's rigctld keys a radio directly (link/rigctld/protocol.h), not a link program.
  enum class Type { kUnix, kTcp, kRigctld } type = Type::kUnix;
  std::string path;  // unix
  std::string host;  // tcp, rigctld: a loopback name or address
  std::uint16_t port = 0;
  std::string ToString() const;
};

// Parses "unix:PATH", "tcp:HOST:PORT" ("tcp:[::1]:PORT" for IPv6) or "rigctld:HOST[:PORT]"
// (port 4532 when left out). HOST must be loopback (127.0.0.0/8, ::1, localhost): keying a
// transmitter is never reachable from the network.
// Returns nullopt and sets `error` otherwise.
std::optional<Endpoint> ParseEndpoint(std::string_view text, std::string& error);

// unix:$XDG_RUNTIME_DIR/corvanta/link.sock, or unix:/tmp/corvanta-UID/link.sock without it.
std::string DefaultEndpoint(const char* xdg_runtime_dir, unsigned uid);

// The endpoint with a unix socket's path made absolute against `current_folder` and lexically
// normal, so that it names the same socket from any folder (an autostart entry runs elsewhere).
Endpoint WithAbsolutePath(Endpoint endpoint, const std::string& current_folder);

// One spelling for every way of naming the same link program: WithAbsolutePath ("./x/../sock"
// and "/abs/sock" alike), and the host localhost written 127.0.0.1.
std::string LinkIdentity(const Endpoint& endpoint, const std::string& current_folder);

// What the files kept per link are named after ("rigctld-4534", "tcp-5198", "unix-radio2"), so
// that two copies on two links never share settings, a log or a logon entry: empty for the
// default link, which keeps the program's own names. Only letters, digits, '.', '-' and '_'.
// A loopback host 127.0.0.1 (or localhost) is left out; a socket outside the default's folder
// gets a short hash of its path, as two folders may hold sockets of one name.
std::string LinkFileLabel(const Endpoint& endpoint, const std::string& default_endpoint,
                          const std::string& current_folder);

}  // namespace corvanta::wire
