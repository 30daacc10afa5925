#pragma once
// The station log: what the station did while nobody watched, one line per happening (a courtesy
// and how it went, a fault and its recovery, start-up, Start, Exit), stamped with the local time
// and its UTC offset, in a plain text file rotated at a bound.
//
// Nothing here may hold up a courtesy. The window thread only queues a line (a mutex taken for a
// push); while a transmission runs the lines wait, and they go to the writer thread once the
// outermost one has ended, so no file is touched between two symbols. The writer opens, appends
// and closes the file for each batch (never an fsync). A folder that cannot be written, or a
// full disk, costs the lines of that batch and is said once in the status bar; the next batch
// tries again. A file that cannot be rotated is written on past its bound, and that is said once
// in the file and in the status bar.
//
// Thread rules: LogLine, ReleaseStationLog, CheckStationLog, Open and Close are for the window
// thread; they never block on the file (Close waits for the writer to finish what was handed
// to it). StationLog itself is safe to call from any thread.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvanta {

// "2026-12-08 03:12:05.123 +01:00": local time and its offset from UTC, worked out from the two
// broken-down times of one instant.
std::string LogStamp(const std::tm& local, const std::tm& utc, int millis);

class StationLog {
 public:
  struct Limits {
    std::uintmax_t rotate_bytes = 1024 * 1024;  // the file is renamed .1 before it passes this
    int keep = 3;                               // rotated files kept: .1 (newest) to .3
    std::size_t max_waiting = 10000;            // lines held beyond this are counted, not kept
  };
  explicit StationLog(std::filesystem::path file);
  StationLog(std::filesystem::path file, Limits limits);
  // Writes what was handed over, then ends the writer.
  ~StationLog();
  StationLog(const StationLog&) = delete;
  StationLog& operator=(const StationLog&) = delete;

  // Queues `text` (line breaks become spaces) stamped with `at`; it waits for Release.
  void Add(const std::string& text, std::chrono::system_clock::time_point at);
  // Hands every queued line to the writer.
  void Release();
  // Blocks until the writer has dealt with everything handed to it.
  void Drain();
  // A write failure not yet told, once; empty when there is none.
  std::string TakeProblem();
  const std::filesystem::path& File() const { return file_; }

 private:
  struct Line {
    std::string text;
    std::chrono::system_clock::time_point at;
  };
  // What a batch met: lines not written (lost), or a rotation that failed (the lines written on
  // past the bound); empty when nothing.
  struct Outcome {
    std::string not_written;
    std::string not_rotated;
  };
  void Writer();
  // Writer thread: appends `batch`.
  Outcome Write(const std::vector<Line>& batch);
  static std::string Text(const std::vector<Line>& batch);
  // Writer thread: the file becomes .1, the older ones move up; returns why not, or empty.
  std::string Rotate();
  // The file's name with `suffix` appended (".rotating"), or ".n".
  std::filesystem::path Numbered(const char* suffix) const;
  std::filesystem::path Numbered(int n) const;

  const std::filesystem::path file_;
  const Limits limits_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::vector<Line> waiting_;  // queued, not yet released
  std::vector<Line> handed_;   // released, for the writer
  std::size_t dropped_ = 0;    // lines lost to max_waiting since the last one written
  bool writing_ = false;
  bool quit_ = false;
  std::string problem_;
  bool told_ = true;
  bool rotation_failing_ = false;  // writer thread: said once until a rotation works again
  std::thread writer_;
};

// The program's log, when one is open (main opens it before start-up). A copy on a link of its
// own names the link in every line ("[rigctld:127.0.0.1:4534] ..."); empty for the default link.
void OpenStationLog(const std::filesystem::path& file, const std::string& link = {});
void CloseStationLog();
// The open log's file; empty when none is open.
std::filesystem::path StationLogFile();
// Queues a line stamped now. It is handed to the writer at once unless a transmission runs; then
// it waits for the end of the outermost one (ReleaseStationLog).
void LogLine(const std::string& text);
void ReleaseStationLog();
// Says a new write failure in the status bar (the window's periodic look at its sound output).
void CheckStationLog();
// Blocks until every line logged so far is written (tests, benchmarks).
void DrainStationLog();

// Where the log lives on a desktop that follows the XDG base directories: the state folder
// ($XDG_STATE_HOME, by default ~/.local/state) + corvanta/corvanta.log (`file_name` for a copy on
// a link of its own). Empty when neither is set.
std::filesystem::path XdgStationLogPath(const char* xdg_state_home, const char* home,
                                        const std::string& file_name = "corvanta.log");

}  // namespace corvanta
