#include "audio/sdl_sound.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "audio/edge_clock.h"
#include "audio/spsc_ring.h"
#include "core/errors.h"

namespace corvanta {
namespace {

constexpr double kRate = 44100.0;
constexpr Uint16 kCallbackFrames = 256;
// Every edge is placed this long after its call, on top of the server queue's depth. It must
// cover the longest wait for the next callback plus one callback's frames, or an edge arrives
// after its frame has gone out (counted as late, then heard at once). 10 ms let the first tone
// of a new stream come up to 7 ms late on the null sink; 15 ms had no late edge.
constexpr std::int64_t kEdgeLatencyFrames = 44100 * 15 / 1000;
// SDL asks PulseAudio for a server buffer of one callback, which runs dry (a hole in a tone) at
// the first scheduling hiccup: on the null sink 10 ms still gave about one hole in 30 elements,
// 20 ms one in 110, 30 ms none in 440. libpulse takes the target from PULSE_LATENCY_MSEC; the
// operator's own setting wins. Edge placement does not depend on it, only the fixed latency does.
constexpr const char* kServerBufferMs = "30";

}  // namespace

SdlAudioStats& Stats() {
  static SdlAudioStats stats;
  return stats;
}

namespace {

std::string SdlError(const std::string& what) {
  return what + ": " + SDL_GetError();
}

std::vector<std::string> OutputDeviceNames() {
  std::vector<std::string> names;
  const int count = SDL_GetNumAudioDevices(0);
  for (int i = 0; i < count; ++i) {
    const char* name = SDL_GetAudioDeviceName(i, 0);
    names.emplace_back(name != nullptr ? name : "");
  }
  return names;
}

std::int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A looping buffer of fixed length played on its own SDL stream.
//
// Each write goes to the audio thread as a slot of the whole buffer stamped with the time of the
// call. The callback switches to a slot exactly at the output frame that its edge clock assigns to
// that time, so every edge is heard the same fixed latency after its call and the durations heard
// equal the intervals between the calls, however irregularly the server asks for data. Slots
// travel through two single-producer single-consumer rings (pending writes one way, free slots
// back), so the callback never locks, allocates or blocks. The play position belongs to the
// callback and carries on across a switch, as when a looping buffer is rewritten in place.
class SdlBuffer final : public DirectSoundBuffer {
 public:
  SdlBuffer(const std::string& device_name, std::size_t length)
      : clock_(kRate, kEdgeLatencyFrames) {
    for (auto& slot : slots_) slot.assign(length, 128);
    for (std::uint8_t i = 1; i < kSlots; ++i) free_.Push(i);
    SDL_AudioSpec want{};
    want.freq = static_cast<int>(kRate);
    // Signed 16 bits on the wire: some servers pad unsigned 8-bit streams with 0x00, which clicks.
    want.format = AUDIO_S16SYS;
    want.channels = 1;
    want.samples = kCallbackFrames;
    want.callback = &SdlBuffer::Callback;
    want.userdata = this;
    SDL_AudioSpec have{};
    device_ = SDL_OpenAudioDevice(device_name.c_str(), 0, &want, &have, 0);
    if (device_ == 0) throw AudioError(SdlError("Cannot open sound output '" + device_name + "'"));
    // SDL opens devices paused: the buffer is silent until Play.
  }

  // Window thread. Closing waits for a running callback to return, so the slots outlive it.
  ~SdlBuffer() override { SDL_CloseAudioDevice(device_); }

  // Window thread. The write is queued with its time; the callback switches to it at the frame
  // its edge clock assigns to that time. Writes made before the first Play are placed the same
  // way once the stream starts, so the first tone of a stream keeps its length too.
  void WriteBuffer(std::int32_t start, std::int32_t size, std::span<const std::uint8_t> data,
                   std::int32_t flags) override {
    if (flags != DSBLOCK_ENTIREBUFFER || start != 0 || size != 0) {
      throw AudioError("Only whole-buffer writes are supported");
    }
    if (data.size() != slots_[0].size()) {
      throw AudioError("Write of " + std::to_string(data.size()) + " bytes into a buffer of " +
                       std::to_string(slots_[0].size()));
    }
    const std::int64_t at_ns = MonotonicNs();
    std::optional<std::uint8_t> slot = free_.Pop();
    if (!slot) {
      // Every slot is queued: writes far faster than the callback runs, or a stopped stream. Hold
      // the callback off for a moment and replace the contents directly. Only the window thread
      // ever waits here.
      SDL_LockAudioDevice(device_);
      ApplyAllPending();
      std::copy(data.begin(), data.end(), slots_[current_].begin());
      SDL_UnlockAudioDevice(device_);
      return;
    }
    std::copy(data.begin(), data.end(), slots_[*slot].begin());
    pending_.Push({*slot, at_ns});
  }

  // Window thread. SDL_PauseAudioDevice takes SDL's device lock, which SDL holds while the callback
  // runs; once it returns the callback stays out until the next unpause.
  void Play(std::int32_t flags) override {
    if (flags != DSBPLAY_LOOPING) throw AudioError("Only looping playback is supported");
    if (running_) return;
    reset_clock_.store(true, std::memory_order_release);
    SDL_PauseAudioDevice(device_, 0);
    running_ = true;
  }

  void Stop() override {
    SDL_PauseAudioDevice(device_, 1);
    running_ = false;
  }

  // Window thread. The position belongs to the callback; it takes the request at its next run.
  void SetCurrentPosition(std::int32_t position) override {
    if (position < 0 || static_cast<std::size_t>(position) >= slots_[0].size()) {
      throw AudioError("Play position " + std::to_string(position) + " is outside the buffer");
    }
    seek_.store(position, std::memory_order_release);
  }

