#pragma once
// Where the link program's class is registered, read as Windows reads it. A 32-bit link program
// registers in the 32-bit view of the registry only; a 64-bit one in the 64-bit view: whoever
// asks who serves the class reads both.
//
// Thread rules: any thread; no COM call. Registry reads, a list of processes and a look at each
// candidate's program file: a few milliseconds, more when a registered path names a network
// folder that does not answer.
#include <windows.h>

#include <string>
#include <vector>

namespace corvanta::com {

// The program a server entry names, without quotes and arguments: the entry
// "C:\Program Files\Link\link.exe" /Automation (quotes included) names C:\Program
// Files\Link\link.exe
std::wstring ServerProgram(std::wstring entry);

// The class's server entries of `kind` ("LocalServer32", "InprocServer32") under
// `root`\`prefix`CLSID\{class}, in the 64-bit and then the 32-bit view; empty ones left out.
std::vector<std::wstring> ClassServers(HKEY root, const std::wstring& prefix, const wchar_t* kind);

// How long the longest-running process of a program that serves the class locally has run, in
// ms; -1 when none runs. The registered program and the process's program file are compared as
// full long paths (a registration may name it by its 8.3 short path); a process that cannot be
// inspected is compared by file name and counts as long settled. kCannotTell when no local
// server is registered at all (nothing can then be started by asking for the class), or when
// the processes cannot be listed.
inline constexpr long long kCannotTell = 1LL << 40;
long long LinkProgramRunningMs();

// Each running process of a program that serves the class locally: its id and how long it has
// run (kCannotTell when that cannot be read). False when that cannot be told (no local server
// registered, or no list of processes).
struct LinkProcess {
  DWORD pid;
  long long running_ms;
};
bool LinkProgramProcesses(std::vector<LinkProcess>& out);

// Whether, of the processes running `now`, one is new (not in `known`) and has run `settle_ms`
// while one of `known` still runs: the link program was started again beside an older process.
// Each new settled process is added to `known`, so it is reported once.
bool NewerBesideKnown(const std::vector<LinkProcess>& now, long long settle_ms,
                      std::vector<DWORD>& known);

// How long a process created at `created` has run at `now`, in ms; kCannotTell (long settled)
// when it was created after now, as after the clock was set back.
long long RunningMs(const FILETIME& created, const FILETIME& now);

}  // namespace corvanta::com
