#include "audio/sdl/sdl_sound.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/edge_clock.h"
#include "audio/sdl/pulse_server.h"
#include "audio/spsc_ring.h"
#include "core/errors.h"
#include "core/platform.h"

namespace corvanta {
namespace {

constexpr double kRate = kSampleRate;
constexpr Uint16 kCallbackFrames = 256;
// Every edge is placed this long after its call, on top of the server queue's depth. It must
// cover the longest wait for the next callback plus one callback's frames, or an edge arrives
// after its frame has gone out (counted as late, then heard at once). 10 ms let the first tone
// of a new stream come up to 7 ms late on the null sink; 15 ms had no late edge.
constexpr std::int64_t kEdgeLatencyFrames = kSampleRate * 15 / 1000;
// SDL asks PulseAudio for a server buffer of one callback, which runs dry (a hole in a tone) at
// the first scheduling hiccup: on the null sink 10 ms still gave about one hole in 30 elements,
// 20 ms one in 110, 30 ms none in 440. libpulse takes the target from PULSE_LATENCY_MSEC; the
// operator's own setting wins. Edge placement does not depend on it, only the fixed latency does.
constexpr const char* kServerBufferMs = "30";
// A buffer that has looped nothing but silence this long closes its stream, so an idle station
// costs neither this program nor the sound server anything. A link event re-opens the device
// well before the first tone of a transmission and wakes the stream with it; inside a
// transmission the silences between elements are far shorter, except at the slowest speeds.
constexpr std::int64_t kIdleCloseFrames = kSampleRate * 3;
// A new stream first fills the server's queue in a burst, and only then runs at the output's pace;
// until then the edge clock's reference still moves, and an edge placed then would come out
// early or late. The clock counts as settled once the lowest offsets of two consecutive spans of
// this many frames agree (within the jitter); a tone's write waits for that, at most
// kSettleWaitMs after the stream started.
constexpr std::int64_t kSettleFrames = kSampleRate * 60 / 1000;
constexpr double kSettleJitterNs = 200'000;
constexpr int kSettleWaitMs = 300;
// How long a device opening may wait for a sound server that went away to answer again.
constexpr int kServerProbeMs = 300;
// How often the housekeeper looks for idle streams.
constexpr auto kHousekeepingPeriod = std::chrono::milliseconds(250);

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

class SdlBuffer;

// The buffers alive now, for the housekeeper that closes idle streams and for the wake-up that a
// device opening gives them. Lock order: the registry, then a buffer's stream lock.
struct Registry {
  std::mutex mutex;
  std::vector<SdlBuffer*> buffers;
};
Registry& Buffers() {
  static Registry registry;
  return registry;
}

// Set when a stream stopped for good or could not open: the sound server may have gone away,
// and SDL's driver keeps its dead connection (and its last device list) until it starts again.
std::atomic<bool> g_output_failed{false};

// A looping buffer of fixed length played on its own SDL stream.
//
// Each write goes to the audio thread as a slot of the whole buffer stamped with the time of the
// call. The callback switches to a slot exactly at the output frame that its edge clock assigns to
// that time, so every edge is heard the same fixed latency after its call and the durations heard
// equal the intervals between the calls, however irregularly the server asks for data. Slots
// travel through two single-producer single-consumer rings (pending writes one way, free slots
// back), so the callback never locks, allocates or blocks. The play position belongs to the
// callback and carries on across a switch, as when a looping buffer is rewritten in place.
//
// A stream that has looped only silence for kIdleCloseFrames is closed by the housekeeper and
// opened again by the next write, Play, or device opening; the play position moves on by the time
// it was closed, so what is heard is what the looping buffer would have given: silence, then each
// tone at its frame.
class SdlBuffer final : public DirectSoundBuffer {
 public:
  SdlBuffer(std::string device_name, std::size_t length)
      : name_(std::move(device_name)),
        clock_(kRate, kEdgeLatencyFrames, kSettleFrames, kSettleJitterNs) {
    for (auto& slot : slots_) slot.assign(length, kSilence);
    for (auto& silent : slot_silent_) silent.store(true, std::memory_order_relaxed);
    for (std::uint8_t i = 1; i < kSlots; ++i) free_.Push(i);
    Open();  // plays its silence at once, so its timing has settled before the first write
    std::lock_guard registry(Buffers().mutex);
    Buffers().buffers.push_back(this);
  }

