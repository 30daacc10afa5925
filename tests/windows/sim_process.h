#pragma once
// The COM link simulator as a process of the test: started with a log file and a pipe on its
// standard input, driven by command lines, read back through its log.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace corvanta::testing {

// Runs the thread's window messages until `done` or `timeout_ms` (then false).
bool PumpUntil(const std::function<bool()>& done, int timeout_ms);

// A folder of its own in the temporary folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

class SimProcess {
 public:
  SimProcess();
  ~SimProcess();  // quits the simulator, or ends it
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts it with these options (and --log); false when it does not come up in 10 s.
  bool Start(const std::vector<std::wstring>& options = {});
  void Command(const std::string& line);  // one command line, without its LF
  void Kill();                            // ends it at once, as a crash would
  bool Running() const;

  // The fields after the kind of every log record of that kind ("SETPTT" -> "1 3").
  std::vector<std::string> Records(const std::string& kind) const;
  std::vector<std::string> Lines() const;
  std::vector<bool> Requests() const;
  bool Keyed() const;

 private:
  void Close();

  TempDir dir_;
  std::wstring log_;
  PROCESS_INFORMATION process_{};
  HANDLE input_ = nullptr;
};

// The simulator's program: beside this test's folder, in tools\linksim-com.
std::wstring SimulatorPath();

// How many processes of that program name run.
int CountProcesses(const wchar_t* name);

// Ends wine's COM service, which refuses every later creation after a server was killed (wine
// starts it again at the next need). On Windows there is none of that name; nothing happens.
void RestartComService();

}  // namespace corvanta::testing
