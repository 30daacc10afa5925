#include "audio/directsound/stream.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "audio/edge_clock.h"
#include "core/errors.h"
#include "core/platform.h"

namespace corvanta::ds {
namespace {

// A mixer that has not moved for this long has lost its output: under wine it stops without a
// word when the output goes away, and the output stays listed. (A loaded machine stalls it for
// tens of milliseconds, not this long.)
constexpr std::int64_t kStallNs = 500'000'000;
// A mixer that has not yet moved since its stream started gets longer: the first stream of a
// process, on a device just made, took more than kStallNs to start under wine on a busy machine,
// and taking that for a lost output made a new device for every element, each starting late again.
constexpr std::int64_t kStartGraceNs = 2'000'000'000;
// How long the mixer of an output opened again may take to move before the output counts as
// still away: under wine a mixer that has stopped takes about 100 ms to start, then steps every
// 10 ms.
constexpr int kReachMs = 300;

// The stream: one looping DirectSound buffer of two seconds, kept written ahead of its write
// cursor. A feeder held up longer than the ring hears again what it last rendered (the end of a
// tone, as long as the edge latency, when it was held just after the tone's last write): the ring
// is long enough that only a machine stopped for seconds does that.
constexpr std::int64_t kStreamFrames = 2 * kSampleRate;
// How far ahead of the write cursor the stream holds what is due: a feeder held up for less than
// this (a loaded machine) costs nothing audible; one held longer leaves silence (SilenceBehind).
constexpr std::int64_t kAheadFrames = kSampleRate / 5;
// Cursors read further apart than this are not trusted to tell how far the mixer went: half the
// ring, far from the lap the count could not see (the mixer takes frames in bursts, and a held
// thread's own clock readings come late), and the stream starts afresh instead (Restart).
constexpr std::int64_t kTrustCursorsNs = kStreamFrames / 2 * 1'000'000'000 / kSampleRate;
// A hold the tests put on the next feeder round (HoldFeeders).
std::atomic<std::int32_t> g_feeder_hold_ms{0};
// How often the feeder reads the cursors and writes on.
constexpr auto kFeedPeriod = std::chrono::milliseconds(5);
// Every edge is placed this long after its instant on the mixer's timeline. It must cover the
// distance from the play cursor to the write cursor (one mixer period under wine, 10 ms), the
// time the mixer's cursor stands between its steps, and how late the call runs after its
// instant.
constexpr std::int64_t kEdgeLatencyFrames = kSampleRate * 30 / 1000;
// A new stream's mixer first fills the output's queue in a burst; edges are placed from its
// steady pace once the lowest offsets of two consecutive spans of this many frames agree.
constexpr std::int64_t kSettleFrames = kSampleRate * 50 / 1000;
constexpr double kSettleJitterNs = 1'500'000;
constexpr int kSettleWaitMs = 300;
// The mixer takes frames in bursts of varying size, so the edge clock's reference moves by a
// millisecond or two whenever a deeper burst enters its window or leaves it. Edges closer than
// this to the one before keep that one's reference: within a transmission every distance on the
// timeline is heard exactly, and the reference follows the mixer between transmissions.
constexpr std::int64_t kHoldReferenceNs = 1'500'000'000;
// A stream that has held nothing but silence this long stops, and at the window's next look its
// output is let go, so an idle station costs neither this program nor the system's mixer
// anything; a link event opens it again well before the first tone of a transmission.
constexpr std::int64_t kIdleStopNs = 3'000'000'000;

class DsBuffer;
// The buffers alive now, for the wake-up a device opening gives them (window thread only).
std::vector<DsBuffer*>& LiveBuffers() {
  static std::vector<DsBuffer*> live;
  return live;
}

// The program's looping tone buffer, heard through one streaming DirectSound buffer.
//
// DirectSound mixes in periods (10 ms under wine; Windows' own mixer too works in periods), so a
// looping buffer rewritten in place changes wherever the mixer next reads, and every edge lands
// on that grid. Here the looping buffer is a model: its contents, its play position, and the
// writes queued with the frame of the stream at which each takes effect. The stream's frames are
// rendered from it ahead of the write cursor. Each write is placed at the frame that the edge
// clock assigns to its instant on the transmission's timeline, so every edge is heard the same
// fixed latency after its instant and every element and gap as long as the timeline says. The
// play position carries on across a write, as in a looping buffer rewritten while it plays.
//
// A feeder thread reads the cursors every few ms (the edge clock's observations; a mixer that
// stands still for kStallNs means the output went away) and renders on. It stops the stream
// once it has held only silence for kIdleStopNs; the next write, Play or device opening starts
// it again.
//
// Threads: the window thread makes every call; the feeder shares the model and the stream under
// mutex_. Only the window thread releases device objects: a lost output is noticed by the feeder
// and dropped at the window thread's next call, an idle one let go at its next GetStatus.
//
// DirectSound frees every buffer of a device object when that object goes, but the program
// replaces its device object at every opening and keeps the buffer playing: the buffer holds a
// reference to its device object, which so lives as long as the buffer. An output that goes away
// (a USB interface unplugged) takes its device object and buffers with it for good: the buffer
// then counts as lost, and its next use opens its output afresh (by its GUID, else by its name)
// and makes itself a new stream there, or says the output is still lost.
class DsBuffer final : public DirectSoundBuffer {
 public:
  DsBuffer(IDirectSound* device, std::int32_t length, GUID guid, std::string name, HWND window,
           DWORD flags, ::WAVEFORMATEX wave)
      : device_(device),
        length_(length),
        guid_(guid),
        name_(std::move(name)),
        window_(window),
        flags_(flags),
        wave_(wave),
        clock_(kSampleRate, kEdgeLatencyFrames, kSettleFrames, kSettleJitterNs),
        contents_(static_cast<std::size_t>(length), kSilence) {
    device_->AddRef();
    stream_.reset(MakeBuffer(device_.get(), flags_, kStreamFrames, wave_, name_));
    {
      std::unique_lock lock(mutex_);
      StartStream();  // plays silence at once, so its timing settles before the first tone
    }
    feeder_ = std::thread([this] { Feeder(); });
    LiveBuffers().push_back(this);
  }

