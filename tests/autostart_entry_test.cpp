// The logon entry as the desktop reads it: valid for desktop-file-validate, and giving back the
// program and arguments it was written with, whatever characters their paths hold.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/autostart.h"

namespace corvanta {
namespace {

// The Exec key read back as the Desktop Entry format has it: the string escapes undone first,
// then the quoting, then %% as one %. Anything the format does not allow fails the test.
std::vector<std::string> ExecArguments(const std::string& entry) {
  const std::size_t at = entry.find("\nExec=");
  if (at == std::string::npos) throw std::runtime_error("no Exec key");
  const std::string raw = entry.substr(at + 6, entry.find('\n', at + 1) - at - 6);
  std::string value;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      value += raw[i];
      continue;
    }
    const char next = i + 1 < raw.size() ? raw[++i] : '\0';
    const std::string from = "\\nrts", to = "\\\n\r\t ";
    if (from.find(next) == std::string::npos) throw std::runtime_error("bad string escape");
    value += to[from.find(next)];
  }
  std::vector<std::string> arguments;
  for (std::size_t i = 0; i < value.size();) {
    if (value[i] == ' ') {
      ++i;
      continue;
    }
    std::string arg;
    if (value[i] == '"') {
      for (++i;; ++i) {
        if (i >= value.size()) throw std::runtime_error("unterminated quote");
        if (value[i] == '"') break;
        if (value[i] == '\\') {
          if (std::string("\"`$\\").find(value[i + 1]) == std::string::npos) {
            throw std::runtime_error("bad quoted escape");
          }
          ++i;
        }
        arg += value[i];
      }
      ++i;
    } else {
      for (; i < value.size() && value[i] != ' '; ++i) {
        if (std::string("\t\n\"'\\><~|&;$*?#()`").find(value[i]) != std::string::npos) {
          throw std::runtime_error("reserved character outside quotes");
        }
        arg += value[i];
      }
    }
    std::string plain;
    for (std::size_t k = 0; k < arg.size(); ++k) {
      if (arg[k] == '%' && (k + 1 >= arg.size() || arg[++k] != '%')) {
        throw std::runtime_error("a field code");
      }
      plain += arg[k];
    }
    arguments.push_back(plain);
  }
  return arguments;
}

// desktop-file-validate's verdict: empty when it has nothing to say.
std::string Validate(const std::filesystem::path& file) {
  const std::string command = "desktop-file-validate '" + file.string() + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "cannot run desktop-file-validate";
  std::string said;
  std::array<char, 256> chunk{};
  while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr) said += chunk.data();
  const int status = ::pclose(pipe);
  if (status != 0 && said.empty())
    said = "desktop-file-validate failed, status " + std::to_string(status);
  return said;
}

TEST(AutostartEntry, IsValidAndGivesBackWhatItRuns) {
  struct Case {
    const char* program;
    const char* socket;
  };
  const Case cases[] = {
      {"corvanta", "/run/user/1000/corvanta/link.sock"},
      {"/opt/My Programs/corvanta", "/srv/link folder/link.sock"},
      {"/opt/$HOME/corvanta", "/srv/$XDG_RUNTIME_DIR/link.sock"},
      {"/opt/say \"hi\"/corvanta", "/srv/\"quoted\"/link.sock"},
      {"/opt/back\\slash/corvanta", "/srv/back\\\\two/link.sock"},
      {"/opt/100%/corvanta", "/srv/%f %u %%/link.sock"},
      {"/opt/a b$c\"d\\e%f`g/corvanta", "/srv/~it's #1 (a|b);&<>*?/link.sock"},
      {"/opt/caf\xC3\xA9/corvanta", "/srv/tab\there/link.sock"},
  };
  const std::filesystem::path folder = ::testing::TempDir() + "corvanta-autostart-entry";
  std::filesystem::create_directories(folder);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program + std::string(" ") + c.socket);
    const std::vector<std::string> arguments =
        AutostartArguments(std::string("unix:") + c.socket, "/");
    const std::string text = AutostartEntry(c.program, arguments);
    const std::filesystem::path file = folder / "corvanta.desktop";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    EXPECT_EQ(Validate(file), "") << text;
    std::vector<std::string> expected{c.program};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    std::vector<std::string> read;
    try {
      read = ExecArguments(text);
    } catch (const std::runtime_error& e) {
      read = {std::string("unreadable: ") + e.what()};
    }
    EXPECT_EQ(read, expected) << text;
  }
  std::filesystem::remove_all(folder);
}

TEST(AutostartEntry, NamesTheLinkSocketByItsAbsolutePath) {
  struct Case {
    const char* link;
    const char* folder;  // the current folder when it was asked for
    std::vector<std::string> arguments;
  };
  const Case cases[] = {
      {"", "/home/op", {"--start"}},
      {"unix:link.sock", "/home/op", {"--start", "--link", "unix:/home/op/link.sock"}},
      {"unix:./x/../s p/link.sock",
       "/home/op",
       {"--start", "--link", "unix:/home/op/s p/link.sock"}},
      {"unix:/run/./a/../link.sock", "/home/op", {"--start", "--link", "unix:/run/link.sock"}},
      {"unix:/run/link.sock", "", {"--start", "--link", "unix:/run/link.sock"}},
      {"tcp:localhost:5400", "/home/op", {"--start", "--link", "tcp:localhost:5400"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    EXPECT_EQ(AutostartArguments(c.link, c.folder), c.arguments);
  }
  // Said, not guessed: a relative path without a known folder, and what no entry can hold.
  EXPECT_THROW(AutostartArguments("unix:link.sock", ""), std::runtime_error);
  EXPECT_THROW(AutostartEntry("/opt/\xFF/corvanta", {}), std::runtime_error);
  EXPECT_THROW(AutostartEntry("corvanta", {"--link", "unix:/a\x01"}), std::runtime_error);
}

}  // namespace
}  // namespace corvanta
