#include "core/station_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "core/transmissions.h"
#include "support/fakes/test_world.h"

namespace corvanta {
namespace {

namespace fs = std::filesystem;

std::tm Tm(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

std::vector<std::string> Lines(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(LogStamp, LocalTimeWithItsOffsetFromUtc) {
  struct Case {
    std::tm local, utc;
    int ms;
    const char* text;
  };
  const Case cases[] = {
      {Tm(2026, 12, 8, 3, 12, 5), Tm(2026, 12, 8, 2, 12, 5), 123, "2026-12-08 03:12:05.123 +01:00"},
      {Tm(2026, 7, 1, 22, 0, 0), Tm(2026, 7, 2, 2, 0, 0), 0, "2026-07-01 22:00:00.000 -04:00"},
      {Tm(2026, 12, 31, 23, 30, 59), Tm(2027, 1, 1, 3, 0, 59), 999,
       "2026-12-31 23:30:59.999 -03:30"},
      {Tm(2027, 1, 1, 5, 44, 0), Tm(2026, 12, 31, 23, 59, 0), 7, "2027-01-01 05:44:00.007 +05:45"},
      {Tm(2028, 2, 29, 14, 0, 0), Tm(2028, 2, 29, 0, 0, 0), 40, "2028-02-29 14:00:00.040 +14:00"},
      {Tm(2026, 3, 29, 1, 0, 0), Tm(2026, 3, 29, 1, 0, 0), 500, "2026-03-29 01:00:00.500 +00:00"},
  };
  for (const Case& c : cases) EXPECT_EQ(LogStamp(c.local, c.utc, c.ms), c.text);
}

// Rotation at the bound, three old files, the newest lines in the file itself, nothing written
// out of order; a line's own breaks never split it.
TEST(StationLog, RotatesAtItsBoundAndKeepsThreeOldFiles) {
  testing::TempDir dir;
  const fs::path file = dir.path / "state" / "corvanta.log";
  {
    StationLog log(file, StationLog::Limits{200, 3, 10000});
    for (int i = 0; i < 40; ++i) {
      log.Add("line " + std::to_string(i) + (i == 7 ? "\r\nwith a break" : ""),
              std::chrono::system_clock::now());
      log.Release();
      log.Drain();
    }
  }
  std::vector<std::string> all;
  for (const char* name : {"corvanta.log.3", "corvanta.log.2", "corvanta.log.1", "corvanta.log"}) {
    ASSERT_TRUE(fs::exists(dir.path / "state" / name)) << name;
    EXPECT_LE(fs::file_size(dir.path / "state" / name), 200u) << name;
    for (const std::string& line : Lines(dir.path / "state" / name)) all.push_back(line);
  }
  EXPECT_FALSE(fs::exists(dir.path / "state" / "corvanta.log.4"));
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back().substr(31), "line 39");
  // Consecutive numbers from the oldest kept line on.
  const int first = std::stoi(all.front().substr(36));
  for (std::size_t i = 0; i < all.size(); ++i) {
    const std::string expected = "line " + std::to_string(first + static_cast<int>(i));
    EXPECT_EQ(all[i].substr(31, expected.size()), expected) << all[i];
    if (first + static_cast<int>(i) == 7) {
      EXPECT_EQ(all[i].substr(31), "line 7  with a break");
    }
  }
}

// A folder that cannot be written costs the lines and is said once; once it can be written again
// the log goes on, and a new failure is said again.
TEST(StationLog, AFailureIsSaidOnceAndTheLogGoesOnWhenItCan) {
  testing::TempDir dir;
  const fs::path folder = dir.path / "state";
  std::ofstream(folder).put('x');  // a file where the folder should be: nothing can be made there
  StationLog log(folder / "corvanta.log");
  const auto write = [&log](const std::string& text) {
    log.Add(text, std::chrono::system_clock::now());
    log.Release();
    log.Drain();
  };
  write("lost 1");
  const std::string problem = log.TakeProblem();
  EXPECT_NE(problem.find("Station log not written"), std::string::npos) << problem;
  EXPECT_NE(problem.find("courtesies go on"), std::string::npos) << problem;
  write("lost 2");
  EXPECT_EQ(log.TakeProblem(), "");
  fs::remove(folder);
  write("kept 1");
  EXPECT_EQ(log.TakeProblem(), "");
  const auto lines = Lines(folder / "corvanta.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(31), "kept 1");
  fs::remove_all(folder);
  std::ofstream(folder).put('x');
  write("lost 3");
  EXPECT_NE(log.TakeProblem(), "");
}

// A rotation that cannot be done (a folder where the oldest file goes, as a file held by another
// program on Windows) costs no line: the file is written on past its bound, which is said once
// in the file and to the window, and the old files stay as they were. Once the way is clear the
// log rotates again.
TEST(StationLog, AFailedRotationWritesOnPastTheBoundAndSaysSoOnce) {
  testing::TempDir dir;
  const fs::path file = dir.path / "corvanta.log";
  const auto old = [&dir](int n) { return dir.path / ("corvanta.log." + std::to_string(n)); };
  fs::create_directories(old(3) / "in the way");
  std::ofstream(old(2)) << "old 2\n";
  std::ofstream(old(1)) << "old 1\n";
  StationLog log(file, StationLog::Limits{200, 3, 10000});
  const auto write = [&log](const std::string& text) {
    log.Add(text, std::chrono::system_clock::now());
    log.Release();
    log.Drain();
  };
  std::vector<std::string> told;
  for (int i = 0; i < 20; ++i) {
    write("line " + std::to_string(i));
    if (std::string problem = log.TakeProblem(); !problem.empty()) told.push_back(problem);
  }
  ASSERT_EQ(told.size(), 1u);
  EXPECT_NE(told[0].find("Station log not rotated"), std::string::npos) << told[0];
  EXPECT_GT(fs::file_size(file), 200u);
  std::vector<std::string> kept;
  int notes = 0;
  for (const std::string& line : Lines(file)) {
    if (line.substr(31) == told[0]) {
      ++notes;
    } else {
      kept.push_back(line.substr(31));
    }
  }
  EXPECT_EQ(notes, 1);
  ASSERT_EQ(kept.size(), 20u);
  for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(kept[i], "line " + std::to_string(i));
  EXPECT_EQ(Lines(old(1)), std::vector<std::string>{"old 1"});
  EXPECT_EQ(Lines(old(2)), std::vector<std::string>{"old 2"});

  fs::remove_all(old(3));
  write("after");
  EXPECT_EQ(log.TakeProblem(), "");
  ASSERT_EQ(Lines(file).size(), 1u);
  EXPECT_EQ(Lines(file)[0].substr(31), "after");
  EXPECT_EQ(Lines(old(1)).size(), 21u);
  EXPECT_EQ(Lines(old(2)), std::vector<std::string>{"old 1"});
  EXPECT_EQ(Lines(old(3)), std::vector<std::string>{"old 2"});
}

// The window thread never touches the file while a transmission runs: a line logged during one
// waits for the end of the outermost transmission.
TEST(StationLog, NothingIsWrittenWhileATransmissionRuns) {
  testing::TempDir dir;
  const fs::path file = dir.path / "corvanta.log";
  OpenStationLog(file);
  LogLine("before");
  DrainStationLog();
  {
    TransmissionScope outer;
    LogLine("during the outer one");
    {
      TransmissionScope inner;
      LogLine("during the nested one");
    }
    DrainStationLog();
    EXPECT_EQ(Lines(file).size(), 1u);
  }
  DrainStationLog();
  const auto lines = Lines(file);
  CloseStationLog();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].substr(31), "during the outer one");
  EXPECT_EQ(lines[2].substr(31), "during the nested one");
}

TEST(StationLog, XdgPath) {
  EXPECT_EQ(XdgStationLogPath("/s", "/home/op"), fs::path("/s/corvanta/corvanta.log"));
  EXPECT_EQ(XdgStationLogPath(nullptr, "/home/op"),
            fs::path("/home/op/.local/state/corvanta/corvanta.log"));
  // A relative XDG_STATE_HOME is to be ignored.
  EXPECT_EQ(XdgStationLogPath("state", "/home/op"),
            fs::path("/home/op/.local/state/corvanta/corvanta.log"));
  EXPECT_EQ(XdgStationLogPath(nullptr, nullptr), fs::path());
}

}  // namespace
}  // namespace corvanta
