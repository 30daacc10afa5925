#pragma once
// Platform services the engine and the handlers need, behind one small interface so that tests
// run on a virtual clock. The window program installs the Qt implementation; command-line tools
// and benchmarks install the standard-library one.
//
// Thread rules: everything here runs on the window thread (in a tool, the one thread that runs the
// engine); nothing is synchronised. Only DoEvents and the Qt message box run window messages, and
// so re-enter the program: link events, timers, clicks and slider changes run inside them, a whole
// courtesy transmission included. After such a call, re-read whatever a handler may have changed
// (the held link object, the settings, the flags) instead of trusting values read before it.
#include <cstdint>
#include <functional>
#include <string>

#include "core/deadline_clock.h"

namespace corvanta {

enum class MsgIcon { kNone, kInformation, kWarning, kCritical };

class Platform {
 public:
  virtual ~Platform() = default;
  // Blocks the calling thread for `ms` milliseconds and processes no window messages, so nothing
  // re-enters during it. While a timeline is open it waits until the next deadline instead, which
  // may come sooner by the lateness it makes up.
  virtual void Sleep(std::int32_t ms) = 0;
  // Blocks for `ms` milliseconds of the clock, outside any timeline: for waits that belong to no
  // transmission (a file operation tried again), which neither a courtesy's lateness may cut
  // short nor may move the courtesy's deadlines on. Processes no window messages. By default a
  // plain sleep of the steady clock.
  virtual void Pause(std::int32_t ms);
  // Runs the window messages that are pending now (in the window program also the events they
  // post, such as link events read in that pass), then returns. It lasts as long as the handlers
  // it runs, which may include a whole nested courtesy transmission.
  virtual void DoEvents() = 0;
  // Monotonic milliseconds since an arbitrary start.
  virtual std::int64_t NowMs() = 0;
  // A modal message box with an OK button; returns when the operator has closed it. The Qt box
  // runs a nested event loop meanwhile, so link events and timers run inside this call; the
  // standard one writes to standard error and returns at once. MsgBox below adds the deferral
  // while a transmission holds the key; a direct call does not wait for the key's release.
  virtual void MessageBox(const std::string& text, const std::string& title, MsgIcon icon) = 0;

  // A courtesy transmission's nominal timeline (core/deadline_clock.h): while one is open, Sleep
  // waits until deadlines counted from its start. Platforms without real time (tests on a
  // virtual clock) need none: their sleeps are exact. Window thread; nests.
  virtual void OpenTimeline() {}
  // A timeline that started at `started_ns` (from TimelineNowNs), at an event taken before work
  // that must not delay what follows (core/deadline_clock.h, OpenAt).
  virtual void OpenTimelineAt(std::int64_t /*started_ns*/) { OpenTimeline(); }
  virtual void CloseTimeline() {}
  // The open timeline goes on from `at_ns` (from TimelineNowNs): the pause after the key counts
  // from the link program's confirmation, not from the request (core/deadline_clock.h, Anchor).
  virtual void AnchorTimeline(std::int64_t /*at_ns*/) {}
  // The steady clock now, in ns, as the timeline counts it.
  virtual std::int64_t TimelineNowNs() { return NowMs() * 1'000'000; }
  // The instant, on the steady clock in ns, that a change to the sound made now belongs to: the
  // nominal end of the last wait while a timeline is open, otherwise now. The sound output
  // places its edges there; it asks from its writes on the window thread. It may move the open
  // timeline on, so it is not a read-only query.
  virtual std::int64_t EdgeInstantNs();
};

// The installed services. Until something is installed, the standard-library services are used
// (a process-wide instance that lives for the whole run).
Platform& Services();
// Installs `p` (not owned; it must outlive its use) and returns the previous one. nullptr goes
// back to the standard-library services. Not synchronised: install before start-up, on the
// thread that uses the services, and not while a call into them is under way.
Platform* InstallPlatform(Platform* p);

// Shorthands used throughout the engine.
inline void Sleep(std::int32_t ms) {
  Services().Sleep(ms);
}
inline void Pause(std::int32_t ms) {
  Services().Pause(ms);
}
inline void DoEvents() {
  Services().DoEvents();
}
inline std::int64_t NowMs() {
  return Services().NowMs();
}
inline std::int64_t EdgeInstantNs() {
  return Services().EdgeInstantNs();
}
inline std::int64_t TimelineNowNs() {
  return Services().TimelineNowNs();
}

// Keeps a timeline open for the lifetime of a scope (a courtesy transmission).
class TimelineScope {
 public:
  TimelineScope() { Services().OpenTimeline(); }
  // Counted from `started_ns` when it is not negative.
  explicit TimelineScope(std::int64_t started_ns) {
    if (started_ns < 0) {
      Services().OpenTimeline();
    } else {
      Services().OpenTimelineAt(started_ns);
    }
  }
  ~TimelineScope() { Services().CloseTimeline(); }
  TimelineScope(const TimelineScope&) = delete;
  TimelineScope& operator=(const TimelineScope&) = delete;
};

// A message box with the application title as caption. While a courtesy transmission holds the
// key, the text goes to the status bar at once and the box opens only after the outermost
// transmission has ended (see core/transmissions.h). A box with the same text as one that is open
// or waiting is not opened again: an unattended station that fails at every link event must not
// pile up boxes. Window thread only. A deferred or repeated box returns at once; otherwise it
// blocks until the operator closes the box, and the box's own event loop runs link events, timers
// and other handlers meanwhile (a box with another text may open on top of it).
void MsgBox(const std::string& text, MsgIcon icon = MsgIcon::kNone);

// Standard-library services: real sleeps on the steady clock (against deadlines while a timeline
// is open), no window messages, message boxes written to standard error.
class StdPlatform final : public Platform {
 public:
  StdPlatform();
  // On another clock (a test's virtual one): `now_ns` gives it, `sleep_until_ns` waits for it.
  StdPlatform(std::function<std::int64_t()> now_ns,
              std::function<void(std::int64_t)> sleep_until_ns);
  void Sleep(std::int32_t ms) override;
  void Pause(std::int32_t ms) override { deadlines_.Pause(ms); }
  void DoEvents() override {}
  std::int64_t NowMs() override;
  void MessageBox(const std::string& text, const std::string& title, MsgIcon icon) override;
  void OpenTimeline() override { deadlines_.Open(); }
  void OpenTimelineAt(std::int64_t started_ns) override { deadlines_.OpenAt(started_ns); }
  void CloseTimeline() override { deadlines_.Close(); }
  void AnchorTimeline(std::int64_t at_ns) override { deadlines_.Anchor(at_ns); }
  std::int64_t EdgeInstantNs() override { return deadlines_.EdgeInstantNs(); }
  std::int64_t TimelineNowNs() override { return deadlines_.Now(); }

 private:
  DeadlineClock deadlines_;
};

// Installs a platform for the lifetime of a scope and puts the previous one back.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& p) : previous_(InstallPlatform(&p)) {}
  ~ScopedPlatform() { InstallPlatform(previous_); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

}  // namespace corvanta
