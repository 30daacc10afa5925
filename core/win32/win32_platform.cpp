#include "core/win32/win32_platform.h"

#include <windows.h>

#include <mmsystem.h>

#include <string>

// windows.h renames MessageBox to MessageBoxW; the platform's member keeps its name here.
#undef MessageBox

namespace corvanta {

namespace {

std::wstring Wide(const std::string& text) {
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 1) return {};
  std::wstring out(static_cast<std::size_t>(n - 1), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  return out;
}

}  // namespace

Win32Platform::Win32Platform() = default;

Win32Platform::~Win32Platform() {
  while (timelines_ > 0) CloseTimeline();
}

// The system timer at 1 ms costs the whole machine wakeups and power: it is asked for only while
// a transmission's timeline is open, where a 50 ms element must not stretch to the next 15.6 ms
// tick.
void Win32Platform::OpenTimeline() {
  if (timelines_++ == 0) ::timeBeginPeriod(1);
  std_.OpenTimeline();
}

void Win32Platform::OpenTimelineAt(std::int64_t started_ns) {
  if (timelines_++ == 0) ::timeBeginPeriod(1);
  std_.OpenTimelineAt(started_ns);
}

void Win32Platform::CloseTimeline() {
  std_.CloseTimeline();
  if (timelines_ > 0 && --timelines_ == 0) ::timeEndPeriod(1);
}

void Win32Platform::DoEvents() {
  MSG msg;
  bool quit = false;
  int quit_code = 0;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quit = true;
      quit_code = static_cast<int>(msg.wParam);
      continue;
    }
    // Tab, the arrow keys and the access keys work between two symbols as in the main loop.
    if (msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST && msg.hwnd != nullptr) {
      const HWND root = ::GetAncestor(msg.hwnd, GA_ROOT);
      if (root != nullptr && ::IsDialogMessageW(root, &msg)) continue;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  // The quit belongs to the main loop, which ends the program on it: taken off the queue here,
  // it would leave the loop waiting forever with no window.
  if (quit) ::PostQuitMessage(quit_code);
}

void Win32Platform::MessageBox(const std::string& text, const std::string& title, MsgIcon icon) {
  UINT style = MB_OK | MB_TASKMODAL;
  switch (icon) {
    case MsgIcon::kInformation:
      style |= MB_ICONINFORMATION;
      break;
    case MsgIcon::kWarning:
      style |= MB_ICONWARNING;
      break;
    case MsgIcon::kCritical:
      style |= MB_ICONERROR;
      break;
    case MsgIcon::kNone:
      break;
  }
  ::MessageBoxW(::GetActiveWindow(), Wide(text).c_str(), Wide(title).c_str(), style);
}

}  // namespace corvanta
