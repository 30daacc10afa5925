#include "tests/windows/sim_process.h"

#include <tlhelp32.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace corvanta::testing {

bool PumpUntil(const std::function<bool()>& done, int timeout_ms) {
  const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  while (!done()) {
    if (::GetTickCount64() >= end) return false;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    ::MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  return true;
}

TempDir::TempDir() {
  wchar_t base[MAX_PATH];
  ::GetTempPathW(MAX_PATH, base);
  static int counter = 0;
  path_ = std::wstring(base) + L"corvanta-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
          std::to_wstring(++counter);
  ::CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() {
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((path_ + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::DeleteFileW((path_ + L"\\" + found.cFileName).c_str());
      }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  ::RemoveDirectoryW(path_.c_str());
}

std::wstring SimulatorPath() {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  path.resize(path.find_last_of(L"\\/"));  // the tests' folder
  path.resize(path.find_last_of(L"\\/"));  // the build folder
  return path + L"\\tools\\linksim-com\\corvanta-linksim.exe";
}

namespace {

// Calls `each` with the id of every process of that program name; returns how many there were.
int ForEachProcess(const wchar_t* name, const std::function<void(DWORD)>& each) {
  int count = 0;
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry)) {
    if (::lstrcmpiW(entry.szExeFile, name) != 0) continue;
    ++count;
    each(entry.th32ProcessID);
  }
  ::CloseHandle(snapshot);
  return count;
}

// Ends every process of that program name; returns how many there were.
int EndProcesses(const wchar_t* name) {
  return ForEachProcess(name, [](DWORD id) {
    const HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (process == nullptr) return;
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, 5000);
    ::CloseHandle(process);
  });
}

}  // namespace

int CountProcesses(const wchar_t* name) {
  return ForEachProcess(name, [](DWORD) {});
}

void RestartComService() {
  EndProcesses(L"rpcss.exe");
}

SimProcess::SimProcess() : log_(dir_.File(L"linksim.log")) {}

SimProcess::~SimProcess() {
  if (Running()) {
    Command("quit");
    if (::WaitForSingleObject(process_.hProcess, 5000) != WAIT_OBJECT_0) Kill();
  }
  Close();
}

bool SimProcess::Start(const std::vector<std::wstring>& options) {
  Close();
  // A simulator COM started by itself for an earlier client would take the new clients: every
  // test has one of its own.
  if (EndProcesses(L"corvanta-linksim.exe") > 0) RestartComService();
  ::DeleteFileW(log_.c_str());
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  if (!::CreatePipe(&read_end, &input_, &inherit, 0)) return false;
  ::SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
  std::wstring command = L"\"" + SimulatorPath() + L"\" --log \"" + log_ + L"\"";
  for (const std::wstring& option : options) command += L" " + option;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = read_end;
  startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  const BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process_);
  ::CloseHandle(read_end);
  if (!started) return false;
  return PumpUntil([this] { return !Records("LISTEN").empty() || !Running(); }, 10000) && Running();
}

void SimProcess::Command(const std::string& line) {
  if (input_ == nullptr) return;
  const std::string text = line + "\n";
  DWORD written = 0;
  ::WriteFile(input_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void SimProcess::Kill() {
  if (process_.hProcess == nullptr) return;
  ::TerminateProcess(process_.hProcess, 9);
  ::WaitForSingleObject(process_.hProcess, 5000);
}

bool SimProcess::Running() const {
  return process_.hProcess != nullptr &&
         ::WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

void SimProcess::Close() {
  if (input_ != nullptr) ::CloseHandle(input_);
  input_ = nullptr;
  if (process_.hProcess != nullptr) ::CloseHandle(process_.hProcess);
  if (process_.hThread != nullptr) ::CloseHandle(process_.hThread);
  process_ = {};
}

std::vector<std::string> SimProcess::Lines() const {
  std::vector<std::string> out;
  std::ifstream in{std::filesystem::path(log_)};
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> SimProcess::Records(const std::string& kind) const {
  std::vector<std::string> out;
  for (const std::string& line : Lines()) {
    std::istringstream fields(line);
    std::string ms, record, rest;
    if (fields >> ms >> record && record == kind) {
      std::getline(fields >> std::ws, rest);
      out.push_back(rest);
    }
  }
  return out;
}

std::vector<bool> SimProcess::Requests() const {
  std::vector<bool> keys;
  for (const std::string& r : Records("SETPTT")) keys.push_back(r.substr(0, 1) == "1");
  return keys;
}

bool SimProcess::Keyed() const {
  const auto states = Records("TRANSMITTER");
  return !states.empty() && states.back() == "1";
}

}  // namespace corvanta::testing