  // Window thread. Closing waits for a running callback to return, so the slots outlive it.
  ~SdlBuffer() override {
    {
      std::lock_guard registry(Buffers().mutex);
      auto& list = Buffers().buffers;
      list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    std::lock_guard lock(stream_mutex_);
    if (device_ != 0) SDL_CloseAudioDevice(device_);
  }

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
    // The instant the change belongs to: the nominal end of the wait before it, so the edges
    // land on the transmission's timeline rather than when the call happened to run.
    std::int64_t at_ns = EdgeInstantNs();
    const bool silent =
        std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == kSilence; });
    std::lock_guard lock(stream_mutex_);
    NoticeLoss();
    if (device_ == 0) {
      Reach();
      at_ns = EdgeInstantNs();  // the opening took its time: the change belongs to now
    }
    // A stream started for this very tone has its timing settled first, and the tone belongs to
    // the moment after; one started ahead (by a link event's opening, or by the silence written
    // before a transmission's pause) settles during the pause and the lead instead.
    if (silent) {
      settle_for_tone_ = false;
    } else if (std::exchange(settle_for_tone_, false) && WaitSettled()) {
      at_ns = EdgeInstantNs();
    }
    // Until the callback has taken this write, the housekeeper must not count the stream idle.
    silent_frames_.store(0, std::memory_order_relaxed);
    std::optional<std::uint8_t> slot = free_.Pop();
    if (!slot) {
      // Every slot is queued: writes far faster than the callback runs, or a stopped stream. Hold
      // the callback off for a moment and replace the contents directly. Only the window thread
      // ever waits here.
      SDL_LockAudioDevice(device_);
      ApplyAllPending();
      std::copy(data.begin(), data.end(), slots_[current_].begin());
      slot_silent_[current_].store(silent, std::memory_order_relaxed);
      SDL_UnlockAudioDevice(device_);
      return;
    }
    std::copy(data.begin(), data.end(), slots_[*slot].begin());
    slot_silent_[*slot].store(silent, std::memory_order_relaxed);
    pending_.Push({*slot, at_ns});
  }

