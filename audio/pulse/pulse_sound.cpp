#include "audio/pulse/pulse_sound.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/edge_clock.h"
#include "audio/pulse/pulse_session.h"
#include "core/errors.h"
#include "core/platform.h"

namespace corvanta {

class PulseBuffer;

namespace {

constexpr double kRate = kSampleRate;
constexpr std::int64_t kFrameBytes = 2;  // signed 16 bits, mono
std::uint32_t Bytes(int ms) {
  return static_cast<std::uint32_t>(kSampleRate * ms / 1000 * kFrameBytes);
}
// The whole path the stream asks for (server queue and sink). The servers grant about half of it
// as the stream's queue (80 ms here); at each request PulseAudio holds some 75 ms of ours and
// PipeWire some 55 ms, so a mainloop thread held up for tens of ms leaves no hole (with 60, a
// 40 ms stall made one on PulseAudio). The path stays well inside the 150 ms pause before the
// first tone, so it costs the timeline nothing.
constexpr int kQueueMs = 150;
// The server is asked to request data once this much has room (it may ask more at a time).
constexpr int kRequestMs = 5;
// On top of the measured path and the longest request: the mainloop thread's wake-up on a
// loaded machine.
constexpr std::int64_t kMarginNs = 5'000'000;
// How long opening the connection or a stream may take.
constexpr int kOpenLimitMs = 1000;
// A stream that has looped only silence this long is closed (see the SDL backend: an idle
// station costs the server nothing); it opens again well before the next tone.
constexpr std::int64_t kIdleCloseFrames = kSampleRate * 3;
constexpr int kHousekeepingMs = 250;
// As in the SDL backend: the reference settles once two spans of this many frames agree.
constexpr std::int64_t kSettleFrames = kSampleRate * 60 / 1000;
constexpr double kSettleJitterNs = 200'000;
constexpr int kSettleWaitMs = 300;
constexpr std::size_t kMaxPending = 8;
constexpr std::int64_t kRereferenceFrames = kSampleRate;
// How fast the reference may follow the sound card's clock against the system's. Cards keep
// within 100 ppm; PulseAudio's null sink ran about 300 ppm fast here. Faster than a card can run
// slow, PipeWire's reports crept up (0.4 ms a second), and following them put the first tone of
// each courtesy 0.7 ms earlier than the last, up to 10 ms.
constexpr double kMaxSlowDrift = 100e-6;
constexpr double kMaxFastDrift = 500e-6;

// Two reports of the path this close count as steady.
constexpr std::int64_t kSteadyReportNs = 2'000'000;

// How long `bytes` of the stream play.
std::int64_t DurationNs(std::size_t bytes) {
  return static_cast<std::int64_t>(static_cast<double>(bytes) / kFrameBytes * 1e9 / kRate);
}

std::int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The sink a description names now, or "" (under the lock).
std::string SinkNamed(PulseSession& session, const std::string& description) {
  for (const PulseSink& sink : session.Sinks(kOpenLimitMs)) {
    if (sink.description == description) return sink.name;
  }
  return "";
}

}  // namespace

// A looping buffer of fixed length played on its own stream. Everything here is under the
// mainloop's lock: the window thread's calls take it, and the server's requests run with it.
//
// Each write is queued with its instant; a request from the server switches to it exactly at the
// frame heard delay_ns_ after that instant, so every edge is heard the same fixed delay after its
// place on the timeline. The play position carries on across a switch, as when a looping buffer
// is rewritten in place.
class PulseBuffer final : public DirectSoundBuffer {
 public:
  PulseBuffer(std::shared_ptr<PulseSession> session, std::string description, std::size_t length)
      : session_(std::move(session)),
        description_(std::move(description)),
        current_(length, kSilence),
        clock_(kRate, 0, kSettleFrames, kSettleJitterNs) {
    LoopLock lock(*session_);
    Open();  // plays its silence at once, so its timing has settled before the first write
    session_->buffers.push_back(this);
  }

  ~PulseBuffer() override {
    LoopLock lock(*session_);
    auto& list = session_->buffers;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    Close();
  }

