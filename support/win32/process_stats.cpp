#include "support/process_stats.h"

#include <fstream>
#include <string>

// Windows' headers last: their macros rename names of the program's interfaces.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

namespace corvanta::recording {

namespace {
double Seconds(const FILETIME& t) {
  const ULONGLONG ticks = (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return static_cast<double>(ticks) / 1e7;  // 100 ns units
}
}  // namespace

double ProcessCpuSeconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  return Seconds(kernel) + Seconds(user);
}

// Other processes are not measured on Windows.
double OtherCpuSeconds(const char* /*pid*/) {
  return -1;
}

double ResidentMb() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return -1;
  return static_cast<double>(counters.WorkingSetSize) / 1048576.0;
}

double PrivateMb() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(),
                                 reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                 sizeof counters)) {
    return -1;
  }
  if (counters.PrivateUsage != 0) return static_cast<double>(counters.PrivateUsage) / 1048576.0;
  // Wine answers no private usage; its process is the machine's own, whose anonymous resident
  // memory the machine's /proc tells.
  std::ifstream status("Z:\\proc\\self\\status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("RssAnon:", 0) == 0) return std::stod(line.substr(8)) / 1024.0;  // kB
  }
  return -1;
}

int ThreadCount() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  const DWORD self = ::GetCurrentProcessId();
  int n = 0;
  THREADENTRY32 thread{};
  thread.dwSize = sizeof thread;
  for (BOOL more = ::Thread32First(snapshot, &thread); more;
       more = ::Thread32Next(snapshot, &thread)) {
    if (thread.th32OwnerProcessID == self) ++n;
  }
  ::CloseHandle(snapshot);
  return n;
}

int HandleCount() {
  DWORD handles = 0;
  if (!::GetProcessHandleCount(::GetCurrentProcess(), &handles) || handles == 0) return -1;
  return static_cast<int>(handles);
}

}  // namespace corvanta::recording
