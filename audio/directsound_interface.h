#pragma once
// The four sound objects the program works with, as C++ interfaces: a root object that lists and
// opens output devices, the device enumerator, an open device, and a looping secondary buffer.
// Every operation reports failure by throwing AudioError with the backend's own text. Releasing
// an object is destroying it.
//
// Thread rules: every operation here is called from the window thread only. Implementations may
// run an audio callback on another thread; what that thread may touch is written beside the
// implementation. No operation processes window messages, so none re-enters the program.
//
// Blocking: starting a stream (making a buffer, a device opening that wakes a stream closed while
// idle, Play or WriteBuffer on a closed or paused stream) holds up the window thread while the
// sound server opens it, normally a few tens of ms. The stream's timing then settles on its own
// (both backends), and the first WriteBuffer of a tone (not of silence) on a stream started for
// it waits for that, up to 300 ms after the start; after a failure, listing or opening devices
// also asks the sound server (up to 300 ms) and may start the sound system anew. Everything else
// waits only briefly: for a running audio callback or feeder to finish, or for a stream to close.
//
// Ownership: every object made here belongs to its caller. A buffer does not depend on the device
// object that made it: the program replaces the device at each opening and keeps its buffer
// playing. The backend must outlive every object made through it.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace corvanta {

inline constexpr std::int32_t DSSCL_NORMAL = 1;
inline constexpr std::int32_t DSBCAPS_GLOBALFOCUS = 0x8000;
inline constexpr std::int32_t DSBLOCK_ENTIREBUFFER = 2;
inline constexpr std::int32_t DSBPLAY_LOOPING = 1;
inline constexpr std::uint16_t WAVE_FORMAT_PCM = 1;
inline constexpr std::int32_t DSBSTATUS_PLAYING = 1;
inline constexpr std::int32_t DSBSTATUS_BUFFERLOST = 2;
inline constexpr std::int32_t DSBSTATUS_LOOPING = 4;

struct DSBUFFERDESC {
  std::int32_t lFlags = 0;
  std::int32_t lBufferBytes = 0;  // the buffer length; 0 until the first tone
};

struct WAVEFORMATEX {
  std::uint16_t nFormatTag = 0;
  std::uint16_t nChannels = 0;
  std::int32_t lSamplesPerSec = 0;
  std::int32_t lAvgBytesPerSec = 0;
  std::uint16_t nBlockAlign = 0;
  std::uint16_t nBitsPerSample = 0;
  std::uint16_t nSize = 0;  // extra format data: none
  friend bool operator==(const WAVEFORMATEX&, const WAVEFORMATEX&) = default;
};

// The one format every tone uses: PCM, mono, kSampleRate samples per second, unsigned 8 bits, in
// which kSilence is the middle of the range.
inline constexpr std::int32_t kSampleRate = 44100;
inline constexpr std::uint8_t kSilence = 128;
inline constexpr WAVEFORMATEX kToneFormat{WAVE_FORMAT_PCM, 1, kSampleRate, kSampleRate, 1, 8, 0};

class DirectSoundBuffer {
 public:
  virtual ~DirectSoundBuffer() = default;  // release: the buffer falls silent
  // Replaces the buffer's contents from `data`, also while it plays. With DSBLOCK_ENTIREBUFFER
  // (start 0, size 0) `data` must hold exactly the buffer's length in bytes.
  virtual void WriteBuffer(std::int32_t start, std::int32_t size,
                           std::span<const std::uint8_t> data, std::int32_t flags) = 0;
  // Plays from the current position; DSBPLAY_LOOPING repeats the buffer until stopped. A buffer
  // that already plays goes on playing.
  virtual void Play(std::int32_t flags) = 0;
  virtual void Stop() = 0;
  virtual void SetCurrentPosition(std::int32_t position) = 0;
  // DSBSTATUS_PLAYING | DSBSTATUS_LOOPING while it plays; DSBSTATUS_BUFFERLOST once its output
  // has gone away (unplugged, the sound server stopped). A lost buffer's writes try to reach the
  // output again and throw AudioError("Sound output lost: NAME") while it is still away.
  // Does not block beyond a lock held for microseconds.
  virtual std::int32_t GetStatus() = 0;
  // How long after its instant (EdgeInstantNs) a write is heard: the output path, fixed while
  // the buffer's stream lives. 0 when the backend cannot tell. May wait for a stream started
  // just now to settle (at most 300 ms after its start), as a tone's first write does.
  virtual std::int64_t OutputDelayNs() { return 0; }
};

class DirectSound {
 public:
  virtual ~DirectSound() = default;
  virtual void SetCooperativeLevel(std::intptr_t window, std::int32_t level) = 0;
  // A secondary buffer of exactly desc.lBufferBytes bytes in `format`, silent until played.
  virtual std::unique_ptr<DirectSoundBuffer> CreateSoundBuffer(const DSBUFFERDESC& desc,
                                                               const WAVEFORMATEX& format) = 0;
};

class DirectSoundEnum {
 public:
  virtual ~DirectSoundEnum() = default;
  virtual std::int32_t GetCount() = 0;
  // 1-based index into the enumeration.
  virtual std::string GetDescription(std::int32_t index) = 0;
  // Text that DirectSoundCreate accepts to open that device.
  virtual std::string GetGuid(std::int32_t index) = 0;
};

class DirectX7 {
 public:
  virtual ~DirectX7() = default;
  // The enumerator stays valid for the whole run, also after this root object is released.
  virtual std::shared_ptr<DirectSoundEnum> GetDSEnum() = 0;
  virtual std::unique_ptr<DirectSound> DirectSoundCreate(const std::string& guid) = 0;
  // Streams closed while the station was idle open again now, ahead of the tones a transmission
  // is about to write (their first tone then finds a settled stream: the settling runs during
  // the transmission's pause and lead); a stream whose output went away is made anew if the
  // output is back. Window thread; blocks while a stream opens, a few tens of ms each. Backends
  // that never close idle streams do nothing.
  virtual void WakeIdleStreams() {}
};

// Creates root objects; the window program installs the SDL2 backend, tests a recording fake.
class SoundBackend {
 public:
  virtual ~SoundBackend() = default;
  virtual std::unique_ptr<DirectX7> CreateDirectX7() = 0;
};

}  // namespace corvanta