  void WriteBuffer(std::int32_t start, std::int32_t size, std::span<const std::uint8_t> data,
                   std::int32_t flags) override {
    if (flags != DSBLOCK_ENTIREBUFFER || start != 0 || size != 0) {
      throw AudioError("Only whole-buffer writes are supported");
    }
    if (data.size() != current_.size()) {
      throw AudioError("Write of " + std::to_string(data.size()) + " bytes into a buffer of " +
                       std::to_string(current_.size()));
    }
    std::int64_t at_ns = EdgeInstantNs();
    const bool silent =
        std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == kSilence; });
    LoopLock lock(*session_);
    NoticeLoss();
    if (stream_ == nullptr) {
      Reach();
      at_ns = EdgeInstantNs();  // the opening took its time: the change belongs to now
    }
    // The first tone of a new stream waits for its timing to settle, so that both its edges are
    // placed on one reference, unless the delay has been told: then its place is known, and
    // waiting would only make it late (on PipeWire a stream opened at a link event starts
    // flowing about when the key goes down, and settles some 140 ms after).
    if (silent || delay_told_) {
      settle_for_tone_ = false;
    } else if (std::exchange(settle_for_tone_, false) && WaitSettled()) {
      at_ns = EdgeInstantNs();
    }
    silent_frames_ = 0;
    // Writes far faster than the server asks (or a corked stream): the oldest take effect at
    // once rather than piling up.
    while (pending_.size() >= kMaxPending) {
      current_ = std::move(pending_.front().data);
      current_silent_ = pending_.front().silent;
      pending_.pop_front();
    }
    pending_.push_back({std::vector<std::uint8_t>(data.begin(), data.end()), silent, at_ns});
  }

  void Play(std::int32_t flags) override {
    if (flags != DSBPLAY_LOOPING) throw AudioError("Only looping playback is supported");
    LoopLock lock(*session_);
    NoticeLoss();
    running_ = true;
    if (stream_ == nullptr) return Reach();
    if (!paused_) return;
    paused_ = false;
    Restart();
  }

  void Stop() override {
    LoopLock lock(*session_);
    if (stream_ != nullptr && !paused_) Cork(1);
    paused_ = true;
    running_ = false;
  }

  void SetCurrentPosition(std::int32_t position) override {
    if (position < 0 || static_cast<std::size_t>(position) >= current_.size()) {
      throw AudioError("Play position " + std::to_string(position) + " is outside the buffer");
    }
    LoopLock lock(*session_);
    pos_ = static_cast<std::size_t>(position);
  }

  std::int32_t GetStatus() override {
    LoopLock lock(*session_);
    NoticeLoss();
    if (lost_) return DSBSTATUS_BUFFERLOST;
    return running_ ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0;
  }

  std::int64_t OutputDelayNs() override {
    LoopLock lock(*session_);
    NoticeLoss();
    if (stream_ == nullptr) return 0;  // the next write opens it, and the path is not known yet
    // The first steady request tells the path; settling takes longer than a courtesy's pause.
    WaitUntil([this] { return delay_known_; });
    // Edges are placed with the delay told here from now on, whatever the settling learns later.
    delay_told_ = true;
    // A transmission starts here with nothing of the last one left to place: its edges are
    // placed from a reference that has followed the card's drift until now. On a busy net a
    // second of silence between two courtesies is rare, and on PulseAudio's null sink the
    // courtesies drifted 0.5 ms each (some 300 ppm) until the stream next closed.
    if (clock_.HasReference() && pending_.empty() && current_silent_) {
      clock_.FollowReference(MonotonicNs(), kMaxSlowDrift, kMaxFastDrift);
    }
    return delay_ns_;
  }

  // Under the lock, on the mainloop's thread.
  void CloseIfIdle() {
    if (stream_ == nullptr || paused_ || silent_frames_ < kIdleCloseFrames) return;
    Close();
    PulseStats().idle_closes.fetch_add(1, std::memory_order_relaxed);
  }

  // Window thread, under the lock: the device was opened again, as every link event does well
  // before a tone. A stream whose output went away is made anew now that the device is present.
  void Wake() {
    NoticeLoss();
    if (stream_ == nullptr && (running_ || lost_)) Reach();
    settle_for_tone_ = false;
    silent_frames_ = 0;
  }

 private:
  struct Pending {
    std::vector<std::uint8_t> data;
    bool silent;
    std::int64_t at_ns;
  };

  void Open() {
    std::string error;
    if (!session_->Reach(kOpenLimitMs, error)) throw AudioError("No sound server: " + error);
    const std::string sink = SinkNamed(*session_, description_);
    if (sink.empty()) throw AudioError("Sound output '" + description_ + "' is not present");
    const pa_sample_spec wire_format{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(kSampleRate), 1};
    stream_ = pa_stream_new(session_->context(), "Courtesy tone", &wire_format, nullptr);
    if (stream_ == nullptr) {
      throw AudioError("Cannot open sound output '" + description_ +
                       "': " + pa_strerror(pa_context_errno(session_->context())));
    }
    generation_ = session_->generation();
    pa_stream_set_state_callback(stream_, &OnState, this);
    pa_stream_set_write_callback(stream_, &OnRequest, this);
    pa_stream_set_underflow_callback(stream_, &OnUnderflow, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = Bytes(kQueueMs);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = Bytes(kRequestMs);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                       PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
    ForgetTiming();
    if (pa_stream_connect_playback(stream_, sink.c_str(), &attr, flags, nullptr, nullptr) < 0 ||
        !session_->WaitFor([this] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; },
                           kOpenLimitMs) ||
        pa_stream_get_state(stream_) != PA_STREAM_READY) {
      const std::string why = pa_strerror(pa_context_errno(session_->context()));
      Close();
      throw AudioError("Cannot open sound output '" + description_ + "': " + why);
    }
    paused_ = false;
    settle_by_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleWaitMs);
    settle_for_tone_ = true;
  }

  void Close() {
    if (stream_ == nullptr) return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
    closed_at_ns_ = MonotonicNs();
  }

  // A stream whose output went away (unplugged, the server stopped) failed for good: it is
  // closed, and the buffer counts as lost until it reaches its output again.
  void NoticeLoss() {
    if (stream_ == nullptr) return;
    if (session_->generation() == generation_ && PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
      return;
    }
    Close();
    lost_ = true;
  }

  // With the stream closed: opens it again, where it would be had it looped all along.
  void Reach() {
    const auto closed_frames =
        static_cast<std::size_t>(static_cast<double>(MonotonicNs() - closed_at_ns_) * kRate / 1e9);
    pos_ = (pos_ + closed_frames) % current_.size();
    silent_frames_ = 0;
    try {
      Open();
    } catch (const AudioError&) {
      if (lost_) throw AudioError("Sound output lost: " + description_);
      throw;
    }
    PulseStats().reopens.fetch_add(1, std::memory_order_relaxed);
    lost_ = false;
  }

  void Cork(int cork) {
    pa_operation* op = pa_stream_cork(stream_, cork, nullptr, nullptr);
    if (op != nullptr) pa_operation_unref(op);
  }

  // A stream opened or started again: what was learned of its path no longer holds.
  void ForgetTiming() {
    clock_.Reset();
    settled_ = false;
    delay_told_ = false;
    max_latency_ns_ = 0;
    max_request_ns_ = 0;
    fills_ = 0;
    delay_known_ = false;
  }

  // A corked stream started again: its timing starts again too.
  void Restart() {
    Cork(0);
    ForgetTiming();
    settle_by_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleWaitMs);
    settle_for_tone_ = true;
  }

  // Waits (the lock released meanwhile) until the stream's timing has settled, at most
  // kSettleWaitMs after it started. Returns whether it waited.
  bool WaitSettled() {
    return WaitUntil([this] { return settled_; });
  }
  // The same for any condition the requests bring about; a stream lost meanwhile ends the wait.
  bool WaitUntil(const std::function<bool()>& done) {
    if (done()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        settle_by_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    session_->WaitFor([this, &done] { return done() || stream_ == nullptr; },
                      static_cast<int>(left.count()));
    return true;
  }

  static void OnState(pa_stream*, void* self) {
    static_cast<PulseBuffer*>(self)->session_->Signal();
  }
  static void OnUnderflow(pa_stream*, void*) {
    PulseStats().underruns.fetch_add(1, std::memory_order_relaxed);
  }
  static void OnRequest(pa_stream*, std::size_t bytes, void* self) {
    static_cast<PulseBuffer*>(self)->Fill(bytes);
  }

  // The mainloop's thread: the server has room for `bytes`.
  void Fill(std::size_t bytes) {
    PulseStats().requests.fetch_add(1, std::memory_order_relaxed);
    const std::int64_t now_ns = MonotonicNs();
    // How long since the last request: the longest an edge can wait for one. The first ones fill
    // the whole queue at once.
    const std::int64_t since_ns = now_ns - last_fill_ns_;
    last_fill_ns_ = now_ns;
    ++fills_;
    pa_usec_t latency_us = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream_, &latency_us, &negative) == 0) {
      // The next frame written is heard after the whole path.
      std::int64_t latency_ns =
          (negative != 0 ? -1 : 1) * static_cast<std::int64_t>(latency_us) * 1000;
      // PipeWire's pulse server (0.3.65) leaves out of its report the graph cycle that takes the
      // data from the stream's queue: each request is one cycle's worth. On its null sink the
      // tones were heard 23 ms (one cycle) after the report said, in every courtesy.
      if (session_->pipewire()) latency_ns += DurationNs(bytes);
      clock_.Observe(now_ns + latency_ns, produced_);
      const std::int64_t previous_latency_ns = std::exchange(last_latency_ns_, latency_ns);
      // The first two requests fill the whole queue: the path they report (PipeWire: the queue
      // and a cycle more, 103 ms against 81 after) and the time between them are not the
      // stream's own. The delay is known once two later reports agree; it grows with what the
      // settling sees until it has been told.
      if (!settled_ && fills_ > 2) {
        max_latency_ns_ = std::max(max_latency_ns_, latency_ns);
        // PipeWire asks a whole graph quantum at a time, whatever the stream asked for; a
        // request that came early is followed by one that waits the whole of what it asked.
        max_request_ns_ = std::max({max_request_ns_, since_ns, DurationNs(bytes)});
        if (!delay_told_) delay_ns_ = max_latency_ns_ + max_request_ns_ + kMarginNs;
        if (!delay_known_ && fills_ > 3 &&
            std::abs(latency_ns - previous_latency_ns) <= kSteadyReportNs) {
          delay_known_ = true;
          session_->Signal();
        }
        if (clock_.Settled()) {
          PulseStats().delay_ns.store(delay_ns_, std::memory_order_relaxed);
          settled_ = true;
          session_->Signal();
        }
      }
      // The server's report of the path moves by milliseconds now and then (PipeWire changes its
      // quantum); edges placed from one reference keep their distances. It follows the clocks'
      // drift whenever the stream has played only silence for a while, but no faster than a
      // sound card drifts (see kMaxSlowDrift).
      if (settled_ && (!clock_.HasReference() || (pending_.empty() && current_silent_ &&
                                                  silent_frames_ >= kRereferenceFrames))) {
        clock_.FollowReference(now_ns, kMaxSlowDrift, kMaxFastDrift);
      }
    }
    void* space = nullptr;
    if (pa_stream_begin_write(stream_, &space, &bytes) < 0 || space == nullptr) return;
    const std::size_t frames = bytes / kFrameBytes;
    auto* out = static_cast<std::int16_t*>(space);
    std::size_t i = 0;
    while (i < frames) {
      std::size_t until = frames;
      if (!pending_.empty()) {
        const Pending& p = pending_.front();
        const std::int64_t at =
            clock_.HasReference()
                ? clock_.FrameFor(p.at_ns + delay_ns_, clock_.ReferenceNs()) - produced_
            : clock_.Ready() ? clock_.FrameFor(p.at_ns + delay_ns_) - produced_
                             : 0;
        if (at <= static_cast<std::int64_t>(i)) {
          // Silence over silence moves no edge, however late (a new stream's first write).
          if (at < 0 && clock_.Ready() && !(p.silent && current_silent_)) {
            PulseStats().late_edges.fetch_add(1, std::memory_order_relaxed);
          }
          current_ = std::move(pending_.front().data);
          current_silent_ = p.silent;
          pending_.pop_front();
          continue;
        }
        until = std::min(frames, static_cast<std::size_t>(at));
      }
      for (; i < until; ++i) {
        out[i] = static_cast<std::int16_t>((current_[pos_] - kSilence) * 256);
        if (++pos_ == current_.size()) pos_ = 0;
      }
    }
    pa_stream_write(stream_, space, frames * kFrameBytes, nullptr, 0, PA_SEEK_RELATIVE);
    produced_ += static_cast<std::int64_t>(frames);
    silent_frames_ = pending_.empty() && current_silent_
                         ? silent_frames_ + static_cast<std::int64_t>(frames)
                         : 0;
  }

  const std::shared_ptr<PulseSession> session_;
  const std::string description_;
  pa_stream* stream_ = nullptr;   // null while closed for idleness or lost
  std::uint64_t generation_ = 0;  // the connection the stream was made on
  std::vector<std::uint8_t> current_;
  bool current_silent_ = true;
  std::deque<Pending> pending_;
  std::size_t pos_ = 0;
  std::int64_t produced_ = 0;
  std::int64_t silent_frames_ = 0;
  EdgeClock clock_;
  bool settled_ = false;
  std::int64_t max_latency_ns_ = 0;
  std::int64_t max_request_ns_ = 0;  // the longest time between two requests
  std::int64_t last_fill_ns_ = 0;
  int fills_ = 0;
  std::int64_t last_latency_ns_ = 0;
  bool delay_known_ = false;  // a steady request has measured the path
  bool delay_told_ = false;   // OutputDelayNs gave delay_ns_ out: it stays as told
  std::int64_t delay_ns_ = (kQueueMs + kRequestMs) * 1'000'000LL + kMarginNs;
  std::chrono::steady_clock::time_point settle_by_{};
  bool settle_for_tone_ = false;
  bool running_ = false;
  bool paused_ = false;
  bool lost_ = false;
  std::int64_t closed_at_ns_ = 0;
};

