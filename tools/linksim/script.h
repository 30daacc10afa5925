#pragma once
// What both link-program simulators share, without Qt or COM: the log, how requests are
// answered, and the reading of command lines and script files.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta::linksim {

// One record a line, each starting with the steady clock in milliseconds, so a test can compare
// the times with its own clock. Flushed after every line.
class Log {
 public:
  explicit Log(std::FILE* out) : out_(out) {}
  void Write(std::string_view record);

 private:
  std::FILE* out_;
};

struct AnswerPolicy {
  bool err = false;
  bool silent = false;
  int late_ms = 0;
  long drop_after = 0;  // cut off the client that sends this SETPTT (counted from 1); 0: never
};

// The words of a command line, split at spaces and tabs.
std::vector<std::string_view> Words(std::string_view line);
// true for `on`, false for `off`, nothing for anything else.
std::optional<bool> OnOff(std::string_view word, std::string_view on, std::string_view off);
// The lines of a script file; false when it cannot be read.
bool ReadLines(const std::string& path, std::vector<std::string>& lines);

}  // namespace corvanta::linksim
