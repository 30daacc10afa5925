#include "support/fakes/recording_sound.h"

#include <algorithm>

#include "core/errors.h"

namespace corvanta::testing {

struct RecordingSoundBackend::Shared {
  std::function<std::int64_t()> clock;
  std::vector<std::string> devices;
  SoundFaults faults;
  std::int64_t output_delay_ns = 0;
  std::vector<SoundCall> calls;
  int next_object = 1;

  int Record(std::string op, int object, std::vector<std::int64_t> args = {}, std::string text = {},
             std::vector<std::uint8_t> bytes = {}) {
    calls.push_back({clock ? clock() : 0, std::move(op), object, std::move(args), std::move(text),
                     std::move(bytes)});
    return object;
  }
};

namespace {

using Shared = RecordingSoundBackend::Shared;

// The GUID of the output at `position` (0-based) of `devices`.
std::string GuidAt(const std::vector<std::string>& devices, std::size_t position) {
  const std::string& name = devices[position];
  const auto before =
      std::count(devices.begin(), devices.begin() + static_cast<std::ptrdiff_t>(position), name);
  return RecordingSoundBackend::GuidFor(name, static_cast<int>(before) + 1);
}

class FakeBuffer final : public DirectSoundBuffer {
 public:
  FakeBuffer(std::shared_ptr<Shared> s, int id, std::size_t length)
      : s_(std::move(s)), id_(id), bytes_(length, kSilence) {}
  ~FakeBuffer() override { s_->Record("Release", id_); }
  void WriteBuffer(std::int32_t start, std::int32_t size, std::span<const std::uint8_t> data,
                   std::int32_t flags) override {
    if (s_->faults.write) throw AudioError("fake: write failed");
    if (s_->faults.lost) throw AudioError("Sound output lost: fake");
    if (flags != DSBLOCK_ENTIREBUFFER || start != 0 || size != 0) {
      throw AudioError("fake: only whole-buffer writes");
    }
    if (data.size() != bytes_.size()) throw AudioError("fake: write of the wrong length");
    std::copy(data.begin(), data.end(), bytes_.begin());
    s_->Record("WriteBuffer", id_, {start, size, flags}, {}, bytes_);
  }
  void Play(std::int32_t flags) override {
    if (s_->faults.play) throw AudioError("fake: play failed");
    if (flags != DSBPLAY_LOOPING) throw AudioError("fake: only looping playback");
    s_->Record("Play", id_, {flags});
    playing_ = true;
  }
  void Stop() override {
    if (s_->faults.stop) throw AudioError("fake: stop failed");
    s_->Record("Stop", id_);
    playing_ = false;
  }
  void SetCurrentPosition(std::int32_t position) override {
    if (position < 0 || static_cast<std::size_t>(position) >= bytes_.size()) {
      throw AudioError("fake: position outside the buffer");
    }
    s_->Record("SetCurrentPosition", id_, {position});
  }
  std::int32_t GetStatus() override {
    if (s_->faults.lost) return DSBSTATUS_BUFFERLOST;
    return playing_ ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0;
  }
  std::int64_t OutputDelayNs() override { return s_->output_delay_ns; }

 private:
  std::shared_ptr<Shared> s_;
  int id_;
  std::vector<std::uint8_t> bytes_;
  bool playing_ = false;
};

class FakeDevice final : public DirectSound {
 public:
  FakeDevice(std::shared_ptr<Shared> s, int id) : s_(std::move(s)), id_(id) {}
  ~FakeDevice() override { s_->Record("ReleaseDevice", id_); }
  void SetCooperativeLevel(std::intptr_t window, std::int32_t level) override {
    s_->Record("SetCooperativeLevel", id_, {window, level});
  }
  std::unique_ptr<DirectSoundBuffer> CreateSoundBuffer(const DSBUFFERDESC& desc,
                                                       const WAVEFORMATEX& format) override {
    if (s_->faults.create_buffer) throw AudioError("fake: buffer creation failed");
    if (desc.lBufferBytes <= 0) throw AudioError("fake: invalid buffer length");
    if (!(format == kToneFormat)) throw AudioError("fake: only the tone format");
    const int id = s_->next_object++;
    s_->Record(
        "CreateSoundBuffer", id,
        {desc.lFlags, desc.lBufferBytes, format.nFormatTag, format.nChannels, format.lSamplesPerSec,
         format.lAvgBytesPerSec, format.nBlockAlign, format.nBitsPerSample, format.nSize});
    return std::make_unique<FakeBuffer>(s_, id, static_cast<std::size_t>(desc.lBufferBytes));
  }