  ~DsBuffer() override {
    std::erase(LiveBuffers(), this);
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    feeder_.join();
  }
  DsBuffer(const DsBuffer&) = delete;
  DsBuffer& operator=(const DsBuffer&) = delete;

  void WriteBuffer(std::int32_t start, std::int32_t size, std::span<const std::uint8_t> data,
                   std::int32_t flags) override {
    if (flags != DSBLOCK_ENTIREBUFFER || start != 0 || size != 0) {
      throw AudioError("Only whole-buffer writes are supported");
    }
    if (data.size() != static_cast<std::size_t>(length_)) {
      throw AudioError("Write of " + std::to_string(data.size()) + " bytes into a buffer of " +
                       std::to_string(length_));
    }
    // The instant the change belongs to: the nominal end of the wait before it, so the edges
    // land on the transmission's timeline rather than when the call happened to run.
    std::int64_t at_ns = EdgeInstantNs();
    const bool silent =
        std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == kSilence; });
    std::unique_lock lock(mutex_);
    if (Usable(lock)) at_ns = EdgeInstantNs();  // the stream started: the change belongs to now
    // A stream started for this very tone settles first, and the tone belongs to the moment
    // after; one started ahead (by a link event's opening, or by the silence written before a
    // transmission's pause) settles during the pause and the lead instead.
    if (silent) {
      settle_for_tone_ = false;
    } else if (std::exchange(settle_for_tone_, false) && WaitSettled(lock)) {
      at_ns = EdgeInstantNs();
    }
    Place(at_ns, std::vector<std::uint8_t>(data.begin(), data.end()), silent);
  }

  void Play(std::int32_t flags) override {
    if (flags != DSBPLAY_LOOPING) throw AudioError("Only looping playback is supported");
    std::unique_lock lock(mutex_);
    Usable(lock);
    if (playing_) return;
    const std::int64_t frame = EdgeFrame(EdgeInstantNs());
    anchor_frame_ = frame;
    anchor_position_ = stopped_position_;
    playing_ = true;
    Rerender(frame);
  }

  // The looping buffer falls silent at once (from the write cursor on) and keeps its position.
  void Stop() override {
    std::lock_guard lock(mutex_);
    if (!playing_) return;
    const std::int64_t frame = std::max(write_abs_, last_edge_frame_);
    stopped_position_ = Position(frame);
    playing_ = false;
    Rerender(frame);
  }

  void SetCurrentPosition(std::int32_t position) override {
    if (position < 0 || position >= length_) {
      throw AudioError("Play position " + std::to_string(position) + " is outside the buffer");
    }
    std::lock_guard lock(mutex_);
    if (!playing_) {
      stopped_position_ = position;
      return;
    }
    const std::int64_t frame = std::max(write_abs_, last_edge_frame_);
    anchor_frame_ = frame;
    anchor_position_ = position;
    Rerender(frame);
  }