  // Window thread. SDL_PauseAudioDevice takes SDL's device lock, which SDL holds while the callback
  // runs; once it returns the callback stays out until the next unpause.
  void Play(std::int32_t flags) override {
    if (flags != DSBPLAY_LOOPING) throw AudioError("Only looping playback is supported");
    std::lock_guard lock(stream_mutex_);
    NoticeLoss();
    running_ = true;
    if (device_ == 0) {
      Reach();
      return;
    }
    if (!paused_) return;
    paused_ = false;
    settled_.store(false, std::memory_order_relaxed);
    reset_clock_.store(true, std::memory_order_release);
    SDL_PauseAudioDevice(device_, 0);
    settle_by_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleWaitMs);
    settle_for_tone_ = true;
  }

  void Stop() override {
    std::lock_guard lock(stream_mutex_);
    if (device_ != 0) SDL_PauseAudioDevice(device_, 1);
    paused_ = true;
    running_ = false;
  }

  // Window thread. The position belongs to the callback; it takes the request at its next run.
  void SetCurrentPosition(std::int32_t position) override {
    if (position < 0 || static_cast<std::size_t>(position) >= slots_[0].size()) {
      throw AudioError("Play position " + std::to_string(position) + " is outside the buffer");
    }
    seek_.store(position, std::memory_order_release);
  }

  // Housekeeper thread: closes the stream once it has looped only silence for a while. A write
  // cannot slip in between the test and the closing: writes take the same lock.
  void CloseIfIdle() {
    std::lock_guard lock(stream_mutex_);
    if (device_ == 0 || paused_) return;
    if (silent_frames_.load(std::memory_order_relaxed) < kIdleCloseFrames) return;
    SDL_CloseAudioDevice(device_);  // returns once the callback is out for good
    device_ = 0;
    closed_at_ns_ = MonotonicNs();
    Stats().idle_closes.fetch_add(1, std::memory_order_relaxed);
  }

  // Window thread: the device was opened again, as every link event does well before a tone.
  // A stream still open starts its idle count again, so it cannot close in the pause before the
  // tone that the opening announces.
  //
  // A stream whose output went away (unplugged, the sound server restarted) stays stopped for
  // good; the opening has just found the device present again, so the stream is made anew.
  void Wake() {
    std::lock_guard lock(stream_mutex_);
    NoticeLoss();
    if (device_ == 0 && (running_ || lost_)) Reach();
    settle_for_tone_ = false;  // opened ahead of the transmission: it settles in the pause
    silent_frames_.store(0, std::memory_order_relaxed);
  }

  // Window thread, before the sound system starts again: the stream is closed (its stream
  // handle would not survive) and opens again at the next write, Play, or device opening.
  void Detach() {
    std::lock_guard lock(stream_mutex_);
    if (device_ == 0) return;
    SDL_CloseAudioDevice(device_);
    device_ = 0;
    closed_at_ns_ = MonotonicNs();
    lost_ = true;
  }

  // Window thread.
  std::int32_t GetStatus() override {
    std::lock_guard lock(stream_mutex_);
    NoticeLoss();
    if (lost_) return DSBSTATUS_BUFFERLOST;
    return running_ ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0;
  }

 private:
  static constexpr std::uint8_t kSlots = 8;
  struct Pending {
    std::uint8_t slot;
    std::int64_t at_ns;
  };

  // Under stream_mutex_ (or in the constructor). The stream starts at once, looping whatever the
  // buffer holds (silence until a tone is written); its timing settles meanwhile (a few tens of
  // milliseconds, at most kSettleWaitMs), which the first tone's write waits for.
  void Open() {
    SDL_AudioSpec want{};
    want.freq = static_cast<int>(kRate);
    // Signed 16 bits on the wire: some servers pad unsigned 8-bit streams with 0x00, which clicks.
    want.format = AUDIO_S16SYS;
    want.channels = 1;
    want.samples = kCallbackFrames;
    want.callback = &SdlBuffer::Callback;
    want.userdata = this;
    SDL_AudioSpec have{};
    settled_.store(false, std::memory_order_relaxed);
    device_ = SDL_OpenAudioDevice(name_.c_str(), 0, &want, &have, 0);
    if (device_ == 0) {
      g_output_failed.store(true);
      throw AudioError(SdlError("Cannot open sound output '" + name_ + "'"));
    }
    paused_ = false;
    SDL_PauseAudioDevice(device_, 0);
    settle_by_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleWaitMs);
    settle_for_tone_ = true;
  }

  // Under stream_mutex_. An output that went away (unplugged, the sound server stopped) leaves
  // its stream stopped for good: it is closed, and the buffer counts as lost until it reaches
  // its output again.
  void NoticeLoss() {
    if (device_ == 0 || SDL_GetAudioDeviceStatus(device_) != SDL_AUDIO_STOPPED) return;
    SDL_CloseAudioDevice(device_);
    device_ = 0;
    closed_at_ns_ = MonotonicNs();
    lost_ = true;
    g_output_failed.store(true);
  }

  // Under stream_mutex_, with the stream closed: opens it again, or says the output is lost.
  void Reach() {
    try {
      Reopen();
    } catch (const AudioError&) {
      if (lost_) throw AudioError("Sound output lost: " + name_);
      throw;
    }
    lost_ = false;
  }

  // Window thread, under stream_mutex_: waits until the stream's timing has settled, at most
  // kSettleWaitMs after it started. The opening itself does not wait, so a link event's opening
  // leaves the pause before the keying and the lead before the first tone for the settling.
  // Returns whether it waited.
  bool WaitSettled() {
    bool waited = false;
    while (!settled_.load(std::memory_order_acquire) &&
           std::chrono::steady_clock::now() < settle_by_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      waited = true;
    }
    return waited;
  }

  // Under stream_mutex_, with the stream closed, so the callback's own state is ours to set.
  void Reopen() {
    const std::size_t n = slots_[0].size();
    const auto closed_frames =
        static_cast<std::size_t>(static_cast<double>(MonotonicNs() - closed_at_ns_) * kRate / 1e9);
    pos_ = (pos_ + closed_frames) % n;
    silent_frames_.store(0, std::memory_order_relaxed);
    reset_clock_.store(true, std::memory_order_release);
    Stats().reopens.fetch_add(1, std::memory_order_relaxed);
    Open();
  }

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
    if (clock_.Settled()) settled_.store(true, std::memory_order_release);
    const std::int32_t seek = seek_.exchange(-1, std::memory_order_acq_rel);
    if (seek >= 0) pos_ = static_cast<std::size_t>(seek);
    const std::size_t n = slots_[0].size();
    std::size_t i = 0;
    while (i < frames) {
      std::size_t until = frames;
      if (const Pending* p = pending_.Front()) {
        const std::int64_t at = clock_.FrameFor(p->at_ns) - produced_;
        if (at <= static_cast<std::int64_t>(i)) {
          // Silence over silence moves no edge, however late (a new stream's first write).
          const bool moves = !(slot_silent_[p->slot].load(std::memory_order_relaxed) &&
                               slot_silent_[current_].load(std::memory_order_relaxed));
          if (at < 0 && moves) Stats().late_edges.fetch_add(1, std::memory_order_relaxed);
          free_.Push(current_);
          current_ = p->slot;
          pending_.PopFront();
          continue;
        }
        until = std::min(frames, static_cast<std::size_t>(at));
      }
      const std::vector<std::uint8_t>& src = slots_[current_];
      for (; i < until; ++i) {
        out[i] = static_cast<std::int16_t>((src[pos_] - kSilence) * 256);
        if (++pos_ == n) pos_ = 0;
      }
    }
    produced_ += static_cast<std::int64_t>(frames);
    // Idle: only silence went out and nothing waits to be played.
    if (pending_.Front() == nullptr && slot_silent_[current_].load(std::memory_order_relaxed)) {
      silent_frames_.fetch_add(static_cast<std::int64_t>(frames), std::memory_order_relaxed);
    } else {
      silent_frames_.store(0, std::memory_order_relaxed);
    }
    Stats().callbacks.fetch_add(1, std::memory_order_relaxed);
  }

  const std::string name_;
  std::array<std::vector<std::uint8_t>, kSlots> slots_;
  std::array<std::atomic<bool>, kSlots> slot_silent_;
  SpscRing<Pending, 8> pending_;    // window thread -> audio thread
  SpscRing<std::uint8_t, 8> free_;  // audio thread -> window thread
  std::atomic<bool> reset_clock_{false};
  std::atomic<std::int32_t> seek_{-1};                 // window thread requests, audio thread takes
  std::atomic<std::int64_t> silent_frames_{0};         // audio thread counts, housekeeper reads
  std::atomic<bool> settled_{false};                   // audio thread sets, window thread waits
  std::chrono::steady_clock::time_point settle_by_{};  // the latest a tone waits for it
  bool settle_for_tone_ = false;  // started for the write at hand, with no pause ahead of its tone
  // The stream's state, shared by the window thread and the housekeeper; never the callback.
  std::mutex stream_mutex_;
  SDL_AudioDeviceID device_ = 0;  // 0 while closed for idleness
  bool running_ = false;          // Play was called (and Stop not since)
  bool paused_ = false;           // stopped: the stream is held, not closed
  bool lost_ = false;             // its output went away and has not been reached since
  std::int64_t closed_at_ns_ = 0;
  // Audio thread only (or another thread while the callback cannot run):
  std::uint8_t current_ = 0;
  std::size_t pos_ = 0;
  std::int64_t produced_ = 0;
  EdgeClock clock_;
};

