#include "ui/win32/one_copy.h"

#include <windows.h>

namespace corvanta::win32 {

SessionClaim::SessionClaim() {
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, kOneCopyMutexName);
  const DWORD error = ::GetLastError();
  mutex_ = mutex;
  // A copy run as administrator makes the mutex with rights this copy does not have: it exists,
  // so a copy runs, even though it cannot be opened. Any other mutex that cannot be made at all
  // (no rights in the namespace) must not keep the station off the air: this copy runs.
  const bool another =
      error == ERROR_ALREADY_EXISTS || (mutex == nullptr && error == ERROR_ACCESS_DENIED);
  claimed_ = !another;
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
