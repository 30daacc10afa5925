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
// A new stream first fills the server's queue in a burst and only then runs at the output's pace,
// and some servers then keep it shallower than at the start (PipeWire lowers its graph quantum
// once the stream has joined). Offsets from that start are lower than any the stream gives later,
// and would place every edge late until they left the window. The clock therefore counts as
// settled once the lowest offsets of two consecutive spans of `settle_frames` agree within
// `settle_jitter_ns`, and then keeps only the last span's: from then on the reference is the
// steady queue's.
//
// Pure arithmetic, no allocation: safe on the audio thread. One thread at a time.
#include <array>
#include <cstddef>
#include <cstdint>

namespace corvanta {

class EdgeClock {
 public:
  // Callbacks: about 1.5 s at 256 frames. A card drifting by d lags the mapping by at most d
  // times the window (0.15 ms at an extreme 100 ppm); full-queue callbacks recur far more often.
  static constexpr std::size_t kWindow = 256;

  EdgeClock(double rate, std::int64_t latency_frames, std::int64_t settle_frames = 0,
            double settle_jitter_ns = 0)
      : rate_(rate),
        latency_frames_(latency_frames),
        settle_frames_(settle_frames),
        settle_jitter_ns_(settle_jitter_ns) {}

  // A callback ran at `now_ns` with `produced` frames already delivered before it.
  void Observe(std::int64_t now_ns, std::int64_t produced);
  // Forgets the history, settling included: after a pause or a reopening the stream's frames no
  // longer follow the clock.
  void Reset();
  // Whether the reference comes from the stream's steady pace (see above). A clock made with
  // settle_frames 0 is settled from its first observation.
  bool Settled() const { return settled_; }
  // The frame at which a change made at `at_ns` takes effect. Only meaningful after Observe.
  std::int64_t FrameFor(std::int64_t at_ns) const { return FrameFor(at_ns, lowest_ns_); }
  // The same from a reference offset taken earlier (LowestNs): edges placed from one reference
  // keep their distances to the frame, whatever the window has learned since.
  std::int64_t FrameFor(std::int64_t at_ns, double reference_ns) const;
  bool Ready() const { return count_ > 0; }
  // The reference offset in use (the lowest in the window), in ns.
  double LowestNs() const { return lowest_ns_; }
  // A reference to place a run of edges from (see FrameFor above): the window's lowest offset,
  // followed from the last one this gave, at `now_ns`, no faster than a fraction of the time
  // since: `max_slow` where the offset rises (the card plays later), `max_fast` where it falls.
  // A sound card drifts from the system clock by a few hundred ppm at most; a report that moves
  // the offset faster is the server's error, not the card's. The two limits differ because the
  // errors seen do: PipeWire's pulse server overstated its path more and more, by 0.4 ms a
  // second and up to 50 ms, while its sink kept pace, and never understated it.
  // The first call after construction or Reset takes the lowest as it is.
  double FollowReference(std::int64_t now_ns, double max_slow, double max_fast);
  // Whether FollowReference has given a reference since construction or Reset, and the last one.
  bool HasReference() const { return have_reference_; }
  double ReferenceNs() const { return reference_ns_; }

 private:
  void Settle(double offset_ns, std::int64_t produced);

  double rate_;
  std::int64_t latency_frames_;
  std::int64_t settle_frames_;
  double settle_jitter_ns_;
  bool settled_ = false;
  std::int64_t span_start_ = -1;  // produced frames when the current span began; -1: none yet
  double span_low_ns_ = 0;
  double previous_span_low_ns_ = 0;
  bool have_previous_span_ = false;
  std::array<double, kWindow> offsets_ns_{};
  std::size_t next_ = 0;
  std::size_t count_ = 0;
  double lowest_ns_ = 0;
  bool have_reference_ = false;
  double reference_ns_ = 0;
  std::int64_t reference_at_ns_ = 0;
};

}  // namespace corvanta