 private:
  std::shared_ptr<Shared> s_;
  int id_;
};

class FakeEnum final : public DirectSoundEnum {
 public:
  FakeEnum(std::shared_ptr<Shared> s) : s_(std::move(s)), snapshot_(s_->devices) {}
  std::int32_t GetCount() override { return static_cast<std::int32_t>(snapshot_.size()); }
  std::string GetDescription(std::int32_t index) override { return At(index); }
  std::string GetGuid(std::int32_t index) override {
    At(index);
    return GuidAt(snapshot_, static_cast<std::size_t>(index - 1));
  }

 private:
  const std::string& At(std::int32_t index) {
    if (index < 1 || index > GetCount())
      throw AudioError("fake: no device " + std::to_string(index));
    return snapshot_[static_cast<std::size_t>(index - 1)];
  }
  std::shared_ptr<Shared> s_;
  std::vector<std::string> snapshot_;
};

class FakeRoot final : public DirectX7 {
 public:
  explicit FakeRoot(std::shared_ptr<Shared> s) : s_(std::move(s)) {}
  std::shared_ptr<DirectSoundEnum> GetDSEnum() override { return std::make_shared<FakeEnum>(s_); }
  std::unique_ptr<DirectSound> DirectSoundCreate(const std::string& guid) override {
    bool present = false;
    for (std::size_t i = 0; i < s_->devices.size(); ++i) present |= GuidAt(s_->devices, i) == guid;
    if (s_->faults.create_device || !present) {
      s_->Record("DirectSoundCreateFailed", 0, {}, guid);
      throw AudioError("fake: cannot open " + guid);
    }
    const int id = s_->next_object++;
    s_->Record("DirectSoundCreate", id, {}, guid);
    return std::make_unique<FakeDevice>(s_, id);
  }

 private:
  std::shared_ptr<Shared> s_;
};

}  // namespace

RecordingSoundBackend::RecordingSoundBackend(std::function<std::int64_t()> clock)
    : shared_(std::make_shared<Shared>()) {
  shared_->clock = std::move(clock);
}

std::unique_ptr<DirectX7> RecordingSoundBackend::CreateDirectX7() {
  shared_->Record("CreateDirectX7", 0);
  return std::make_unique<FakeRoot>(shared_);
}

std::vector<std::string>& RecordingSoundBackend::devices() {
  return shared_->devices;
}
SoundFaults& RecordingSoundBackend::faults() {
  return shared_->faults;
}
std::int64_t& RecordingSoundBackend::output_delay_ns() {
  return shared_->output_delay_ns;
}
const std::vector<SoundCall>& RecordingSoundBackend::calls() const {
  return shared_->calls;
}

std::vector<SoundCall> RecordingSoundBackend::CallsNamed(const std::string& op) const {
  std::vector<SoundCall> out;
  std::copy_if(shared_->calls.begin(), shared_->calls.end(), std::back_inserter(out),
               [&](const SoundCall& c) { return c.op == op; });
  return out;
}

std::vector<ToneSpan> ToneSpans(const std::vector<SoundCall>& calls) {
  std::vector<ToneSpan> spans;
  bool on = false;
  for (const SoundCall& c : calls) {
    if (c.op != "WriteBuffer") continue;
    const bool tone =
        std::any_of(c.bytes.begin(), c.bytes.end(), [](std::uint8_t b) { return b != kSilence; });
    if (tone && !on) {
      spans.push_back(
          {c.at_ms, -1, c.bytes.size(), *std::max_element(c.bytes.begin(), c.bytes.end())});
    } else if (!tone && on) {
      spans.back().off_ms = c.at_ms;
    }
    on = tone;
  }
  return spans;
}

}  // namespace corvanta::testing
