#pragma once
// Platform services in the window program: real sleeps that process no window messages,
// DoEvents through Qt's event loop, the steady clock, and Qt message boxes.
#include "core/platform.h"

namespace corvanta {

class QtPlatform final : public Platform {
 public:
  void Sleep(std::int32_t ms) override { std_.Sleep(ms); }
  void DoEvents() override;
  std::int64_t NowMs() override { return std_.NowMs(); }
  void MessageBox(const std::string& text, const std::string& title, MsgIcon icon) override;
  void OpenTimeline() override { std_.OpenTimeline(); }
  void OpenTimelineAt(std::int64_t started_ns) override { std_.OpenTimelineAt(started_ns); }
  std::int64_t TimelineNowNs() override { return std_.TimelineNowNs(); }
  void CloseTimeline() override { std_.CloseTimeline(); }
  void AnchorTimeline(std::int64_t at_ns) override { std_.AnchorTimeline(at_ns); }
  std::int64_t EdgeInstantNs() override { return std_.EdgeInstantNs(); }

 private:
  StdPlatform std_;
};

// Runs the window messages pending now, and then the events that running them posted (such as
// the link events read from the socket in that pass). Window thread only; it may re-enter
// anything a message starts, including a whole courtesy transmission.
void ProcessPendingMessages();

}  // namespace corvanta