 private:
  static constexpr std::uint8_t kSlots = 8;
  struct Pending {
    std::uint8_t slot;
    std::int64_t at_ns;
  };

  // Window thread, only while the callback cannot run (under the device lock).
  void ApplyAllPending() {
    while (std::optional<Pending> p = pending_.Pop()) {
      free_.Push(current_);
      current_ = p->slot;
    }
  }

  // Audio thread only.
  static void Callback(void* userdata, Uint8* stream, int len) {
    auto* self = static_cast<SdlBuffer*>(userdata);
    self->Fill(reinterpret_cast<std::int16_t*>(stream), static_cast<std::size_t>(len) / 2);
  }

  void Fill(std::int16_t* out, std::size_t frames) {
    if (reset_clock_.exchange(false, std::memory_order_acq_rel)) clock_.Reset();
    clock_.Observe(MonotonicNs(), produced_);
    const std::int32_t seek = seek_.exchange(-1, std::memory_order_acq_rel);
    if (seek >= 0) pos_ = static_cast<std::size_t>(seek);
    const std::size_t n = slots_[0].size();
    std::size_t i = 0;
    while (i < frames) {
      std::size_t until = frames;
      if (const Pending* p = pending_.Front()) {
        const std::int64_t at = clock_.FrameFor(p->at_ns) - produced_;
        if (at <= static_cast<std::int64_t>(i)) {
          if (at < 0) Stats().late_edges.fetch_add(1, std::memory_order_relaxed);
          free_.Push(current_);
          current_ = p->slot;
          pending_.PopFront();
          continue;
        }
        until = std::min(frames, static_cast<std::size_t>(at));
      }
      const std::vector<std::uint8_t>& src = slots_[current_];
      for (; i < until; ++i) {
        out[i] = static_cast<std::int16_t>((src[pos_] - 128) * 256);
        if (++pos_ == n) pos_ = 0;
      }
    }
    produced_ += static_cast<std::int64_t>(frames);
    Stats().callbacks.fetch_add(1, std::memory_order_relaxed);
  }

  SDL_AudioDeviceID device_ = 0;
  std::array<std::vector<std::uint8_t>, kSlots> slots_;
  SpscRing<Pending, 8> pending_;    // window thread -> audio thread
  SpscRing<std::uint8_t, 8> free_;  // audio thread -> window thread
  bool running_ = false;            // window thread only
  std::atomic<bool> reset_clock_{false};
  std::atomic<std::int32_t> seek_{-1};  // window thread requests, audio thread takes
  // Audio thread only (or the window thread while the callback cannot run):
  std::uint8_t current_ = 0;
  std::size_t pos_ = 0;
  std::int64_t produced_ = 0;
  EdgeClock clock_;
};

class SdlDevice final : public DirectSound {
 public:
  explicit SdlDevice(std::string name) : name_(std::move(name)) {}

  // There is no sharing mode to negotiate: every stream mixes in the sound server.
  void SetCooperativeLevel(std::intptr_t, std::int32_t level) override {
    if (level != DSSCL_NORMAL) throw AudioError("Unsupported cooperative level");
  }

  std::unique_ptr<DirectSoundBuffer> CreateSoundBuffer(const DSBUFFERDESC& desc,
                                                       const WAVEFORMATEX& format) override {
    if (!(format == kToneFormat)) throw AudioError("Only 8-bit mono PCM at 44100/s is supported");
    if (desc.lBufferBytes <= 0) throw AudioError("Invalid buffer length");
    return std::make_unique<SdlBuffer>(name_, static_cast<std::size_t>(desc.lBufferBytes));
  }

 private:
  std::string name_;
};

class SdlEnum final : public DirectSoundEnum {
 public:
  // The list is taken once: devices added or removed later are not seen here.
  SdlEnum() : names_(OutputDeviceNames()) {}
  std::int32_t GetCount() override { return static_cast<std::int32_t>(names_.size()); }
  std::string GetDescription(std::int32_t index) override { return At(index); }
  std::string GetGuid(std::int32_t index) override { return At(index); }

 private:
  const std::string& At(std::int32_t index) const {
    if (index < 1 || static_cast<std::size_t>(index) > names_.size()) {
      throw AudioError("There is no sound output " + std::to_string(index));
    }
    return names_[static_cast<std::size_t>(index - 1)];
  }
  std::vector<std::string> names_;
};

class SdlRoot final : public DirectX7 {
 public:
  std::shared_ptr<DirectSoundEnum> GetDSEnum() override { return std::make_shared<SdlEnum>(); }

  std::unique_ptr<DirectSound> DirectSoundCreate(const std::string& guid) override {
    const std::vector<std::string> names = OutputDeviceNames();
    if (std::find(names.begin(), names.end(), guid) == names.end()) {
      throw AudioError("Sound output '" + guid + "' is not present");
    }
    return std::make_unique<SdlDevice>(guid);
  }
};

}  // namespace

SdlSoundBackend::SdlSoundBackend() {
  setenv("PULSE_LATENCY_MSEC", kServerBufferMs, 0);
  // SDL would otherwise turn SIGINT and SIGTERM into quit events nobody reads, and the program
  // could no longer be stopped by a signal.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Corvanta");
  SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Courtesy tone");
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) throw AudioError(SdlError("No sound system"));
}

SdlSoundBackend::~SdlSoundBackend() {
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

std::unique_ptr<DirectX7> SdlSoundBackend::CreateDirectX7() {
  return std::make_unique<SdlRoot>();
}

}  // namespace corvanta
