#include "audio/edge_clock.h"

#include <gtest/gtest.h>

#include <vector>

#include "audio/directsound_interface.h"

namespace corvanta {
namespace {

constexpr double kRate = kSampleRate;
constexpr std::int64_t kLatency = 661;  // 15 ms

// Callbacks of 256 frames, run in bursts of `burst` back to back whenever the server asks,
// with the queue `depth_frames` deep when the burst starts. `c_ns` is when frame 0 plays.
// `report_error_ns` is what the server's report of the path adds to the truth.
struct Server {
  double c_ns;
  std::int64_t produced = 0;
  double report_error_ns = 0;
  void Burst(EdgeClock& clock, int burst, std::int64_t depth_frames) {
    // The burst begins when the frame `produced - depth` is playing.
    const double start =
        c_ns + static_cast<double>(produced - depth_frames) * 1e9 / kRate + report_error_ns;
    for (int i = 0; i < burst; ++i) {
      clock.Observe(static_cast<std::int64_t>(start) + i * 20'000, produced);
      produced += 256;
    }
  }
};

TEST(EdgeClock, EdgesGetOneFixedLatencyHoweverIrregularTheCallbacks) {
  EdgeClock clock(kRate, kLatency);
  Server server{1e9};
  // Irregular bursts: sometimes one callback with a full queue, sometimes three with a low one.
  const std::pair<int, std::int64_t> pattern[] = {{3, 256}, {1, 1024}, {2, 512}, {1, 1300}, {4, 0}};
  for (int round = 0; round < 40; ++round) {
    const auto [burst, depth] = pattern[round % 5];
    server.Burst(clock, burst, depth);
  }
  // The fullest queue seen was 1300 frames: every edge is placed that far plus the latency
  // after its call, to the frame, whatever burst comes next.
  for (const double t_ms : {0.0, 1.0, 2.5, 17.3}) {
    const double at = server.c_ns + static_cast<double>(server.produced) * 1e9 / kRate + t_ms * 1e6;
    const std::int64_t frame = clock.FrameFor(static_cast<std::int64_t>(at));
    const double heard_ns = server.c_ns + static_cast<double>(frame) * 1e9 / kRate;
    EXPECT_NEAR((heard_ns - at) / 1e6, (1300.0 + kLatency) * 1000.0 / kRate, 0.03) << t_ms;
  }
}

TEST(EdgeClock, FollowsClockDriftThroughItsWindow) {
  EdgeClock clock(kRate, 0);
  Server server{0};
  for (std::size_t i = 0; i < 2 * EdgeClock::kWindow; ++i) server.Burst(clock, 1, 512);
  // The card runs 100 ppm slow from now on: frame 0 effectively plays later and later.
  for (std::size_t i = 0; i < 2 * EdgeClock::kWindow; ++i) {
    server.c_ns += 256 * 1e9 / kRate * 1e-4;
    server.Burst(clock, 1, 512);
  }
  const double at = server.c_ns + static_cast<double>(server.produced) * 1e9 / kRate;
  const double heard =
      server.c_ns +
      static_cast<double>(clock.FrameFor(static_cast<std::int64_t>(at))) * 1e9 / kRate;
  // Still 512 frames (11.6 ms) after the call, within drift times the window (0.15 ms).
  EXPECT_NEAR((heard - at) / 1e6, 512 * 1000.0 / kRate, 0.16);
}

// A reference taken again and again over 3 s of callbacks follows a card's drift, but not a
// report that moves by more than a card can drift (100 ppm where the card plays later, 500 ppm
// where it plays earlier, as the libpulse stream allows).
TEST(EdgeClock, TheReferenceFollowsDriftButNotAReportThatJumpsOrCreeps) {
  struct Case {
    const char* name;
    double drift;            // the card's frame 0 plays this much later per second
    double report_error_ns;  // from the first half window on
    double report_creep;     // from then on, the report grows by this much per second as well
    double heard_error_ms;   // against 512 frames after the call, at most (3.7 s of error)
  };
  for (const Case c : {
           Case{"card 100 ppm slow", 100e-6, 0, 0, 0.16},
           Case{"card 300 ppm fast", -300e-6, 0, 0, 0.05},
           Case{"report 15 ms over", 0, 15e6, 0, 0.38},
           Case{"report 9 ms under", 0, -9e6, 0, 1.86},
           Case{"report creeping 400 ppm over", 0, 0, 400e-6, 0.45},
       }) {
    SCOPED_TRACE(c.name);
    EdgeClock clock(kRate, 0);
    Server server{1e9};
    double reference = 0;
    for (std::size_t i = 0; i < 3 * EdgeClock::kWindow; ++i) {
      const double step_ns = 256 * 1e9 / kRate;
      if (i == EdgeClock::kWindow / 2) server.report_error_ns = c.report_error_ns;
      if (i > EdgeClock::kWindow / 2) server.report_error_ns += step_ns * c.report_creep;
      server.c_ns += step_ns * c.drift;
      server.Burst(clock, 1, 512);
      const double now = server.c_ns + static_cast<double>(server.produced) * 1e9 / kRate;
      reference = clock.FollowReference(static_cast<std::int64_t>(now), 100e-6, 500e-6);
    }
    const double at = server.c_ns + static_cast<double>(server.produced) * 1e9 / kRate;
    const double heard =
        server.c_ns +
        static_cast<double>(clock.FrameFor(static_cast<std::int64_t>(at), reference)) * 1e9 / kRate;
    EXPECT_NEAR((heard - at) / 1e6, 512 * 1000.0 / kRate, c.heard_error_ms);
  }
}

TEST(EdgeClock, ResetForgetsTheHistoryOfAPausedStream) {
  EdgeClock clock(kRate, 0);
  Server server{0};
  for (int i = 0; i < 50; ++i) server.Burst(clock, 1, 256);
  // Paused for a second: the stream's frames stood still while the clock ran on.
  server.c_ns += 1e9;
  clock.Reset();
  server.Burst(clock, 1, 256);
  const double at = server.c_ns + static_cast<double>(server.produced) * 1e9 / kRate;
  const double heard =
      server.c_ns +
      static_cast<double>(clock.FrameFor(static_cast<std::int64_t>(at))) * 1e9 / kRate;
  EXPECT_NEAR((heard - at) / 1e6, 256 * 1000.0 / kRate, 0.05);
}

// A new stream as PipeWire runs it: a first burst fills a queue 2048 frames deep, then the queue
// settles at 512 (the graph's quantum went down once the stream joined). Settling waits for the
// steady pace and then places edges by the steady queue, not by the deeper one of the start
// (which would make every edge 35 ms late until the start left the window).
TEST(EdgeClock, SettlesOnTheSteadyQueueNotTheDeeperOneOfTheStart) {
  constexpr std::int64_t kSpan = 2646;  // 60 ms
  struct Case {
    const char* name;
    std::int64_t start_depth;
  };
  for (const Case c : {Case{"shallower after the start", 2048}, Case{"same depth", 512},
                       Case{"deeper after the start", 128}}) {
    SCOPED_TRACE(c.name);
    EdgeClock clock(kRate, 0, kSpan, 200'000);
    Server server{1e9};
    server.Burst(clock, 8, c.start_depth);
    EXPECT_FALSE(clock.Settled());
    int callbacks = 0;
    while (!clock.Settled() && callbacks < 1000) {
      server.Burst(clock, 1, 512);
      ++callbacks;
    }
    ASSERT_TRUE(clock.Settled());
    // Two spans of steady callbacks at most, plus the one the start fell in.
    EXPECT_LE(callbacks * 256, 3 * kSpan + 256);
    const double at = server.c_ns + static_cast<double>(server.produced) * 1e9 / kRate;
    const double heard =
        server.c_ns +
        static_cast<double>(clock.FrameFor(static_cast<std::int64_t>(at))) * 1e9 / kRate;
    EXPECT_NEAR((heard - at) / 1e6, 512 * 1000.0 / kRate, 0.05);
  }
  // Without settling spans the clock is settled at once, as before.
  EdgeClock plain(kRate, 0);
  Server server{0};
  server.Burst(plain, 1, 256);
  EXPECT_TRUE(plain.Settled());
}

}  // namespace
}  // namespace corvanta
