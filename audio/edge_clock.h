#pragma once
// Maps the monotonic clock to output frames of one stream, so that a rewrite made at time t is
// heard at frame FrameFor(t): always the same latency after the call, whatever the moment the
// audio callback happens to run.
//
// Each callback reports when it ran and how many frames the stream had produced before it. A
// frame produced then is played no earlier than that moment; how much later depends on how full
// the server's queue was. The offsets (time minus produced stream time) therefore scatter above
// and below; the lowest one in a recent window belongs to a callback made with the queue at its
// fullest, which is the steadiest reference there is. A window of a few seconds follows clock
// drift between the sound card and the system clock.
//
// Pure arithmetic, no allocation: safe on the audio thread.
#include <array>
#include <cstddef>
#include <cstdint>

namespace corvanta {

class EdgeClock {
 public:
  // Callbacks: about 1.5 s at 256 frames. A card drifting by d lags the mapping by at most d
  // times the window (0.15 ms at an extreme 100 ppm); full-queue callbacks recur far more often.
  static constexpr std::size_t kWindow = 256;

  EdgeClock(double rate, std::int64_t latency_frames)
      : rate_(rate), latency_frames_(latency_frames) {}

  // A callback ran at `now_ns` with `produced` frames already delivered before it.
  void Observe(std::int64_t now_ns, std::int64_t produced);
  // Forgets the history: after a pause the stream's frames no longer follow the clock.
  void Reset() {
    count_ = 0;
    next_ = 0;
  }
  // The frame at which a change made at `at_ns` takes effect. Only meaningful after Observe.
  std::int64_t FrameFor(std::int64_t at_ns) const;
  bool Ready() const { return count_ > 0; }
  // The reference offset in use (the lowest in the window), in ns.
  double LowestNs() const { return lowest_ns_; }

 private:
  double rate_;
  std::int64_t latency_frames_;
  std::array<double, kWindow> offsets_ns_{};
  std::size_t next_ = 0;
  std::size_t count_ = 0;
  double lowest_ns_ = 0;
};

}  // namespace corvanta
