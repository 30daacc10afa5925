#include "core/station_log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <system_error>
#include <utility>

#include "core/main_window.h"
#include "core/system_files.h"
#include "core/transmissions.h"

namespace corvanta {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::int64_t MinutesOf(const std::tm& t) {
  return DaysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) * 1440 + t.tm_hour * 60 +
         t.tm_min;
}

std::string OneLine(const std::string& text) {
  std::string line = text;
  for (char& c : line) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return line;
}

std::unique_ptr<StationLog> g_log;
std::string g_link_tag;  // "[link] " before every line, or empty

// A path in the UTF-8 the log and the status bar are written in, whatever the system's code page.
std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

std::string LogStamp(const std::tm& local, const std::tm& utc, int millis) {
  const std::int64_t offset = MinutesOf(local) - MinutesOf(utc);
  const std::int64_t size = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d %c%02d:%02d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, millis, offset < 0 ? '-' : '+', static_cast<int>(size / 60),
                static_cast<int>(size % 60));
  return text;
}

StationLog::StationLog(std::filesystem::path file) : StationLog(std::move(file), Limits{}) {}

StationLog::StationLog(std::filesystem::path file, Limits limits)
    : file_(std::move(file)), limits_(limits), writer_([this] { Writer(); }) {}

StationLog::~StationLog() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  writer_.join();
}

void StationLog::Add(const std::string& text, std::chrono::system_clock::time_point at) {
  std::lock_guard lock(mutex_);
  if (waiting_.size() + handed_.size() >= limits_.max_waiting) {
    ++dropped_;
    return;
  }
  waiting_.push_back({OneLine(text), at});
}

void StationLog::Release() {
  {
    std::lock_guard lock(mutex_);
    if (waiting_.empty()) return;
    handed_.insert(handed_.end(), std::make_move_iterator(waiting_.begin()),
                   std::make_move_iterator(waiting_.end()));
    waiting_.clear();
  }
  wake_.notify_all();
}

void StationLog::Drain() {
  std::unique_lock lock(mutex_);
  drained_.wait(lock, [this] { return handed_.empty() && !writing_; });
}

std::string StationLog::TakeProblem() {
  std::lock_guard lock(mutex_);
  if (told_) return {};
  told_ = true;
  return problem_;
}

void StationLog::Writer() {
  std::unique_lock lock(mutex_);
  bool failing = false;
  while (true) {
    wake_.wait(lock, [this] { return quit_ || !handed_.empty(); });
    if (handed_.empty()) break;  // quitting with nothing left
    std::vector<Line> batch;
    batch.swap(handed_);
    const std::size_t dropped = std::exchange(dropped_, 0);
    writing_ = true;
    lock.unlock();
    if (dropped > 0) {
      batch.insert(batch.begin(), Line{std::to_string(dropped) +
                                           " lines not logged: too many waited to be written",
                                       batch.front().at});
    }
    const Outcome outcome = Write(batch);
    lock.lock();
    writing_ = false;
    if (!outcome.not_written.empty() && !failing) {
      problem_ = "Station log not written: " + outcome.not_written + "; courtesies go on";
      told_ = false;
    } else if (!outcome.not_rotated.empty()) {
      problem_ = outcome.not_rotated;
      told_ = false;
    }
    failing = !outcome.not_written.empty();
    drained_.notify_all();
  }
  drained_.notify_all();
}

std::filesystem::path StationLog::Numbered(const char* suffix) const {
  // Appended to the path itself: a folder named beyond ASCII must keep its name on Windows, where
  // a narrow string would pass through the code page.
  std::filesystem::path name = file_;
  name += suffix;
  return name;
}

std::filesystem::path StationLog::Numbered(int n) const {
  return Numbered(("." + std::to_string(n)).c_str());
}

std::string StationLog::Rotate() {
  std::error_code ec;
  if (limits_.keep <= 0) {
    std::filesystem::remove(file_, ec);
    return ec ? "cannot remove " + PathText(file_) + ": " + SystemErrorText(ec) : std::string();
  }
  // The live file moves aside first: when it is held (a viewer that does not share deletion),
  // the old files stay as they are.
  const std::filesystem::path aside = Numbered(".rotating");
  ec = RenameFile(file_, aside);
  if (ec) return "cannot rename " + PathText(file_) + ": " + SystemErrorText(ec);
  const auto put_back = [&](const std::filesystem::path& what, const std::error_code& why) {
    RenameFile(aside, file_);
    return "cannot rename " + PathText(what) + ": " + SystemErrorText(why);
  };
  for (int i = limits_.keep; i >= 1; --i) {
    const std::filesystem::path from = i == 1 ? aside : Numbered(i - 1);
    const std::filesystem::path to = Numbered(i);
    if (!std::filesystem::exists(from, ec)) continue;
    // The oldest goes first, so that every rename finds its name free.
    std::filesystem::remove(to, ec);
    ec = RenameFile(from, to);
    if (ec) return put_back(from, ec);
  }
  return {};
}