  // What DirectSound shows of the path: every edge reaches the play cursor kEdgeLatencyFrames
  // after its instant, so the courtesy writes its tones that much ahead and counts the pause after
  // the last one from there. What the system does after the play cursor it does not tell.
  std::int64_t OutputDelayNs() override { return kEdgeLatencyFrames * 1'000'000'000 / kSampleRate; }

  // Does not wait for the mixer: what the feeder saw last. The window asks every few seconds;
  // a stream stopped for idleness then lets its output go altogether (under wine an open
  // DirectSound device keeps its mixer and its sound server stream running, a few percent of a
  // core), to be opened again by the next link event.
  std::int32_t GetStatus() override {
    std::lock_guard lock(mutex_);
    if (lost_) {
      DropLost();
      return DSBSTATUS_BUFFERLOST;
    }
    if (!streaming_ && stream_ && SteadyNs() - busy_ns_ > kIdleStopNs) {
      LetGo();
      Stats().idle_releases.fetch_add(1, std::memory_order_relaxed);
    }
    return playing_ ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0;
  }

  // Window thread: the device was opened again, as every link event does well before a tone.
  // A stopped stream starts now and settles in the pause before the keying; a running one starts
  // its idle count again, so it cannot stop before the tone that the opening announces.
  void Wake() {
    std::unique_lock lock(mutex_);
    if (playing_ || lost_) Usable(lock);
    settle_for_tone_ = false;
    busy_ns_ = SteadyNs();
  }

 private:
  struct Change {
    std::int64_t frame;
    std::vector<std::uint8_t> data;
    bool silent;
  };

  // Window thread, under the lock: makes sure the stream plays on a live output, starting it or
  // reaching the output again; throws "Sound output lost" when it cannot. Returns whether the
  // stream had to start.
  bool Usable(std::unique_lock<std::mutex>& lock) {
    if (!lost_ && streaming_) {
      Feed();  // fresh cursors: the write cursor bounds where an edge can go
      if (!lost_) return false;
    }
    if (!lost_) {
      try {
        if (!stream_) Reopen();
        StartStream();
        return true;
      } catch (const AudioError&) {
        lost_ = true;
      }
    }
    DropLost();
    Reach(lock);
    return true;
  }

  // Under the lock: plays the stream from its start, silent. Throws when it cannot play; a mixer
  // that does not move is the feeder's to notice. (A mixer that stopped with its last stream
  // takes up to about 100 ms to start again under wine, which a link event's pause absorbs.)
  void StartStream() {
    void* first = nullptr;
    void* second = nullptr;
    DWORD first_bytes = 0;
    DWORD second_bytes = 0;
    stream_->Stop();
    if (FAILED(stream_->SetCurrentPosition(0)) ||
        FAILED(stream_->Lock(0, 0, &first, &first_bytes, &second, &second_bytes,
                             DSBLOCK_ENTIREBUFFER))) {
      throw AudioError("Sound output lost: " + name_);
    }
    std::memset(first, kSilence, first_bytes);
    if (second != nullptr) std::memset(second, kSilence, second_bytes);
    stream_->Unlock(first, first_bytes, second, second_bytes);
    // The stream's frames count on from where the last start left them: the model's queue and
    // position are in those frames.
    ring_base_ = std::max(written_, write_abs_);
    play_abs_ = write_abs_ = written_ = cleared_ = ring_base_;
    last_play_ = 0;
    clock_.Reset();
    holding_ = false;
    if (FAILED(stream_->Play(0, 0, DSBPLAY_LOOPING)))
      throw AudioError("Sound output lost: " + name_);
    const std::int64_t started = SteadyNs();
    last_move_ns_ = last_feed_ns_ = started;
    streaming_ = true;
    busy_ns_ = started;
    settle_for_tone_ = true;
    settle_by_ns_ = started + std::int64_t{kSettleWaitMs} * 1'000'000;
    wake_.notify_all();
  }

  // Under the lock, window thread: waits until the edge clock has settled, at most kSettleWaitMs
  // after the stream started. Returns whether it waited.
  bool WaitSettled(std::unique_lock<std::mutex>& lock) {
    bool waited = false;
    while (streaming_ && !lost_ && !clock_.Settled() && SteadyNs() < settle_by_ns_) {
      waited = true;
      lock.unlock();
      ::Sleep(2);
      lock.lock();
      if (streaming_ && !lost_) Feed();
    }
    return waited;
  }

  // Under the lock: the frame at which a change made at `at_ns` is heard, never before one
  // already placed (the calls come in the transmission's order) nor before the write cursor.
  std::int64_t EdgeFrame(std::int64_t at_ns) {
    // The cursors as they are now, not as the feeder last saw them: a call held up past its
    // edge's frame (a loaded machine holds up both threads) must find the write cursor there,
    // or the change would be rendered into frames the mixer has already taken.
    if (streaming_ && !lost_) Feed();
    if (!holding_ || at_ns - last_edge_ns_ > kHoldReferenceNs) {
      reference_ns_ = clock_.LowestNs();
      holding_ = clock_.Ready();
    }
    last_edge_ns_ = at_ns;
    std::int64_t frame =
        holding_ ? clock_.FrameFor(at_ns, reference_ns_) : write_abs_ + kEdgeLatencyFrames;
    if (frame < write_abs_) {
      Stats().late_edges.fetch_add(1, std::memory_order_relaxed);
      frame = write_abs_;
    }
    frame = std::max(frame, last_edge_frame_);
    last_edge_frame_ = frame;
    return frame;
  }

  // Under the lock: the looping buffer holds `data` from the frame its instant gives on.
  void Place(std::int64_t at_ns, std::vector<std::uint8_t> data, bool silent) {
    const std::int64_t frame = EdgeFrame(at_ns);
    busy_ns_ = SteadyNs();
    // A later write replaces whatever was queued from its frame on.
    while (!pending_.empty() && pending_.back().frame >= frame) pending_.pop_back();
    if (frame >= written_) {
      pending_.push_back({frame, std::move(data), silent});
      return;
    }
    pending_.clear();
    contents_ = std::move(data);
    silent_ = silent;
    Rerender(frame);
  }

  // Under the lock: renders again from `frame` (at or after the write cursor) to what was written.
  void Rerender(std::int64_t frame) {
    if (!streaming_ || frame >= written_) return;
    const std::int64_t end = written_;
    written_ = frame;
    Render(end);
  }

  std::int32_t Position(std::int64_t frame) const {
    if (!playing_) return stopped_position_;
    const std::int64_t p = (anchor_position_ + (frame - anchor_frame_)) % length_;
    return static_cast<std::int32_t>(p < 0 ? p + length_ : p);
  }

  // Under the lock: renders the model into the stream from what is written up to `end`.
  void Render(std::int64_t end) {
    if (end <= written_) return;
    scratch_.resize(static_cast<std::size_t>(end - written_));
    for (std::int64_t f = written_; f < end; ++f) {
      while (!pending_.empty() && pending_.front().frame <= f) {
        contents_ = std::move(pending_.front().data);
        silent_ = pending_.front().silent;
        pending_.pop_front();
      }
      scratch_[static_cast<std::size_t>(f - written_)] =
          playing_ ? contents_[static_cast<std::size_t>(Position(f))] : kSilence;
    }
    if (ToRing(written_, scratch_.data(), end - written_)) written_ = end;
  }

  // Under the lock: `count` frames from `frame` on go into the ring, from `bytes`, or silence when
  // it is null. Returns false when the stream is lost.
  bool ToRing(std::int64_t frame, const std::uint8_t* bytes, std::int64_t count) {
    const auto offset = static_cast<DWORD>((frame - ring_base_) % kStreamFrames);
    void* first = nullptr;
    void* second = nullptr;
    DWORD first_bytes = 0;
    DWORD second_bytes = 0;
    HRESULT hr = stream_->Lock(offset, static_cast<DWORD>(count), &first, &first_bytes, &second,
                               &second_bytes, 0);
    if (hr == DSERR_BUFFERLOST && SUCCEEDED(stream_->Restore())) {
      hr = stream_->Lock(offset, static_cast<DWORD>(count), &first, &first_bytes, &second,
                         &second_bytes, 0);
    }
    if (FAILED(hr)) {
      lost_ = true;
      return false;
    }
    if (bytes == nullptr) {
      std::memset(first, kSilence, first_bytes);
      if (second != nullptr) std::memset(second, kSilence, second_bytes);
    } else {
      std::memcpy(first, bytes, first_bytes);
      if (second != nullptr) std::memcpy(second, bytes + first_bytes, second_bytes);
    }
    if (FAILED(stream_->Unlock(first, first_bytes, second, second_bytes))) {
      lost_ = true;
      return false;
    }
    return true;
  }

  // Under the lock: the frames the mixer has taken, up to `upto`, are silenced where they come
  // round again, so a feeder held up past what it rendered ahead lets the mixer play silence
  // there, not the stretch it played a lap before (a tone heard again after the key was
  // released). Slots that hold what is rendered for the frames to come are left alone.
  void SilenceBehind(std::int64_t upto) {
    const std::int64_t from =
        std::max({cleared_, written_ - kStreamFrames, upto - kStreamFrames, ring_base_});
    if (upto > from && !ToRing(from, nullptr, upto - from)) return;
    cleared_ = std::max(cleared_, upto);
  }

  // Under the lock: the feeder (and every call that reads the cursors) was held up too long for
  // the cursors to tell how far the mixer went (kTrustCursorsNs); counted wrong by a lap, every
  // later edge would be placed a ring's length late. The stream starts afresh from silence, its
  // frames counted on by the time that passed, so that changes already placed keep their
  // instants, and the edge clock learns the new stream.
  void Restart(std::int64_t now) {
    Stats().underruns.fetch_add(1, std::memory_order_relaxed);
    Stats().restarts.fetch_add(1, std::memory_order_relaxed);
    write_abs_ =
        std::max(write_abs_, play_abs_ + (now - last_feed_ns_) * kSampleRate / 1'000'000'000);
    try {
      StartStream();
    } catch (const AudioError&) {
      lost_ = true;
    }
  }

  // Under the lock, either thread: reads the cursors into the edge clock, notices a mixer that
  // stands, renders on up to kAheadFrames past the write cursor.
  void Feed() {
    if (const std::int64_t now = SteadyNs(); now - last_feed_ns_ > kTrustCursorsNs) {
      Restart(now);
      if (lost_) return;
    }
    DWORD play = 0;
    DWORD write = 0;
    if (FAILED(stream_->GetCurrentPosition(&play, &write))) {
      lost_ = true;
      return;
    }
    const std::int64_t now = SteadyNs();
    last_feed_ns_ = now;
    const std::int64_t moved =
        (static_cast<std::int64_t>(play) - last_play_ + kStreamFrames) % kStreamFrames;
    if (moved > 0) {
      play_abs_ += moved;
      last_play_ = play;
      last_move_ns_ = now;
    } else if (now - last_move_ns_ > (play_abs_ > ring_base_ ? kStallNs : kStartGraceNs)) {
      lost_ = true;
      Stats().stalls.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    // Until the mixer has moved once the stream has not begun: a clock fed the wait would place
    // the first edges as late as the mixer was slow to start.
    if (play_abs_ > ring_base_) clock_.Observe(now, play_abs_);
    SilenceBehind(play_abs_);
    if (lost_) return;
    write_abs_ =
        play_abs_ + (static_cast<std::int64_t>(write) + kStreamFrames - play) % kStreamFrames;
    if (written_ < write_abs_) {
      // Held up past everything written ahead: the mixer played a lap-old stretch. (Right
      // after a start nothing is written yet, and the ring holds silence.)
      if (written_ > ring_base_) Stats().underruns.fetch_add(1, std::memory_order_relaxed);
      written_ = write_abs_;
    }
    Render(write_abs_ + kAheadFrames);
  }

  void Feeder() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
      if (!streaming_ || lost_) {
        wake_.wait(lock);
        continue;
      }
      if (const std::int32_t ms = g_feeder_hold_ms.exchange(0); ms > 0) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        lock.lock();
        continue;
      }
      Feed();
      const bool quiet = (!playing_ || silent_) && pending_.empty();
      if (!lost_ && quiet && SteadyNs() - busy_ns_ > kIdleStopNs) {
        stream_->Stop();
        streaming_ = false;
        Stats().idle_stops.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      wake_.wait_for(lock, kFeedPeriod);
    }
  }

  // Window thread, under the lock: a lost output's objects go, and every device object on it
  // lets go of it.
  void DropLost() {
    streaming_ = false;
    LetGo();
  }

  // Window thread, under the lock, with the stream stopped: the stream and the device go, and
  // every device object on the output lets go of it.
  void LetGo() {
    if (!stream_ && !device_) return;
    stream_.reset();
    device_.reset();
    ForgetOutput(guid_);
  }

  // Window thread, under the lock: the output let go while idle is opened again by its GUID, with
  // a new stream. A mixer that does not move is the feeder's to notice.
  void Reopen() {
    device_.reset(OpenOutput(guid_, name_));
    Check(device_->SetCooperativeLevel(window_ != nullptr ? window_ : ::GetDesktopWindow(),
                                       DSSCL_NORMAL),
          "Cannot use sound output '" + name_ + "'");
    stream_.reset(MakeBuffer(device_.get(), flags_, kStreamFrames, wave_, name_));
  }

  // Window thread, under the lock: opens the output again and starts a new stream on it, or says
  // the output is still lost.
  void Reach(std::unique_lock<std::mutex>& lock) {
    const std::string guid = GuidText(guid_);
    const std::vector<Entry> outputs = ListOutputs();
    const Entry* found = nullptr;
    int named = 0;
    for (const Entry& e : outputs) {
      if (e.guid == guid) found = &e;
    }
    if (found == nullptr) {
      // A replugged interface may come back under a new GUID with its old name.
      for (const Entry& e : outputs) {
        if (e.description == name_ && ++named == 1) found = &e;
      }
      if (named != 1) found = nullptr;
    }
    if (found == nullptr) throw AudioError("Sound output lost: " + name_);
    GUID id{};
    ParseGuid(found->guid, id);
    try {
      guid_ = id;
      Reopen();
      lost_ = false;
      StartStream();
      // Under wine an output that went away stays listed and opens; only a mixer that moves
      // shows it is there.
      while (play_abs_ == ring_base_) {
        Feed();
        if (lost_ || SteadyNs() - last_move_ns_ > std::int64_t{kReachMs} * 1'000'000) {
          throw AudioError("Sound output lost: " + name_);
        }
        if (play_abs_ != ring_base_) break;
        lock.unlock();
        ::Sleep(2);
        lock.lock();
      }
    } catch (const AudioError&) {
      // Listed but not there yet (under wine a removed output stays listed and opens).
      lost_ = true;
      DropLost();
      throw AudioError("Sound output lost: " + name_);
    }
  }

  ComPtr<IDirectSound> device_;  // declared first: released after the stream
  ComPtr<IDirectSoundBuffer> stream_;
  const std::int32_t length_;
  GUID guid_;
  const std::string name_;
  const HWND window_;
  const DWORD flags_;
  const ::WAVEFORMATEX wave_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread feeder_;
  bool quit_ = false;
  // The stream.
  EdgeClock clock_;
  bool streaming_ = false;
  bool lost_ = false;
  std::int64_t ring_base_ = 0;     // the frame at the ring's first byte
  std::int64_t play_abs_ = 0;      // frames the mixer has taken
  std::int64_t write_abs_ = 0;     // the first frame that can still be changed
  std::int64_t written_ = 0;       // frames rendered
  std::int64_t cleared_ = 0;       // frames whose slots are silent for their next lap
  std::int64_t last_feed_ns_ = 0;  // the cursors' last reading
  std::int64_t last_play_ = 0;
  std::int64_t last_move_ns_ = 0;
  std::int64_t busy_ns_ = 0;  // the last write or wake-up: the idle stop counts from it
  bool settle_for_tone_ = false;
  std::int64_t settle_by_ns_ = 0;
  std::int64_t last_edge_frame_ = 0;
  // The reference edges are placed from, held while they follow one another closely.
  double reference_ns_ = 0;
  bool holding_ = false;
  std::int64_t last_edge_ns_ = 0;
  // The looping buffer.
  std::vector<std::uint8_t> contents_;
  bool silent_ = true;
  std::deque<Change> pending_;
  bool playing_ = false;
  std::int64_t anchor_frame_ = 0;  // the frame at which the position was anchor_position_
  std::int32_t anchor_position_ = 0;
  std::int32_t stopped_position_ = 0;
  std::vector<std::uint8_t> scratch_;
};

}  // namespace

std::unique_ptr<DirectSoundBuffer> MakeToneStream(IDirectSound* device, std::int32_t length,
                                                  const GUID& guid, const std::string& name,
                                                  HWND window, DWORD flags, ::WAVEFORMATEX wave) {
  return std::make_unique<DsBuffer>(device, length, guid, name, window, flags, wave);
}

void WakeToneStreams() {
  for (DsBuffer* b : LiveBuffers()) {
    try {
      b->Wake();
    } catch (const AudioError&) {
    }
  }
}

}  // namespace corvanta::ds

namespace corvanta {

void HoldFeeders(std::int32_t ms) {
  ds::g_feeder_hold_ms.store(ms);
}

}  // namespace corvanta
