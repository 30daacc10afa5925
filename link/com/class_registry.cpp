#include "link/com/class_registry.h"

#include <tlhelp32.h>

#include <algorithm>

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

long long LinkProgramRunningMs() {
  std::vector<std::wstring> programs;
  for (const std::wstring& entry : ClassServers(HKEY_CLASSES_ROOT, L"", L"LocalServer32")) {
    programs.push_back(FileName(ServerProgram(entry)));
  }
  for (const std::wstring& entry :
       ClassServers(HKEY_CURRENT_USER, L"Software\\Classes\\", L"LocalServer32")) {
    programs.push_back(FileName(ServerProgram(entry)));
  }
  if (programs.empty()) return kCannotTell;
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return kCannotTell;
  FILETIME now_time{};
  ::GetSystemTimeAsFileTime(&now_time);
  const auto ticks = [](const FILETIME& t) {  // 100 ns
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                  t.dwLowDateTime);
  };
  long long longest = -1;
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  for (BOOL more = ::Process32FirstW(snapshot, &process); more;
       more = ::Process32NextW(snapshot, &process)) {
    bool ours = false;
    for (const std::wstring& program : programs) {
      ours = ours ||
             ::CompareStringOrdinal(process.szExeFile, -1, program.c_str(), -1, TRUE) == CSTR_EQUAL;
    }
    if (!ours) continue;
    long long ms = kCannotTell;  // a process whose start cannot be read counts as settled
    const HANDLE handle =
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.th32ProcessID);
    FILETIME created{}, exited{}, kernel{}, user{};
    if (handle != nullptr && ::GetProcessTimes(handle, &created, &exited, &kernel, &user)) {
      ms = (ticks(now_time) - ticks(created)) / 10000;
    }
    if (handle != nullptr) ::CloseHandle(handle);
    longest = std::max(longest, ms);
  }
  ::CloseHandle(snapshot);
  return longest;
}

}  // namespace corvanta::com