std::string StationLog::Text(const std::vector<Line>& batch) {
  std::string text;
  for (const Line& line : batch) {
    const std::time_t t = std::chrono::system_clock::to_time_t(line.at);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(line.at.time_since_epoch()).count() %
        1000;
    // Only this thread asks the C library for broken-down times; each is copied at once.
    std::tm local{};
    std::tm utc{};
    if (const std::tm* l = std::localtime(&t)) local = *l;
    if (const std::tm* u = std::gmtime(&t)) utc = *u;
    text += LogStamp(local, utc, static_cast<int>(ms < 0 ? ms + 1000 : ms));
    text += ' ';
    text += line.text;
    text += '\n';
  }
  return text;
}

StationLog::Outcome StationLog::Write(const std::vector<Line>& batch) {
  std::string text = Text(batch);
  std::error_code ec;
  std::filesystem::create_directories(file_.parent_path(), ec);
  if (ec) return {"cannot make " + PathText(file_.parent_path()) + ": " + SystemErrorText(ec), {}};
  Outcome outcome;
  const std::uintmax_t size = std::filesystem::file_size(file_, ec);
  if (!ec && size > 0 && size + text.size() > limits_.rotate_bytes) {
    // A file that cannot be rotated (held by another program, a folder in the way) still takes
    // the lines: the bound gives way rather than the station's record. Said once, in the file
    // itself and to the window, until a rotation works again.
    if (std::string why = Rotate(); why.empty()) {
      rotation_failing_ = false;
    } else if (!rotation_failing_) {
      rotation_failing_ = true;
      outcome.not_rotated = "Station log not rotated: " + why + "; written on past " +
                            std::to_string(limits_.rotate_bytes) + " bytes";
      // After the batch, whose lines were stamped before now: the file stays in the order of time.
      text += Text({{outcome.not_rotated, std::chrono::system_clock::now()}});
    }
  }
  errno = 0;
  // Binary: one LF per line on every platform, so the bound counts what is on the disk.
  std::ofstream out(file_, std::ios::app | std::ios::binary);
  if (!out) {
    outcome.not_written =
        "cannot open " + PathText(file_) + ": " + (errno != 0 ? std::strerror(errno) : "refused");
    return outcome;
  }
  out << text;
  out.flush();
  if (!out) {
    outcome.not_written = "cannot write " + PathText(file_) + ": " +
                          (errno != 0 ? std::strerror(errno) : "write failed");
    return outcome;
  }
  out.close();
  if (out.fail()) outcome.not_written = "cannot write " + PathText(file_);
  return outcome;
}

void OpenStationLog(const std::filesystem::path& file, const std::string& link) {
  g_log.reset();
  g_link_tag = link.empty() ? std::string() : "[" + link + "] ";
  if (!file.empty()) g_log = std::make_unique<StationLog>(file);
}

void CloseStationLog() {
  if (g_log) g_log->Release();
  g_log.reset();
}

std::filesystem::path StationLogFile() {
  return g_log ? g_log->File() : std::filesystem::path();
}

void LogLine(const std::string& text) {
  if (!g_log) return;
  g_log->Add(g_link_tag + text, std::chrono::system_clock::now());
  if (TransmissionDepth() == 0) g_log->Release();
}

void ReleaseStationLog() {
  if (g_log) g_log->Release();
}

void CheckStationLog() {
  if (!g_log) return;
  const std::string problem = g_log->TakeProblem();
  if (problem.empty()) return;
  if (MainWindow* w = MainWindowRef()) w->SetStatusText(problem);
}

void DrainStationLog() {
  if (g_log) g_log->Drain();
}

std::filesystem::path XdgStationLogPath(const char* xdg_state_home, const char* home,
                                        const std::string& file_name) {
  std::filesystem::path base;
  if (xdg_state_home != nullptr && *xdg_state_home == '/') {
    base = xdg_state_home;
  } else if (home != nullptr && *home != '\0') {
    base = std::filesystem::path(home) / ".local" / "state";
  } else {
    return {};
  }
  return base / "corvanta" / file_name;
}

}  // namespace corvanta
