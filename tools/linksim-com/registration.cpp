#include "tools/linksim-com/registration.h"

#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "link/com/class_registry.h"
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

// The program a server entry names compared with `exe`, as Windows compares file names.
bool SameProgram(const std::wstring& entry, const std::wstring& exe) {
  return ::CompareStringOrdinal(com::ServerProgram(entry).c_str(), -1, exe.c_str(), -1, TRUE) ==
         CSTR_EQUAL;
}

// Who serves the class in the classes under `root\prefix`, in either registry view: the programs
// of its local servers, or else of its in-process servers; empty when nobody does.
std::vector<std::wstring> RegisteredServers(HKEY root, const std::wstring& prefix = L"") {
  std::vector<std::wstring> servers = com::ClassServers(root, prefix, L"LocalServer32");
  if (servers.empty()) servers = com::ClassServers(root, prefix, L"InprocServer32");
  return servers;
}

// Another program that serves the class, for this user or for the machine, in the 64-bit or the
// 32-bit registry view (a 32-bit link program registers in the latter only), or empty. Each set
// is read on its own: Windows merges them, wine's COM reads only the machine's.
std::wstring OtherServer(const std::wstring& exe) {
  for (const auto& servers : {RegisteredServers(HKEY_CURRENT_USER, L"Software\\Classes\\"),
                              RegisteredServers(HKEY_LOCAL_MACHINE, L"Software\\Classes\\"),
                              RegisteredServers(HKEY_CLASSES_ROOT)}) {
    for (const std::wstring& server : servers) {
      if (!SameProgram(server, exe)) return server;
    }
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
    const std::vector<std::wstring> servers = RegisteredServers(root);
    if (!servers.empty() && SameProgram(servers.front(), exe)) {
      ::RegDeleteTreeW(root, ClassKey().c_str());
    }
    ::RegCloseKey(root);
  }
  return 0;
}

}  // namespace corvanta::linksim
