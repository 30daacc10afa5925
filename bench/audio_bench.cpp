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
#include "audio/sdl/sdl_sound.h"
#include "audio/sound_device.h"
#include "bench/timed_backend.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "engine/morse_sender.h"
#include "support/fakes/fake_main_window.h"
#include "support/process_stats.h"
#include "support/recording.h"

namespace corvanta {
namespace {

namespace rec = recording;
using bench::NowSeconds;

int Run() {
  const char* file = std::getenv("CORVANTA_RECORDING");
  if (file == nullptr) {
    std::cerr << "run through scripts/null-sink.sh\n";
    return 2;
  }
  const std::filesystem::path recording = file;

  rec::GrowthClock growth(recording);

  StdPlatform platform;
  ScopedPlatform installed(platform);
  testing::FakeMainWindow window;
  SdlSoundBackend sdl;
  bench::TimedBackend backend(sdl);
  if (!bench::OpenTestSink(window, backend)) return 1;

  const std::size_t start = rec::SampleCount(recording);
  for (int round = 0; round < 5; ++round) {
    std::string pattern = "-.-. --.- / -.-";
    SendMorse(pattern);
  }

  // Let the last element reach the recording, then stop polling so it costs nothing below.
  rec::WaitForSamples(recording, rec::SampleCount(recording) + 22050, 3000);
  growth.Stop();

  // The buffer now loops silence: measure what that costs.
  const double cpu0 = rec::ProcessCpuSeconds();
  const double server0 = rec::OtherCpuSeconds(std::getenv("CORVANTA_PULSE_PID"));
  const double wall0 = NowSeconds();
  const char* idle_env = std::getenv("CORVANTA_BENCH_IDLE_S");
  std::this_thread::sleep_for(std::chrono::seconds(idle_env != nullptr ? std::atoi(idle_env) : 10));
  const double wall = NowSeconds() - wall0;
  const double cpu = rec::ProcessCpuSeconds() - cpu0;
  const double server = rec::OtherCpuSeconds(std::getenv("CORVANTA_PULSE_PID")) - server0;

  const std::vector<std::int16_t> heard = rec::ReadFrom(recording, start);
  const std::vector<rec::Segment> segments = rec::FindSegments(heard);

  const std::vector<bench::Element> calls = bench::Elements(bench::Writes());
  // A dropout inside a tone splits it in two; report it rather than mis-pair the edges.
  if (segments.size() != calls.size() || segments.empty()) {
    std::printf("elements_sent %zu\n", calls.size());
    std::printf("elements_recorded %zu\n", segments.size());
    std::printf("dropouts %zu\n", segments.size() - std::min(segments.size(), calls.size()));
    return 1;
  }
  std::vector<double> errors, onsets, frequencies;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const double interval_ms = (calls[i].off_s - calls[i].on_s) * 1000.0;
    errors.push_back(std::abs(segments[i].Ms() - interval_ms));
    onsets.push_back((growth.FirstSeen(start + segments[i].begin) - calls[i].on_s) * 1000.0);
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
