#pragma once
// The sound objects on libpulse's asynchronous API, for PulseAudio and PipeWire's pulse server.
//
// Device i (1-based) is the server's sink i, named by its description (as SDL names it, so a
// stored output is found whichever backend runs); opening resolves the description again, so a
// sink that vanished fails at opening. Each secondary buffer owns one playback stream on that
// sink, so re-opening the device object never disturbs a buffer that plays.
//
// Placement: the server's timing information says when the next sample written will be heard.
// Each write is stamped with its instant on the transmission's timeline and heard exactly
// OutputDelayNs() after it: the stream's measured path (server queue, sink) plus the longest
// wait for the server's next request, known from the stream's first steady requests and fixed
// once told. Frames are mapped to the clock from one reference, which follows the sound card's
// drift during silences. The queue is deep enough (kQueueMs) that a stalled thread of ours makes
// no hole. OutputDelayNs may wait (the lock released) for a stream just opened to tell its path,
// at most 300 ms after its start; a tone written to a stream just started waits for its timing to
// settle, within the same limit, unless the delay has been told.
//
// Thread rules: every public function is called on the window thread and takes the mainloop's
// lock, held for microseconds, except while a stream or the connection opens (a few tens of ms,
// at most kOpenLimitMs), which waits with the lock released. The mainloop's own thread fills the
// streams when the server asks, and closes streams that have looped only silence for a while;
// they open again at the next write, Play, or device opening. After the server went away, the
// next listing or opening connects anew once it answers.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "audio/directsound_interface.h"

namespace corvanta {

struct PulseAudioStats {
  std::atomic<std::uint64_t> requests{0};     // the server asked for data
  std::atomic<std::uint64_t> late_edges{0};   // edges that came after their frame was written
  std::atomic<std::uint64_t> underruns{0};    // the server ran out of our data (a hole)
  std::atomic<std::uint64_t> idle_closes{0};  // streams closed after looping only silence
  std::atomic<std::uint64_t> reopens{0};      // and opened again
  std::atomic<std::uint64_t> reconnects{0};   // the connection made anew after a failure
  std::atomic<std::int64_t> delay_ns{0};      // the last settled stream's OutputDelayNs
};
PulseAudioStats& PulseStats();

class PulseSession;

class PulseSoundBackend final : public SoundBackend {
 public:
  // Connects to the server named by the environment or the client configuration (never one
  // spawned for us); throws AudioError when none answers with an output.
  PulseSoundBackend();
  ~PulseSoundBackend() override;
  PulseSoundBackend(const PulseSoundBackend&) = delete;
  PulseSoundBackend& operator=(const PulseSoundBackend&) = delete;

  std::unique_ptr<DirectX7> CreateDirectX7() override;

  // For tests: holds the mainloop's lock for `hold`, so no stream is fed meanwhile, as when a
  // loaded machine holds the mainloop's thread. Any thread; blocks for `hold`.
  void HoldLoopForTest(std::chrono::milliseconds hold);

 private:
  std::shared_ptr<PulseSession> session_;
};

}  // namespace corvanta
