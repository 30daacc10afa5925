#include "link/com/class_registry.h"

#include <tlhelp32.h>

#include <algorithm>
#include <iterator>

#include "link/com/echolink.h"

namespace corvanta::com {

namespace {

std::wstring ClassKey() {
  wchar_t text[40] = {};
  ::StringFromGUID2(CLSID_EchoLinkAutomation, text, 40);
  return std::wstring(L"CLSID\\") + text;
}

std::wstring ReadDefault(HKEY root, const std::wstring& sub, REGSAM view) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, sub.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) {
    return {};
  }
  wchar_t value[1024] = {};
  DWORD bytes = sizeof value - sizeof(wchar_t);
  DWORD type = 0;
  const LSTATUS status =
      ::RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
  return value;
}

std::wstring FileName(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// A path as Windows names the file in full: environment strings expanded (an entry of type
// REG_EXPAND_SZ), an 8.3 short path (C:\PROGRA~2\...\ECHOLI~1.EXE) made long.
std::wstring LongPath(const std::wstring& path) {
  std::wstring expanded = path;
  if (const DWORD n = ::ExpandEnvironmentStringsW(path.c_str(), nullptr, 0); n > 0) {
    std::wstring out(n, L'\0');
    if (::ExpandEnvironmentStringsW(path.c_str(), out.data(), n) == n) {
      out.resize(n - 1);
      expanded = out;
    }
  }
  const DWORD n = ::GetLongPathNameW(expanded.c_str(), nullptr, 0);
  if (n == 0) return expanded;
  std::wstring out(n, L'\0');
  const DWORD written = ::GetLongPathNameW(expanded.c_str(), out.data(), n);
  if (written == 0 || written >= n) return expanded;
  out.resize(written);
  return out;
}

std::wstring ShortName(const std::wstring& path) {
  const DWORD n = ::GetShortPathNameW(path.c_str(), nullptr, 0);
  if (n == 0) return FileName(path);
  std::wstring out(n, L'\0');
  const DWORD written = ::GetShortPathNameW(path.c_str(), out.data(), n);
  if (written == 0 || written >= n) return FileName(path);
  out.resize(written);
  return FileName(out);
}

// The program file of a running process, in full; empty when it cannot be read (a process of
// another user or an elevated one).
std::wstring ImagePath(HANDLE process) {
  wchar_t path[MAX_PATH * 4];
  DWORD size = static_cast<DWORD>(std::size(path));
  if (process == nullptr || !::QueryFullProcessImageNameW(process, 0, path, &size)) return {};
  return LongPath(std::wstring(path, size));
}

// A registered server program: its full path, and the names a process list may show for it.
struct Program {
  std::wstring path;
  std::wstring name;
  std::wstring short_name;
};

}  // namespace

std::wstring ServerProgram(std::wstring entry) {
  if (!entry.empty() && entry.front() == L'"') {
    const std::size_t end = entry.find(L'"', 1);
    return entry.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
  }
  if (const std::size_t space = entry.find(L" /"); space != std::wstring::npos) entry.resize(space);
  if (const std::size_t space = entry.find(L" -"); space != std::wstring::npos) entry.resize(space);
  return entry;
}

std::vector<std::wstring> ClassServers(HKEY root, const std::wstring& prefix, const wchar_t* kind) {
  std::vector<std::wstring> out;
  for (const REGSAM view : {REGSAM{KEY_WOW64_64KEY}, REGSAM{KEY_WOW64_32KEY}}) {
    std::wstring entry = ReadDefault(root, prefix + ClassKey() + L"\\" + kind, view);
    if (!entry.empty()) out.push_back(std::move(entry));
  }
  return out;
}

long long RunningMs(const FILETIME& created, const FILETIME& now) {
  const auto ticks = [](const FILETIME& t) {  // 100 ns
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                  t.dwLowDateTime);
  };
  const long long ms = (ticks(now) - ticks(created)) / 10000;
  // Started "later" than now: the clock was set back since. It runs, and has for a while.
  return ms < 0 ? kCannotTell : ms;
}

bool NewerBesideKnown(const std::vector<LinkProcess>& now, long long settle_ms,
                      std::vector<DWORD>& known) {
  bool older_runs = false, newer = false;
  std::vector<DWORD> added;
  for (const LinkProcess& p : now) {
    const bool is_known = std::find(known.begin(), known.end(), p.pid) != known.end();
    older_runs = older_runs || is_known;
    if (!is_known && p.running_ms >= settle_ms) {
      newer = true;
      added.push_back(p.pid);
    }
  }
  known.insert(known.end(), added.begin(), added.end());
  return newer && older_runs;
}

long long LinkProgramRunningMs() {
  std::vector<LinkProcess> processes;
  if (!LinkProgramProcesses(processes)) return kCannotTell;
  long long longest = -1;
  for (const LinkProcess& p : processes) longest = std::max(longest, p.running_ms);
  return longest;
}

bool LinkProgramProcesses(std::vector<LinkProcess>& out) {
  out.clear();
  std::vector<Program> programs;
  auto add = [&programs](const std::wstring& entry) {
    const std::wstring path = LongPath(ServerProgram(entry));
    programs.push_back({path, FileName(path), ShortName(path)});
  };
  for (const std::wstring& entry : ClassServers(HKEY_CLASSES_ROOT, L"", L"LocalServer32")) {
    add(entry);
  }
  for (const std::wstring& entry :
       ClassServers(HKEY_CURRENT_USER, L"Software\\Classes\\", L"LocalServer32")) {
    add(entry);
  }
  if (programs.empty()) return false;
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  FILETIME now_time{};
  ::GetSystemTimeAsFileTime(&now_time);
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  for (BOOL more = ::Process32FirstW(snapshot, &process); more;
       more = ::Process32NextW(snapshot, &process)) {
    bool named = false;  // its file name is one of theirs: a candidate
    for (const Program& program : programs) {
      named = named || SameText(process.szExeFile, program.name) ||
              SameText(process.szExeFile, program.short_name);
    }
    if (!named) continue;
    const HANDLE handle =
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.th32ProcessID);
    // Where the program file can be read, it decides: another program of the same file name
    // elsewhere is not the link program. One that cannot be inspected (elevated, another user's)
    // counts as running and settled: taking it for closed would never attach again.
    long long ms = kCannotTell;
    const std::wstring image = ImagePath(handle);
    bool ours = image.empty();
    for (const Program& program : programs) {
      // An entry that names the program without its folder can only be told by the file name.
      const bool bare = program.path.find_first_of(L"\\/") == std::wstring::npos;
      ours = ours || SameText(image, program.path) ||
             (bare && SameText(FileName(image), program.name));
    }
    FILETIME created{}, exited{}, kernel{}, user{};
    if (ours && handle != nullptr && ::GetProcessTimes(handle, &created, &exited, &kernel, &user)) {
      ms = RunningMs(created, now_time);
    }
    if (handle != nullptr) ::CloseHandle(handle);
    if (ours) out.push_back({process.th32ProcessID, ms});
  }
  ::CloseHandle(snapshot);
  return true;
}

}  // namespace corvanta::com
