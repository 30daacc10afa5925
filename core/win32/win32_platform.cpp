#include "core/win32/win32_platform.h"

#include <windows.h>

#include <mmsystem.h>

#include <chrono>
#include <cstdint>
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

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Ends the sleep with Sleep, when no waitable timer could be made: whole milliseconds, and the
// last part of one with Sleep(0), which yields to whatever else is ready.
void SleepUntilNs(std::int64_t deadline_ns) {
  for (;;) {
    const std::int64_t left = deadline_ns - SteadyNs();
    if (left <= 0) return;
    ::Sleep(static_cast<DWORD>(left / 1'000'000));
  }
}

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, from Windows 10 1803 on; older headers lack the name.
constexpr DWORD kHighResolutionTimer = 0x00000002;

HANDLE MakeTimer() {
  HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
  if (timer == nullptr) timer = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  return timer;
}

}  // namespace

// The wait before the key and between two edges ends on a waitable timer, due in 100 ns units,
// not on Sleep: Sleep counts whole milliseconds, and its last part, Sleep(0), gives the core to
// any thread that is ready, which on a busy machine costs a whole time slice. With two busy loops
// on a 2-core machine (under wine), waits on Sleep ended 1.3 to 1.7 ms late in the median and 2 to
// 9 ms at the 95th percentile; on the timer, 0.6 ms and 1.5 to 2.8 ms. A timer that could not be
// made leaves the waits on Sleep.
void Win32Platform::SleepUntil(std::int64_t deadline_ns) {
  if (timer_ == nullptr) {
    SleepUntilNs(deadline_ns);
    return;
  }
  for (;;) {
    const std::int64_t left = deadline_ns - SteadyNs();
    if (left <= 0) return;
    LARGE_INTEGER due;
    due.QuadPart = -((left + 99) / 100);  // relative, rounded up so it never ends early
    if (!::SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE) ||
        ::WaitForSingleObject(timer_, INFINITE) != WAIT_OBJECT_0) {
      SleepUntilNs(deadline_ns);
      return;
    }
  }
}

Win32Platform::Win32Platform()
    : timer_(MakeTimer()), std_(SteadyNs, [this](std::int64_t ns) { SleepUntil(ns); }) {}

Win32Platform::~Win32Platform() {
  while (timelines_ > 0) CloseTimeline();
  if (timer_ != nullptr) ::CloseHandle(timer_);
}

// The system timer at 1 ms costs the whole machine wakeups and power: it is asked for only while
// a transmission's timeline is open, where a 50 ms element must not stretch to the next 15.6 ms
// tick. For the same span the window thread runs above normal priority: on a busy machine (a
// scan, an update) a woken thread of normal priority waits its turn behind the others, and the
// key and the edges come late. A courtesy lasts about a second, and the thread sleeps through
// most of it.
void Win32Platform::BeginTimeline() {
  if (timelines_++ > 0) return;
  ::timeBeginPeriod(1);
  priority_ = ::GetThreadPriority(::GetCurrentThread());
  if (priority_ != THREAD_PRIORITY_ERROR_RETURN && priority_ < THREAD_PRIORITY_HIGHEST) {
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  }
}

void Win32Platform::OpenTimeline() {
  BeginTimeline();
  std_.OpenTimeline();
}

void Win32Platform::OpenTimelineAt(std::int64_t started_ns) {
  BeginTimeline();
  std_.OpenTimelineAt(started_ns);
}

void Win32Platform::CloseTimeline() {
  std_.CloseTimeline();
  if (timelines_ > 0 && --timelines_ == 0) {
    ::timeEndPeriod(1);
    if (priority_ != THREAD_PRIORITY_ERROR_RETURN && priority_ < THREAD_PRIORITY_HIGHEST) {
      ::SetThreadPriority(::GetCurrentThread(), priority_);
    }
  }
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
