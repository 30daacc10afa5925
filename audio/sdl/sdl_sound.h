#pragma once
// The sound objects on SDL2 audio (PulseAudio, PipeWire, ALSA or JACK underneath).
//
// Device i (1-based) is SDL output device i - 1; its description and its "GUID" are both the SDL
// device name, which opening resolves again, so a device that vanished fails at opening. Each
// secondary buffer owns its own SDL stream, so re-opening the device object never disturbs a
// buffer that plays.
//
// Thread rules: every public function is called on the window thread. The SDL callback runs on
// SDL's audio thread and touches only the slots and atomics of its own buffer, as written beside
// SdlBuffer. A housekeeping thread closes streams that have looped only silence for a while; they
// open again at the next write, Play, or device opening.
#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/directsound_interface.h"

namespace corvanta {

// Counters kept by the audio callbacks of every stream, for benchmarks and diagnostics.
struct SdlAudioStats {
  std::atomic<std::uint64_t> callbacks{0};
  std::atomic<std::uint64_t> late_edges{0};   // edges that arrived after their frame was produced
  std::atomic<std::uint64_t> idle_closes{0};  // streams closed after looping only silence
  std::atomic<std::uint64_t> reopens{0};      // and opened again
  std::atomic<std::uint64_t> restarts{0};     // the sound system started anew after a failure
};
SdlAudioStats& Stats();

class Housekeeper;

class SdlSoundBackend final : public SoundBackend {
 public:
  // Starts SDL's audio subsystem; throws AudioError when no audio driver can start.
  SdlSoundBackend();
  ~SdlSoundBackend() override;
  SdlSoundBackend(const SdlSoundBackend&) = delete;
  SdlSoundBackend& operator=(const SdlSoundBackend&) = delete;

  std::unique_ptr<DirectX7> CreateDirectX7() override;

 private:
  // Closes the streams of buffers that loop only silence (a thread of its own).
  std::unique_ptr<Housekeeper> housekeeper_;
  // Whether this backend set libpulse's queue target (the operator had not): it is taken back
  // when the backend goes, so that a libpulse stream made later gets the queue it asks for.
  bool set_server_buffer_ = false;
};

}  // namespace corvanta