// Every buffer's stream wakes (window thread). A stream that cannot open now is left closed: the
// next write tries again and reports. Returns whether every stream is open.
bool WakeAll() {
  std::lock_guard registry(Buffers().mutex);
  bool all = true;
  for (SdlBuffer* b : Buffers().buffers) {
    try {
      b->Wake();
    } catch (const AudioError&) {
      all = false;
    }
  }
  return all;
}

// Window thread, at every enumeration and device opening. After a failure, SDL's driver may hold
// a connection to a sound server that has gone (killed, restarted, or its session ended): it
// lists the devices it last saw and opens none. Once the server answers again with an output,
// the sound system is started anew; every stream is closed first and reopens on its next use.
// While the server is still away this costs one refused connection.
bool RestartAfterFailure() {
  if (!g_output_failed.load()) return false;
  const char* driver = SDL_GetCurrentAudioDriver();
  // SDL's PulseAudio driver cannot start against a server without a default output.
  if (driver != nullptr && std::strcmp(driver, "pulseaudio") == 0 &&
      !PulseServerHasOutput(kServerProbeMs)) {
    return false;
  }
  std::lock_guard registry(Buffers().mutex);
  for (SdlBuffer* b : Buffers().buffers) b->Detach();
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return false;  // try again at the next opening
  g_output_failed.store(false);
  Stats().restarts.fetch_add(1, std::memory_order_relaxed);
  return true;
}

