#pragma once
// The platform services on Windows: the standard library's clock and deadline sleeps on a
// high-resolution waitable timer (with the system timer at 1 ms and the window thread above normal
// priority while a transmission's timeline is open, so a 50 ms element is not stretched to the
// next 15.6 ms tick nor the key late on a busy machine; an idle station leaves both alone), the
// thread's Win32 message queue for DoEvents, and the system's message box.
//
// Thread rules: as for every Platform, the window thread only. DoEvents dispatches every message
// waiting in the thread's queue (PeekMessage, TranslateMessage, DispatchMessage; keys first through
// their window's IsDialogMessage, as the main loop does), so it re-enters the program: link events,
// timers and clicks run inside it. A WM_QUIT it meets is posted again for the main loop. MessageBox
// runs the system's modal loop until the operator closes the box.
#include "core/platform.h"

namespace corvanta {

class Win32Platform final : public Platform {
 public:
  Win32Platform();
  ~Win32Platform() override;
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  void Sleep(std::int32_t ms) override { std_.Sleep(ms); }
  void Pause(std::int32_t ms) override { std_.Pause(ms); }
  void DoEvents() override;
  std::int64_t NowMs() override { return std_.NowMs(); }
  void MessageBox(const std::string& text, const std::string& title, MsgIcon icon) override;
  void OpenTimeline() override;
  void OpenTimelineAt(std::int64_t started_ns) override;
  std::int64_t TimelineNowNs() override { return std_.TimelineNowNs(); }
  void CloseTimeline() override;
  std::int64_t EdgeInstantNs() override { return std_.EdgeInstantNs(); }
  void AnchorTimeline(std::int64_t at_ns) override { std_.AnchorTimeline(at_ns); }

 private:
  void BeginTimeline();
  void SleepUntil(std::int64_t deadline_ns);

  void* timer_;  // the waitable timer the waits end on (a HANDLE); null: they end on Sleep
  StdPlatform std_;
  int timelines_ = 0;  // open ones: the 1 ms system timer and a raised priority while any is
  int priority_ = 0;   // the window thread's own, put back when the last timeline closes
};

}  // namespace corvanta
