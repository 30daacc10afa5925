#pragma once
// Command line of corvanta-linksim.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta::linksim {

struct Options {
  std::string listen;  // empty: the default endpoint
  std::string script;
  std::string log;
  bool err = false;
  bool silent = false;
  int late_ms = 0;
  long drop_after = 0;   // 0: never
  bool rigctld = false;  // play hamlib's rigctld instead of a link program
  bool help = false;
  bool version = false;
};

// Reads the arguments after the program name. Returns nullopt and sets `error` on a bad one.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

// Parses a non-negative decimal number of at most `max`; the commands use it too.
std::optional<long> ParseCount(std::string_view text, long max);

// The longest delay a command or option accepts: one day.
inline constexpr long kMaxMs = 24L * 60 * 60 * 1000;

extern const char kUsage[];

}  // namespace corvanta::linksim
