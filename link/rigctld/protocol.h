#pragma once
// hamlib's rigctld text protocol, as far as a courtesy keyer needs it. Standard C++ only, so the
// client, the simulator and the guardian share one reading of every byte.
//
// The client speaks the extended form (each command prefixed with '+'), where every command,
// get or set, ends its answer with "RPRT n":
//   "+T 1"        -> "set_ptt: 1"            "RPRT 0"
//   "+t"          -> "get_ptt:"  "PTT: 1"    "RPRT 0"
//   "+\get_dcd"   -> "get_dcd:"  "DCD: 0"    "RPRT 0"
// n is 0 for done, or a negative hamlib error. In the plain form a set command answers
// "RPRT n" alone and a get command its bare value ("1") or "RPRT n".
// Lines end in LF (a CR before it is dropped); the socket link's line reader bounds them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta::rigctld {

inline constexpr std::uint16_t kDefaultPort = 4532;

// "+T 1\n" keys, "+T 0\n" releases.
std::string SetPttCommand(bool key);
inline constexpr std::string_view kGetPttCommand = "+t\n";
inline constexpr std::string_view kGetDcdCommand = "+\\get_dcd\n";

// One extended answer: the echoed command line, its "Key: value" lines, and the closing code.
struct Reply {
  std::string command;                                      // "set_ptt", "get_dcd", ...
  std::vector<std::pair<std::string, std::string>> values;  // ("DCD", "0"), ...
  int code = 0;                                             // RPRT n
  // The value of `key`, if the answer carried it.
  std::optional<std::string> Value(std::string_view key) const;
};

// Gathers lines into whole extended answers. A line that fits no answer (a bare value from a
// plain-protocol server, garbage) is kept in the answer being gathered as an unnamed value; the
// answer ends at its RPRT line whatever came before, so a confused peer never stalls the reader.
class ReplyReader {
 public:
  // Takes one line without its LF; returns a whole answer once its RPRT line has come.
  std::optional<Reply> Line(std::string_view line);
  // Lines since the last whole answer, bounded: a peer that never says RPRT cannot grow memory.
  std::size_t pending_lines() const { return pending_.values.size() + (started_ ? 1 : 0); }

 private:
  Reply pending_;
  bool started_ = false;
};

// "RPRT -11" parsed; nullopt for any other line.
std::optional<int> ParseRprt(std::string_view line);

// A 0/1 reading ("1", "0", " 1"): nullopt when it is neither.
std::optional<bool> ParseFlag(std::string_view text);

// hamlib's meaning of an error code, in hamlib's words ("not available" for -11); the code itself
// for one hamlib does not define.
std::string ErrorMeaning(int code);

// What the status bar says of a refused keying: "RPRT -11: not available: is rigctld running
// with a PTT type (-P)?" for the codes a missing PTT type gives, the meaning alone otherwise.
std::string KeyingRefusal(int code);

}  // namespace corvanta::rigctld
