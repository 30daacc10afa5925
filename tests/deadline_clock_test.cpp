// The courtesy timeline on a fake clock whose sleeps overshoot, as real ones do.
#include "core/deadline_clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace corvanta {
namespace {

constexpr std::int64_t kMs = 1'000'000;

struct FakeTime {
  std::int64_t now = 1000 * kMs;
  std::int64_t overshoot = 0;  // every sleep ends this late
  std::vector<std::int64_t> woke;
  DeadlineClock clock{[this] { return now; },
                      [this](std::int64_t until) {
                        now = until + overshoot;
                        woke.push_back(now);
                      }};
};

TEST(DeadlineClock, OvershootsDoNotAddUpAndEdgesSitOnTheNominalInstants) {
  FakeTime t;
  t.overshoot = kMs / 2;  // 0.5 ms late after every sleep
  const std::int64_t start = t.now;
  t.clock.Open();
  std::vector<std::int64_t> edges;
  for (int i = 0; i < 40; ++i) {
    t.clock.Wait(100);
    edges.push_back(t.clock.EdgeInstantNs());
  }
  // Without deadlines the 40th wait would end 20 ms late; here each is 0.5 ms late at most.
  EXPECT_EQ(t.now, start + 4000 * kMs + kMs / 2);
  for (std::size_t i = 0; i < edges.size(); ++i) {
    EXPECT_EQ(edges[i], start + static_cast<std::int64_t>(i + 1) * 100 * kMs);
  }
  t.clock.Close();
  EXPECT_FALSE(t.clock.Active());
  EXPECT_EQ(t.clock.EdgeInstantNs(), t.now);  // no timeline: now
}

TEST(DeadlineClock, LongDelaysMoveTheTimelineOnInsteadOfCuttingWaitsShort) {
  struct Case {
    const char* name;
    std::int64_t delay;       // spent between two waits (work, a nested transmission)
    std::int64_t wait_after;  // how long the next 150 ms wait then sleeps
  };
  const Case cases[] = {
      {"small lateness is made up", 3 * kMs, 147 * kMs},
      {"at the slack, still made up", DeadlineClock::kSlackNs, 130 * kMs},
      {"beyond the slack, the timeline moves on", 21 * kMs, 150 * kMs},
      {"a nested transmission of 900 ms", 900 * kMs, 150 * kMs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTime t;
    t.clock.Open();
    t.clock.Wait(100);
    t.now += c.delay;
    const std::int64_t before = t.now;
    t.clock.Wait(150);
    EXPECT_EQ(t.now - before, c.wait_after);
  }
}

// A tone switched on too late to be placed at its instant starts now, and the element that
// follows it keeps its full length from there.
TEST(DeadlineClock, AnEdgeTooLateForItsInstantMovesTheTimelineOn) {
  for (const std::int64_t late : {2 * kMs, DeadlineClock::kEdgeSlackNs + kMs}) {
    SCOPED_TRACE(late);
    FakeTime t;
    t.clock.Open();
    t.clock.Wait(50);
    const std::int64_t due = t.now;
    t.now += late;  // the machine was busy
    const std::int64_t on = t.clock.EdgeInstantNs();
    t.clock.Wait(150);
    const std::int64_t off = t.clock.EdgeInstantNs();
    EXPECT_EQ(on, late <= DeadlineClock::kEdgeSlackNs ? due : due + late);
    EXPECT_EQ(off - on, 150 * kMs);
  }
}

TEST(DeadlineClock, NestedTimelinesEachKeepTheirOwnDeadlines) {
  FakeTime t;
  const std::int64_t start = t.now;
  t.clock.Open();
  t.clock.Wait(100);
  t.clock.Open();  // a transmission nested between two symbols
  t.clock.Wait(250);
  EXPECT_EQ(t.clock.EdgeInstantNs(), start + 350 * kMs);
  t.clock.Close();
  t.clock.Wait(50);  // the outer one goes on after the inner one, not cut short
  EXPECT_EQ(t.now, start + 400 * kMs);
  EXPECT_TRUE(t.clock.Active());
}

// A timeline opened at an earlier event: the work since (opening the sound output, and the silence
// written into it, an edge of now) comes out of the first wait, whatever it took up to that wait's
// length, so the key goes down on time; what it took beyond that moves the rest on. The waits
// after the first keep their own slack.
TEST(DeadlineClock, ATimelineFromAnEventTakesTheWorkSinceOutOfItsFirstWait) {
  struct Case {
    const char* name;
    std::int64_t work;         // between the event and the first (100 ms) wait
    std::int64_t keyed_after;  // the first wait's end, from the event
    std::int64_t lead_end;     // the 150 ms wait after it, from the event
  };
  const Case cases[] = {
      {"stream open: a few ms", 3 * kMs, 100 * kMs, 250 * kMs},
      {"stream woken: 63 ms", 63 * kMs, 100 * kMs, 250 * kMs},
      {"just within the pause", 100 * kMs, 100 * kMs, 250 * kMs},
      {"slower than the pause, within the slack", 117 * kMs, 117 * kMs, 250 * kMs},
      {"far slower than the pause: the rest moves on", 205 * kMs, 205 * kMs, 355 * kMs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTime t;
    const std::int64_t event = t.now;
    t.now += c.work;
    t.clock.OpenAt(event);
    EXPECT_EQ(t.clock.EdgeInstantNs(), t.now);
    t.clock.Wait(100);
    EXPECT_EQ(t.now - event, c.keyed_after);
    t.clock.Wait(150);
    EXPECT_EQ(t.now - event, c.lead_end);
  }
}

// The pause after the key counts from the link program's confirmation: an answer that came
// within the slack no longer shortens it, and the waits after it follow from there.
TEST(DeadlineClock, APauseAnchoredAtAnAnswerCountsWhollyFromIt) {
  for (const std::int64_t answer : {0 * kMs, 7 * kMs, 15 * kMs, 19 * kMs, 45 * kMs, 250 * kMs}) {
    SCOPED_TRACE(answer / kMs);
    FakeTime t;
    t.overshoot = 3 * kMs / 10;
    t.clock.Open();
    t.clock.Wait(100);
    t.now += answer;  // the keying request, answered
    const std::int64_t confirmed = t.now;
    t.clock.Anchor(confirmed);
    t.clock.Wait(150);
    EXPECT_EQ(t.now - confirmed, 150 * kMs + t.overshoot);
    t.clock.Wait(53);
    EXPECT_EQ(t.now - confirmed, 203 * kMs + t.overshoot);
    t.clock.Close();
  }
}

// A pause (a file operation tried again between two symbols) lasts what it asks, however late
// the timeline is, and leaves the timeline as the same time spent on work would: the next wait
// ends where it ends after work that did not wait.
TEST(DeadlineClock, APauseLastsWhatItAsksAndLeavesTheTimelineAlone) {
  struct Case {
    const char* name;
    bool from_event;    // opened at an earlier event: its first wait is still to come
    std::int64_t late;  // behind the timeline when the pause starts
  };
  const Case cases[] = {
      {"on time", false, 0},
      {"late within the slack", false, 15 * kMs},
      {"before the first wait of a timeline from an event", true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTime paused, worked;
    for (FakeTime* t : {&paused, &worked}) {
      if (c.from_event) {
        t->clock.OpenAt(t->now - 30 * kMs);
      } else {
        t->clock.Open();
        t->clock.Wait(100);
      }
      t->now += c.late;
    }
    const std::int64_t before = paused.now;
    paused.clock.Pause(50);
    EXPECT_EQ(paused.now - before, 50 * kMs);
    worked.now += 50 * kMs;
    paused.clock.Wait(100);
    worked.clock.Wait(100);
    EXPECT_EQ(paused.now, worked.now);
  }
}

}  // namespace
}  // namespace corvanta
