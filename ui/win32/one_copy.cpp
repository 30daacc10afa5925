#include "ui/win32/one_copy.h"

#include <windows.h>

namespace corvanta::win32 {

SessionClaim::SessionClaim() {
  // "Local\": per session, so two operators logged on to one machine each run their own.
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, L"Local\\Corvanta.OneCopyPerLink");
  const DWORD error = ::GetLastError();
  mutex_ = mutex;
  // A mutex that cannot be made at all (no rights in the namespace) must not keep the station
  // off the air: this copy runs.
  claimed_ = mutex == nullptr || error != ERROR_ALREADY_EXISTS;
}

SessionClaim::~SessionClaim() {
  if (mutex_ != nullptr) ::CloseHandle(static_cast<HANDLE>(mutex_));
}

unsigned SecondCopyMessage() {
  static const UINT message = ::RegisterWindowMessageW(L"Corvanta.SecondCopy");
  return message;
}

bool ShowFirstCopy() {
  HWND first = ::FindWindowW(L"CorvantaFrmMain", nullptr);
  if (first == nullptr) return false;
  // The copy the operator just started may give the focus away; the first one could not take it.
  if (::IsIconic(first)) ::ShowWindow(first, SW_RESTORE);
  ::SetForegroundWindow(first);
  ::PostMessageW(first, SecondCopyMessage(), 0, 0);
  return true;
}

}  // namespace corvanta::win32
