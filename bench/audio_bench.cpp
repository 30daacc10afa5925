// Sends a fixed pattern through the real SDL path into the private null sink (run it through
// scripts/null-sink.sh) and prints, one figure per line: the tone frequency, the element-duration
// error against the intervals between the calls that started and ended each element, the onset
// latency from the call to the recorded edge, and the CPU the program and the sound server use
// while the buffer loops silence.
#include <sys/resource.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_state.h"
#include "audio/sdl_sound.h"
#include "audio/sound_device.h"
#include "bench/recording.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "engine/morse_sender.h"
#include "tests/fakes/fake_main_window.h"

namespace corvanta {
namespace {

namespace rec = recording;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

struct Write {
  double at_s;
  bool tone;
};
std::vector<Write> g_writes;

// Decorators that timestamp every write the tone generator makes.
class TimedBuffer final : public DirectSoundBuffer {
 public:
  explicit TimedBuffer(std::unique_ptr<DirectSoundBuffer> inner) : inner_(std::move(inner)) {}
  void WriteBuffer(std::int32_t start, std::int32_t size, std::span<const std::uint8_t> data,
                   std::int32_t flags) override {
    const bool tone =
        std::any_of(data.begin(), data.end(), [](std::uint8_t b) { return b != 128; });
    const double at = Seconds(Clock::now());
    inner_->WriteBuffer(start, size, data, flags);
    g_writes.push_back({at, tone});
  }
  void Play(std::int32_t flags) override { inner_->Play(flags); }
  void Stop() override { inner_->Stop(); }
  void SetCurrentPosition(std::int32_t p) override { inner_->SetCurrentPosition(p); }

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

 private:
  std::unique_ptr<DirectX7> inner_;
};

class TimedBackend final : public SoundBackend {
 public:
  std::unique_ptr<DirectX7> CreateDirectX7() override {
    return std::make_unique<TimedRoot>(sdl_.CreateDirectX7());
  }

 private:
  SdlSoundBackend sdl_;
};

int Run() {
  const char* file = std::getenv("CORVANTA_RECORDING");
  if (file == nullptr) {
    std::cerr << "run through scripts/null-sink.sh\n";
    return 2;
  }
  const std::filesystem::path recording = file;

  // Poll the recording's length against the clock: the earliest each sample can have arrived
  // bounds when it was rendered.
  std::vector<std::pair<double, std::size_t>> polls;
  std::mutex polls_mutex;
  std::atomic<bool> polling{true};
  std::thread poller([&] {
    while (polling) {
      const double t = Seconds(Clock::now());
      const std::size_t n = rec::SampleCount(recording);
      {
        std::lock_guard<std::mutex> lock(polls_mutex);
        polls.emplace_back(t, n);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  StdPlatform platform;
  ScopedPlatform installed(platform);
  testing::FakeMainWindow window;
  SetMainWindowRef(&window);
  TimedBackend backend;
  Audio.Backend = &backend;
  window.on_device_click = [] { cmboDevice_Click(); };
  Flags.IsLoading = kTrue;
  CreateDxRoot();
  LoadSoundDevices();
  Flags.IsLoading = kFalse;
  const auto sink = std::find(window.devices.begin(), window.devices.end(), "Test-Sink");
  if (sink == window.devices.end()) {
    std::cerr << "Test-Sink is not listed\n";
    return 1;
  }
  window.SelectDevice(static_cast<int>(sink - window.devices.begin()));
  window.SetSlider(Slider::HScroll2, 100);
  Settings.DotBase = 250;
  Settings.SpeedSetting = 200;  // 50 ms dots
  Settings.ToneFrequency = 500;

  const std::size_t start = rec::SampleCount(recording);
  for (int round = 0; round < 5; ++round) {
    std::string pattern = "-.-. --.- / -.-";
    SendMorse(pattern);
  }

  // Let the last element reach the recording, then stop polling so it costs nothing below.
  rec::WaitForSamples(recording, rec::SampleCount(recording) + 22050, 3000);
  polling = false;
  poller.join();

  // The buffer now loops silence: measure what that costs.
  const double cpu0 = rec::ProcessCpuSeconds();
  const double server0 = rec::OtherCpuSeconds(std::getenv("CORVANTA_PULSE_PID"));
  const double wall0 = Seconds(Clock::now());
  const char* idle_env = std::getenv("CORVANTA_BENCH_IDLE_S");
  std::this_thread::sleep_for(std::chrono::seconds(idle_env != nullptr ? std::atoi(idle_env) : 10));
  const double wall = Seconds(Clock::now()) - wall0;
  const double cpu = rec::ProcessCpuSeconds() - cpu0;
  const double server = rec::OtherCpuSeconds(std::getenv("CORVANTA_PULSE_PID")) - server0;

  const std::vector<std::int16_t> heard = rec::ReadFrom(recording, start);
  const std::vector<rec::Segment> segments = rec::FindSegments(heard);

  std::vector<std::pair<double, double>> calls;  // tone on, tone off
  for (std::size_t i = 0; i + 1 < g_writes.size(); ++i) {
    if (g_writes[i].tone && !g_writes[i + 1].tone)
      calls.emplace_back(g_writes[i].at_s, g_writes[i + 1].at_s);
  }
  // A dropout inside a tone splits it in two; report it rather than mis-pair the edges.
  if (segments.size() != calls.size() || segments.empty()) {
    std::printf("elements_sent %zu\n", calls.size());
    std::printf("elements_recorded %zu\n", segments.size());
    std::printf("dropouts %zu\n", segments.size() - std::min(segments.size(), calls.size()));
    return 1;
  }
  // When a sample first shows in the recording: the first poll that found the file longer.
  // An upper bound on when the sink rendered it (the poll period and the recorder's latency add).
  const auto first_seen = [&polls](std::size_t sample) {
    const auto it = std::upper_bound(
        polls.begin(), polls.end(), sample,
        [](std::size_t k, const std::pair<double, std::size_t>& p) { return k < p.second; });
    return it == polls.end() ? polls.back().first : it->first;
  };

  std::vector<double> errors, onsets, frequencies;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const double interval_ms = (calls[i].second - calls[i].first) * 1000.0;
    errors.push_back(std::abs(segments[i].Ms() - interval_ms));
    onsets.push_back((first_seen(start + segments[i].begin) - calls[i].first) * 1000.0);
    frequencies.push_back(rec::FrequencyHz(heard, segments[i]));
  }
  const rec::Spread err = rec::SpreadOf(errors);
  const rec::Spread onset = rec::SpreadOf(onsets);
  std::printf("elements %zu\n", segments.size());
  std::printf("tone_frequency_hz %.2f\n", rec::SpreadOf(frequencies).median);
  std::printf("element_error_ms_median %.2f\n", err.median);
  std::printf("element_error_ms_p95 %.2f\n", err.p95);
  std::printf("element_error_ms_max %.2f\n", err.max);
  std::printf("onset_latency_ms_median %.2f\n", onset.median);
  std::printf("idle_cpu_percent_program %.2f\n", 100.0 * cpu / wall);
  if (server >= 0) std::printf("idle_cpu_percent_server %.2f\n", 100.0 * server / wall);
  std::printf("late_edges %llu\n", static_cast<unsigned long long>(Stats().late_edges.load()));

  ResetAudioState();
  SetMainWindowRef(nullptr);
  return 0;
}

}  // namespace
}  // namespace corvanta

int main() {
  return corvanta::Run();
}
