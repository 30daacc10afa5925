#include "bench/timed_backend.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <string>

#include "audio/audio_state.h"
#include "audio/sound_device.h"
#include "core/main_window.h"
#include "core/state.h"
#include "support/recording.h"

namespace corvanta::bench {
namespace {

class TimedBuffer final : public DirectSoundBuffer {
 public:
  explicit TimedBuffer(std::unique_ptr<DirectSoundBuffer> inner) : inner_(std::move(inner)) {}
  void WriteBuffer(std::int32_t start, std::int32_t size, std::span<const std::uint8_t> data,
                   std::int32_t flags) override {
    const bool tone =
        std::any_of(data.begin(), data.end(), [](std::uint8_t b) { return b != 128; });
    const double at = NowSeconds();
    inner_->WriteBuffer(start, size, data, flags);
    Writes().push_back({at, tone});
  }
  void Play(std::int32_t flags) override { inner_->Play(flags); }
  void Stop() override { inner_->Stop(); }
  void SetCurrentPosition(std::int32_t p) override { inner_->SetCurrentPosition(p); }
  std::int32_t GetStatus() override { return inner_->GetStatus(); }
  std::int64_t OutputDelayNs() override { return inner_->OutputDelayNs(); }

 private:
  std::unique_ptr<DirectSoundBuffer> inner_;
};

class TimedDevice final : public DirectSound {
 public:
  explicit TimedDevice(std::unique_ptr<DirectSound> inner) : inner_(std::move(inner)) {}
  void SetCooperativeLevel(std::intptr_t w, std::int32_t level) override {
    inner_->SetCooperativeLevel(w, level);
  }
  std::unique_ptr<DirectSoundBuffer> CreateSoundBuffer(const DSBUFFERDESC& d,
                                                       const WAVEFORMATEX& f) override {
    return std::make_unique<TimedBuffer>(inner_->CreateSoundBuffer(d, f));
  }

 private:
  std::unique_ptr<DirectSound> inner_;
};

class TimedRoot final : public DirectX7 {
 public:
  explicit TimedRoot(std::unique_ptr<DirectX7> inner) : inner_(std::move(inner)) {}
  std::shared_ptr<DirectSoundEnum> GetDSEnum() override { return inner_->GetDSEnum(); }
  std::unique_ptr<DirectSound> DirectSoundCreate(const std::string& guid) override {
    return std::make_unique<TimedDevice>(inner_->DirectSoundCreate(guid));
  }
  void WakeIdleStreams() override { inner_->WakeIdleStreams(); }

 private:
  std::unique_ptr<DirectX7> inner_;
};

}  // namespace

std::vector<Write>& Writes() {
  static std::vector<Write> writes;
  return writes;
}

double NowSeconds() {
  return recording::SteadySeconds();
}

std::unique_ptr<DirectX7> TimedBackend::CreateDirectX7() {
  return std::make_unique<TimedRoot>(inner_.CreateDirectX7());
}

bool OpenTestSink(testing::FakeMainWindow& window, TimedBackend& backend) {
  SetMainWindowRef(&window);
  Audio.Backend = &backend;
  window.on_device_click = [] { cmboDevice_Click(); };
  Flags.IsLoading = kTrue;
  CreateDxRoot();
  LoadSoundDevices();
  Flags.IsLoading = kFalse;
  const auto sink = std::find(window.devices.begin(), window.devices.end(), "Test-Sink");
  if (sink == window.devices.end()) {
    std::cerr << "Test-Sink is not listed\n";
    return false;
  }
  window.SelectDevice(static_cast<int>(sink - window.devices.begin()));
  window.SetSlider(Slider::HScroll2, 100);
  Settings.DotBase = 250;
  Settings.SpeedSetting = 200;  // 50 ms dots
  Settings.ToneFrequency = 500;
  return true;
}

std::vector<Element> Elements(const std::vector<Write>& writes, std::size_t from) {
  std::vector<Element> out;
  for (std::size_t i = from; i + 1 < writes.size(); ++i) {
    if (writes[i].tone && !writes[i + 1].tone) out.push_back({writes[i].at_s, writes[i + 1].at_s});
  }
  return out;
}

}  // namespace corvanta::bench
