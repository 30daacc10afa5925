#include "tools/linksim-com/registration.h"

#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "link/com/echolink.h"

// Exported by oleaut32 but missing from MinGW-w64's headers.
extern "C" HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* library, OLECHAR* path, OLECHAR* help);
extern "C" HRESULT WINAPI UnRegisterTypeLibForUser(REFGUID library, WORD major, WORD minor,
                                                   LCID locale, SYSKIND kind);

namespace corvanta::linksim {

namespace {

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring ExePath() {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n);
  return path;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (const wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

const std::wstring& ClassKey() {
  static const std::wstring key = L"CLSID\\" + GuidText(CLSID_EchoLinkAutomation);
  return key;
}

// The default value of `root\sub`, empty when there is none.
std::wstring ReadDefault(HKEY root, const std::wstring& sub) {
  wchar_t value[1024];
  DWORD bytes = sizeof value;
  if (::RegGetValueW(root, sub.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes) !=
      ERROR_SUCCESS) {
    return {};
  }
  return value;
}

// The program a server entry names, without quotes and arguments, compared as Windows compares
// file names.
bool SameProgram(std::wstring entry, const std::wstring& exe) {
  if (!entry.empty() && entry.front() == L'"') {
    const std::size_t end = entry.find(L'"', 1);
    entry = entry.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
  } else if (const std::size_t space = entry.find(L" /"); space != std::wstring::npos) {
    entry.resize(space);
  }
  return ::CompareStringOrdinal(entry.c_str(), -1, exe.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Who serves the class in the classes under `root\prefix`: the program of its local server, or
// of its in-process server; empty when nobody does.
std::wstring RegisteredServer(HKEY root, const std::wstring& prefix = L"") {
  std::wstring server = ReadDefault(root, prefix + ClassKey() + L"\\LocalServer32");
  if (server.empty()) server = ReadDefault(root, prefix + ClassKey() + L"\\InprocServer32");
  return server;
}

// Another program that serves the class, for this user or for the machine, or empty. Each set
// is read on its own: Windows merges them, wine's COM reads only the machine's.
std::wstring OtherServer(const std::wstring& exe) {
  for (const std::wstring& server : {RegisteredServer(HKEY_CURRENT_USER, L"Software\\Classes\\"),
                                     RegisteredServer(HKEY_LOCAL_MACHINE, L"Software\\Classes\\"),
                                     RegisteredServer(HKEY_CLASSES_ROOT)}) {
    if (!server.empty() && !SameProgram(server, exe)) return server;
  }
  return {};
}

std::vector<HKEY> Roots(Scope scope) {
  std::vector<HKEY> roots;
  HKEY user = nullptr;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &user, nullptr) == ERROR_SUCCESS) {
    roots.push_back(user);
  }
  HKEY machine = nullptr;
  if (scope == Scope::kMachine &&
      ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &machine, nullptr) == ERROR_SUCCESS) {
    roots.push_back(machine);
  }
  return roots;
}

bool WriteDefault(HKEY root, const std::wstring& sub, const std::wstring& value) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const LSTATUS status =
      ::RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// The file the registered type library of the link program's identity is read from, if any.
std::wstring RegisteredTypeLibrary() {
  BSTR path = nullptr;
  if (FAILED(::QueryPathOfRegTypeLib(LIBID_EchoLink, 1, 0, LOCALE_NEUTRAL, &path))) return {};
  std::wstring out(path, ::SysStringLen(path));
  ::SysFreeString(path);
  while (!out.empty() && out.back() == L'\0') out.pop_back();
  return out;
}

}  // namespace

int RegisterServer(Scope scope) {
  const std::wstring exe = ExePath();
  const std::wstring current = OtherServer(exe);
  if (!current.empty()) {
    std::fprintf(stderr,
                 "corvanta-linksim: the link program's class is registered to %s; not "
                 "registering the simulator in its place\n",
                 Narrow(current).c_str());
    return 1;
  }
  const std::wstring library = RegisteredTypeLibrary();
  if (!library.empty() && !SameProgram(library, exe)) {
    std::fprintf(stderr,
                 "corvanta-linksim: the link program's type library is registered from %s; not "
                 "registering the simulator\n",
                 Narrow(library).c_str());
    return 1;
  }
  ITypeLib* types = nullptr;
  std::wstring path = exe;
  HRESULT hr = ::LoadTypeLibEx(exe.c_str(), REGKIND_NONE, &types);
  if (SUCCEEDED(hr)) {
    hr = scope == Scope::kMachine ? ::RegisterTypeLib(types, path.data(), nullptr)
                                  : ::RegisterTypeLibForUser(types, path.data(), nullptr);
    types->Release();
  }
  if (FAILED(hr)) {
    std::fprintf(stderr, "corvanta-linksim: cannot register the type library: error 0x%08lX\n",
                 static_cast<unsigned long>(hr));
    return 1;
  }
  bool ok = true;
  for (HKEY root : Roots(scope)) {
    ok = ok && WriteDefault(root, ClassKey(), L"Corvanta link simulator (link program class)") &&
         WriteDefault(root, ClassKey() + L"\\LocalServer32", L"\"" + exe + L"\"") &&
         WriteDefault(root, ClassKey() + L"\\TypeLib", GuidText(LIBID_EchoLink));
    ::RegCloseKey(root);
  }
  if (!ok) {
    std::fprintf(stderr, "corvanta-linksim: cannot write the class registration\n");
    UnregisterServer(scope);
    return 1;
  }
  std::printf("corvanta-linksim: registered %s as the link program's class (%s)\n",
              Narrow(exe).c_str(), scope == Scope::kMachine ? "machine and user" : "this user");
  return 0;
}

int UnregisterServer(Scope scope) {
  const std::wstring exe = ExePath();
  const std::wstring current = OtherServer(exe);
  if (!current.empty()) {
    std::fprintf(stderr,
                 "corvanta-linksim: the link program's class is registered to %s; leaving it\n",
                 Narrow(current).c_str());
    return 1;
  }
  if (SameProgram(RegisteredTypeLibrary(), exe)) {
    if (scope == Scope::kMachine) {
      ::UnRegisterTypeLib(LIBID_EchoLink, 1, 0, LOCALE_NEUTRAL, SYS_WIN64);
    } else {
      ::UnRegisterTypeLibForUser(LIBID_EchoLink, 1, 0, LOCALE_NEUTRAL, SYS_WIN64);
    }
  }
  for (HKEY root : Roots(scope)) {
    if (SameProgram(RegisteredServer(root), exe)) ::RegDeleteTreeW(root, ClassKey().c_str());
    ::RegCloseKey(root);
  }
  return 0;
}

}  // namespace corvanta::linksim