class SdlDevice final : public DirectSound {
 public:
  explicit SdlDevice(std::string name) : name_(std::move(name)) {}

  // There is no sharing mode to negotiate: every stream mixes in the sound server.
  void SetCooperativeLevel(std::intptr_t, std::int32_t level) override {
    if (level != DSSCL_NORMAL) throw AudioError("Unsupported cooperative level");
  }

  std::unique_ptr<DirectSoundBuffer> CreateSoundBuffer(const DSBUFFERDESC& desc,
                                                       const WAVEFORMATEX& format) override {
    if (!(format == kToneFormat))
      throw AudioError("Only 8-bit mono PCM at " + std::to_string(kSampleRate) + "/s is supported");
    if (desc.lBufferBytes <= 0) throw AudioError("Invalid buffer length");
    const auto length = static_cast<std::size_t>(desc.lBufferBytes);
    try {
      return std::make_unique<SdlBuffer>(name_, length);
    } catch (const AudioError&) {
      // The server may have gone while nothing played (so nothing noticed): once it is back, the
      // sound system starts anew and the stream opens at the first try the operator sees.
      if (!RestartAfterFailure()) throw;
      return std::make_unique<SdlBuffer>(name_, length);
    }
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
  std::shared_ptr<DirectSoundEnum> GetDSEnum() override {
    RestartAfterFailure();
    return std::make_shared<SdlEnum>();
  }

  std::unique_ptr<DirectSound> DirectSoundCreate(const std::string& guid) override {
    RestartAfterFailure();
    const std::vector<std::string> names = OutputDeviceNames();
    if (std::find(names.begin(), names.end(), guid) == names.end()) {
      throw AudioError("Sound output '" + guid + "' is not present");
    }
    return std::make_unique<SdlDevice>(guid);
  }

  void WakeIdleStreams() override {
    // A stream closed while idle cannot see its server go; its reopening is the first to fail.
    if (!WakeAll() && RestartAfterFailure()) WakeAll();
  }
};

}  // namespace

// Closes idle streams, from a thread of its own that wakes four times a second.
class Housekeeper {
 public:
  Housekeeper() : thread_([this] { Run(); }) {}
  ~Housekeeper() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  Housekeeper(const Housekeeper&) = delete;
  Housekeeper& operator=(const Housekeeper&) = delete;

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kHousekeepingPeriod, [this] { return stop_; })) {
      std::lock_guard registry(Buffers().mutex);
      for (SdlBuffer* b : Buffers().buffers) b->CloseIfIdle();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

SdlSoundBackend::SdlSoundBackend() {
  if (std::getenv("PULSE_LATENCY_MSEC") == nullptr) {
    setenv("PULSE_LATENCY_MSEC", kServerBufferMs, 1);
    set_server_buffer_ = true;
  }
  // SDL would otherwise turn SIGINT and SIGTERM into quit events nobody reads, and the program
  // could no longer be stopped by a signal.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Corvanta");
  SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Courtesy tone");
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) throw AudioError(SdlError("No sound system"));
  housekeeper_ = std::make_unique<Housekeeper>();
}

SdlSoundBackend::~SdlSoundBackend() {
  housekeeper_.reset();
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  if (set_server_buffer_) unsetenv("PULSE_LATENCY_MSEC");
}

std::unique_ptr<DirectX7> SdlSoundBackend::CreateDirectX7() {
  return std::make_unique<SdlRoot>();
}

}  // namespace corvanta
