#pragma once
// Waits against deadlines counted from the start of a courtesy transmission, so that what the air
// hears follows the nominal timeline instead of the sum of the sleeps: every sleep overshoots a
// little, and each wait makes up the overshoot of the one before it.
//
// Lateness of up to kSlackNs at the start of a wait is made up; anything longer (a transmission
// nested into this one, a keying request that waited for its answer) moves the rest of the
// timeline on, so no later wait is cut short to catch up. Timelines nest: each transmission
// opens its own, and the outer one carries on from where the inner one left it.
//
// Thread rules: the window thread only. Wait blocks for the wait asked for, less the lateness it
// makes up; nothing else blocks. Standard C++ only: the clock and the sleep are handed in.
#include <cstdint>
#include <functional>
#include <vector>

namespace corvanta {

class DeadlineClock {
 public:
  static constexpr std::int64_t kSlackNs = 20'000'000;
  static constexpr std::int64_t kEdgeSlackNs = 10'000'000;

  // `now` gives the steady clock in ns; `sleep_until` blocks until that instant.
  DeadlineClock(std::function<std::int64_t()> now, std::function<void(std::int64_t)> sleep_until)
      : now_(std::move(now)), sleep_until_(std::move(sleep_until)) {}

  // Opens a timeline starting now; Close ends the innermost one.
  void Open() { deadlines_.push_back({now_(), false}); }
  // Opens a timeline that started at `started_ns` (an event that came before the work leading to
  // the transmission, such as opening the sound output). Its first wait takes that work out of
  // its own length, however long, since nothing is heard before it; what the work took beyond
  // that wait moves the rest of the timeline on.
  void OpenAt(std::int64_t started_ns) { deadlines_.push_back({started_ns, true}); }
  void Close() {
    if (!deadlines_.empty()) deadlines_.pop_back();
  }
  bool Active() const { return !deadlines_.empty(); }

  // The next `ms` of the innermost timeline. Without an open timeline, a plain sleep.
  void Wait(std::int32_t ms) {
    const std::int64_t now = now_();
    if (deadlines_.empty()) {
      if (ms > 0) sleep_until_(now + std::int64_t{ms} * 1'000'000);
      return;
    }
    Timeline& t = deadlines_.back();
    std::int64_t& deadline = t.deadline;
    if (t.first_absorbs) {
      t.first_absorbs = false;
      deadline += std::int64_t{ms} * 1'000'000;
      if (deadline > now) {
        sleep_until_(deadline);
      } else if (now - deadline > kSlackNs) {
        deadline = now;
      }
      return;
    }
    if (now - deadline > kSlackNs) deadline = now;
    deadline += std::int64_t{ms} * 1'000'000;
    if (deadline > now) sleep_until_(deadline);
  }

  // The innermost timeline goes on from `at_ns`, an instant known only now (the link program's
  // confirmation of the key, less the sound path's length; the instant the last tone is heard):
  // the next wait counts from there, so the wait for an answer never shortens the pause that
  // follows it, and no lateness from before it is made up after it. An instant already past
  // takes its age out of the next wait, however long, as OpenAt does.
  void Anchor(std::int64_t at_ns) {
    if (deadlines_.empty()) return;
    deadlines_.back().deadline = at_ns;
    deadlines_.back().first_absorbs = true;
  }

  // A wait that belongs to no timeline (a file operation tried again while a transmission runs):
  // `ms` from now, never shortened by a timeline's lateness, and every open timeline left as it
  // was.
  void Pause(std::int32_t ms) {
    if (ms > 0) sleep_until_(now_() + std::int64_t{ms} * 1'000'000);
  }

  // The instant a change to the sound made now belongs to: where the last wait was due to end.
  // The sound output places an edge its path's length after its instant; one that comes later than
  // kEdgeSlackNs after its instant could no longer be placed there, so it belongs to now and the
  // rest of the timeline moves on with it (the element keeps its length). Before the first wait
  // of a timeline opened at an earlier instant (the silence written as the output is prepared,
  // after the event), no wait has ended yet: the change belongs to now, and the deadline stays
  // the instant that wait counts from, however long ago, or the key would go down late by all
  // the work since the event.
  std::int64_t EdgeInstantNs() {
    const std::int64_t now = now_();
    if (deadlines_.empty() || deadlines_.back().first_absorbs) return now;
    std::int64_t& deadline = deadlines_.back().deadline;
    if (now - deadline > kEdgeSlackNs) deadline = now;
    return deadline;
  }

  // The steady clock now, in ns: the instant an event is taken, to open a timeline at later.
  std::int64_t Now() const { return now_(); }

 private:
  std::function<std::int64_t()> now_;
  std::function<void(std::int64_t)> sleep_until_;
  struct Timeline {
    std::int64_t deadline;
    bool first_absorbs;  // opened at an earlier instant: see OpenAt
  };
  std::vector<Timeline> deadlines_;
};

}  // namespace corvanta
