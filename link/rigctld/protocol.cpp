#include "link/rigctld/protocol.h"

#include <charconv>

namespace corvanta::rigctld {
namespace {

constexpr std::size_t kMaxPendingLines = 32;

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string SetPttCommand(bool key) {
  return key ? "+T 1\n" : "+T 0\n";
}

std::optional<std::string> Reply::Value(std::string_view key) const {
  for (const auto& [name, value] : values) {
    if (name == key) return value;
  }
  return std::nullopt;
}

std::optional<int> ParseRprt(std::string_view line) {
  line = Trim(line);
  if (line.rfind("RPRT ", 0) != 0) return std::nullopt;
  line = Trim(line.substr(5));
  int code = 0;
  const auto [next, ec] = std::from_chars(line.data(), line.data() + line.size(), code);
  if (ec != std::errc{} || next != line.data() + line.size()) return std::nullopt;
  return code;
}

std::optional<bool> ParseFlag(std::string_view text) {
  text = Trim(text);
  if (text == "0") return false;
  if (text == "1") return true;
  return std::nullopt;
}

std::optional<Reply> ReplyReader::Line(std::string_view line) {
  if (const auto code = ParseRprt(line)) {
    Reply done = std::move(pending_);
    done.code = *code;
    pending_ = Reply{};
    started_ = false;
    return done;
  }
  const std::size_t colon = line.find(':');
  if (!started_ && colon != std::string_view::npos && Trim(line.substr(colon + 1)).empty() &&
      line.find(' ') == std::string_view::npos) {
    // "get_dcd:" opens an answer to a command without arguments.
    pending_.command = std::string(line.substr(0, colon));
    started_ = true;
  } else if (!started_ && colon != std::string_view::npos &&
             line.substr(0, colon).find(' ') == std::string_view::npos &&
             line.substr(0, colon).find('_') != std::string_view::npos) {
    // "set_ptt: 1" opens an answer to a command with arguments; hamlib's long names have an
    // underscore, its values ("PTT: 1") do not.
    pending_.command = std::string(line.substr(0, colon));
    started_ = true;
  } else if (pending_.values.size() < kMaxPendingLines) {
    if (colon != std::string_view::npos) {
      pending_.values.emplace_back(std::string(Trim(line.substr(0, colon))),
                                   std::string(Trim(line.substr(colon + 1))));
    } else {
      pending_.values.emplace_back(std::string(), std::string(Trim(line)));
    }
  }
  return std::nullopt;
}

std::string ErrorMeaning(int code) {
  switch (code) {
    case 0:
      return "done";
    case -1:
      return "invalid parameter";
    case -2:
      return "invalid configuration";
    case -3:
      return "memory shortage";
    case -4:
      return "not implemented";
    case -5:
      return "communication timed out";
    case -6:
      return "I/O error";
    case -7:
      return "internal hamlib error";
    case -8:
      return "protocol error";
    case -9:
      return "command rejected by the radio";
    case -10:
      return "done, argument truncated";
    case -11:
      return "not available";
    case -12:
      return "VFO not targetable";
    case -13:
      return "error talking on the bus";
    case -14:
      return "collision on the bus";
    case -15:
      return "invalid handle";
    case -16:
      return "invalid VFO";
    case -17:
      return "argument out of range";
    case -18:
      return "deprecated";
    case -19:
      return "not allowed";
    case -20:
      return "the radio is not powered on";
    default:
      return "hamlib error " + std::to_string(code);
  }
}

std::string KeyingRefusal(int code) {
  std::string text = "RPRT " + std::to_string(code) + ": " + ErrorMeaning(code);
  // A daemon started without a PTT type (-P) answers a keying with one of these.
  if (code == -1 || code == -4 || code == -11) text += ": is rigctld running with a PTT type (-P)?";
  return text;
}

}  // namespace corvanta::rigctld
