// The station log where Windows keeps it: in a profile folder whose name goes beyond ASCII, and
// beside programs that hold it open.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "core/station_log.h"
#include "core/system_files.h"
#include "tests/windows/sim_process.h"

#include <windows.h>

namespace corvanta {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Lines(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(31));
  return lines;
}

// %LOCALAPPDATA%\Corvanta under a user named Jürgen, with a small bound.
class WindowsStationLog : public ::testing::Test {
 protected:
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(profile_, ec);
  }
  void Write(StationLog& log, const std::string& text) {
    log.Add(text, std::chrono::system_clock::now());
    log.Release();
    log.Drain();
  }
  fs::path Old(int n) const {
    fs::path p = file_;
    p += "." + std::to_string(n);
    return p;
  }

  testing::TempDir dir_;
  const fs::path profile_ = fs::path(dir_.File(L"J\u00FCrgen"));
  const fs::path file_ = profile_ / L"AppData" / L"Local" / L"Corvanta" / L"corvanta.log";
};

TEST_F(WindowsStationLog, RotatesInAFolderNamedBeyondAscii) {
  {
    StationLog log(file_, StationLog::Limits{200, 3, 10000});
    for (int i = 0; i < 40; ++i) {
      Write(log, "line " + std::to_string(i));
      EXPECT_EQ(log.TakeProblem(), "") << i;
    }
  }
  for (int n = 1; n <= 3; ++n) {
    ASSERT_TRUE(fs::exists(Old(n))) << n;
    EXPECT_LE(fs::file_size(Old(n)), 200u) << n;
  }
  EXPECT_FALSE(fs::exists(Old(4)));
  ASSERT_FALSE(Lines(file_).empty());
  EXPECT_EQ(Lines(file_).back(), "line 39");
  EXPECT_EQ(Lines(Old(1)).back().substr(0, 5), "line ");
}

// A viewer that holds the log open without sharing deletion makes every rotation fail; the lines
// still go into the file, past its bound, and that is said once. Once it lets go the log rotates.
TEST_F(WindowsStationLog, AFileHeldWithoutDeleteSharingStillGetsTheLines) {
  StationLog log(file_, StationLog::Limits{200, 3, 10000});
  Write(log, "before the viewer");
  HANDLE viewer = ::CreateFileW(file_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
  std::vector<std::string> told;
  for (int i = 0; i < 12; ++i) {
    Write(log, "held " + std::to_string(i));
    if (std::string problem = log.TakeProblem(); !problem.empty()) told.push_back(problem);
  }
  ::CloseHandle(viewer);
  ASSERT_EQ(told.size(), 1u);
  std::printf("%s\n", told[0].c_str());
  EXPECT_NE(told[0].find("not rotated"), std::string::npos);
  // In the system's words, not the C library's for the same number.
  const auto said = [&](DWORD code) {
    return told[0].find(SystemErrorText(std::error_code(
               static_cast<int>(code), std::system_category()))) != std::string::npos;
  };
  EXPECT_TRUE(said(ERROR_SHARING_VIOLATION) || said(ERROR_ACCESS_DENIED)) << told[0];
  EXPECT_GT(fs::file_size(file_), 200u);
  std::vector<std::string> lines = Lines(file_);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), told[0]), 1);
  std::erase(lines, told[0]);
  ASSERT_EQ(lines.size(), 13u);
  for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(lines[1 + i], "held " + std::to_string(i));
  EXPECT_FALSE(fs::exists(Old(1)));

  Write(log, "after the viewer");
  EXPECT_EQ(Lines(file_), std::vector<std::string>{"after the viewer"});
  EXPECT_EQ(Lines(Old(1)).size(), 14u);
}

}  // namespace
}  // namespace corvanta