namespace {

class PulseDevice final : public DirectSound {
 public:
  PulseDevice(std::shared_ptr<PulseSession> session, std::string description)
      : session_(std::move(session)), description_(std::move(description)) {}

  void SetCooperativeLevel(std::intptr_t, std::int32_t level) override {
    if (level != DSSCL_NORMAL) throw AudioError("Unsupported cooperative level");
  }

  std::unique_ptr<DirectSoundBuffer> CreateSoundBuffer(const DSBUFFERDESC& desc,
                                                       const WAVEFORMATEX& format) override {
    if (!(format == kToneFormat))
      throw AudioError("Only 8-bit mono PCM at " + std::to_string(kSampleRate) + "/s is supported");
    if (desc.lBufferBytes <= 0) throw AudioError("Invalid buffer length");
    return std::make_unique<PulseBuffer>(session_, description_,
                                         static_cast<std::size_t>(desc.lBufferBytes));
  }

 private:
  std::shared_ptr<PulseSession> session_;
  std::string description_;
};

class PulseEnum final : public DirectSoundEnum {
 public:
  explicit PulseEnum(std::vector<std::string> names) : names_(std::move(names)) {}
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

// The server's sinks by description (under the lock); none while it does not answer.
std::vector<std::string> Descriptions(PulseSession& session) {
  std::string error;
  if (!session.Reach(kOpenLimitMs, error)) return {};
  std::vector<std::string> names;
  for (const PulseSink& sink : session.Sinks(kOpenLimitMs)) names.push_back(sink.description);
  return names;
}

class PulseRoot final : public DirectX7 {
 public:
  explicit PulseRoot(std::shared_ptr<PulseSession> session) : session_(std::move(session)) {}

  std::shared_ptr<DirectSoundEnum> GetDSEnum() override {
    LoopLock lock(*session_);
    return std::make_shared<PulseEnum>(Descriptions(*session_));
  }

  std::unique_ptr<DirectSound> DirectSoundCreate(const std::string& guid) override {
    LoopLock lock(*session_);
    const std::vector<std::string> names = Descriptions(*session_);
    if (std::find(names.begin(), names.end(), guid) == names.end()) {
      throw AudioError("Sound output '" + guid + "' is not present");
    }
    return std::make_unique<PulseDevice>(session_, guid);
  }

  // A stream that cannot open now is left closed: the next write tries again and reports.
  void WakeIdleStreams() override {
    LoopLock lock(*session_);
    for (PulseBuffer* b : session_->buffers) {
      try {
        b->Wake();
      } catch (const AudioError&) {
      }
    }
  }

 private:
  std::shared_ptr<PulseSession> session_;
};

}  // namespace

PulseAudioStats& PulseStats() {
  static PulseAudioStats stats;
  return stats;
}

PulseSoundBackend::PulseSoundBackend() : session_(std::make_shared<PulseSession>()) {
  LoopLock lock(*session_);
  std::string error;
  if (!session_->Reach(kOpenLimitMs, error)) throw AudioError("No sound server: " + error);
  if (session_->Sinks(kOpenLimitMs).empty()) throw AudioError("No sound output on the server");
  session_->Every(kHousekeepingMs, [session = session_.get()] {
    for (PulseBuffer* b : session->buffers) b->CloseIfIdle();
  });
}

PulseSoundBackend::~PulseSoundBackend() = default;

void PulseSoundBackend::HoldLoopForTest(std::chrono::milliseconds hold) {
  LoopLock lock(*session_);
  std::this_thread::sleep_for(hold);
}

std::unique_ptr<DirectX7> PulseSoundBackend::CreateDirectX7() {
  return std::make_unique<PulseRoot>(session_);
}

}  // namespace corvanta
