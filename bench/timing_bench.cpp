// Many courtesy transmissions with random gaps through the real SDL path into the private null
// sink (run it through scripts/null-sink.sh), each shaped as a link event makes it: the device is
// re-opened, the output readied, 250 ms pass, the pattern "-.-" is sent at 50 ms dots, 150 ms
// pass, all on the transmission's nominal timeline. Prints, one figure per line: element and gap
// errors against the nominal durations (150, 50, 150 ms; gaps 50 ms), dropouts, the onset
// of each transmission's first element against its later ones (from the recording alone, to the
// sample), the onset latency from the call to the recorded edge for first and later elements, and
// after the last transmission the idle CPU of the program and of the sound server (the recorder
// stopped, so the server serves Corvanta alone).
//
// CORVANTA_BENCH_TRANSMISSIONS (default 100), CORVANTA_BENCH_MAX_GAP_S (default 5),
// CORVANTA_BENCH_IDLE_S (default 30), CORVANTA_BENCH_SEED.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
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
#include "engine/tone_generator.h"
#include "support/fakes/fake_main_window.h"
#include "support/process_stats.h"
#include "support/recording.h"

namespace corvanta {
namespace {

namespace rec = recording;

double EnvNumber(const char* name, double fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::atof(v) : fallback;
}

void Print(const char* name, const rec::Spread& s) {
  std::printf("%s_median %.3f\n%s_p95 %.3f\n%s_max %.3f\n", name, s.median, name, s.p95, name,
              s.max);
}

int Run() {
  const char* file = std::getenv("CORVANTA_RECORDING");
  if (file == nullptr) {
    std::cerr << "run through scripts/null-sink.sh\n";
    return 2;
  }
  const int transmissions = static_cast<int>(EnvNumber("CORVANTA_BENCH_TRANSMISSIONS", 100));
  const double max_gap_s = EnvNumber("CORVANTA_BENCH_MAX_GAP_S", 5);
  const int idle_s = static_cast<int>(EnvNumber("CORVANTA_BENCH_IDLE_S", 30));
  std::mt19937 random(static_cast<unsigned>(EnvNumber("CORVANTA_BENCH_SEED", 7)));
  std::uniform_real_distribution<double> gap(0.2, max_gap_s);

  rec::GrowthClock growth(file);
  StdPlatform platform;
  ScopedPlatform installed(platform);
  testing::FakeMainWindow window;
  SdlSoundBackend sdl;
  bench::TimedBackend backend(sdl);
  if (!bench::OpenTestSink(window, backend)) return 1;

  const std::size_t start = rec::SampleCount(file);
  std::vector<std::size_t> first_write;  // where each transmission's writes begin
  for (int t = 0; t < transmissions; ++t) {
    std::this_thread::sleep_for(std::chrono::duration<double>(gap(random)));
    first_write.push_back(bench::Writes().size());
    RestartSoundDevice();
    TimelineScope timeline;
    PrepareOutput(Settings.ToneFrequency);
    Sleep(250);
    std::string pattern = "-.-";
    SendMorse(pattern);
    Sleep(150);
  }
  rec::WaitForSamples(file, rec::SampleCount(file) + 22050, 3000);
  growth.Stop();

  const std::vector<std::int16_t> heard = rec::ReadFrom(file, start);
  const std::vector<rec::Segment> segments = rec::FindSegments(heard);
  const std::vector<bench::Element> calls = bench::Elements(bench::Writes());
  if (calls.empty() || segments.empty()) {
    std::cerr << "nothing was recorded\n";
    return 1;
  }
  // The recording's clock drifts against the system clock (a few hundred ppm on the null sink),
  // so each transmission is aligned on its own: its elements are matched to the segments nearest
  // the previous transmission's alignment, and its own alignment is the median over them.
  const double rate = rec::kRate;
  std::vector<std::vector<bench::Element>> by_transmission(first_write.size());
  for (const auto& c : calls) {
    std::size_t t = 0;
    while (t + 1 < first_write.size() && bench::Writes()[first_write[t + 1]].at_s <= c.on_s) ++t;
    by_transmission[t].push_back(c);
  }
  double offset = calls[0].on_s - static_cast<double>(segments[0].begin) / rate;
  const auto segments_between = [&](double from_s, double to_s) {
    std::vector<const rec::Segment*> inside;
    for (const auto& s : segments) {
      const double b = static_cast<double>(s.begin) / rate + offset;
      if (b >= from_s && b < to_s) inside.push_back(&s);
    }
    return inside;
  };

  std::vector<double> element_errors, gap_errors, first_rel, later_rel, first_abs, later_abs;
  std::size_t dropouts = 0, missing = 0;
  for (const auto& elements : by_transmission) {
    if (elements.empty()) continue;
    // Re-align on this transmission: each element's nearest onset within 30 ms.
    std::vector<double> local;
    for (const auto& c : elements) {
      for (const rec::Segment* s : segments_between(c.on_s - 0.03, c.on_s + 0.03)) {
        local.push_back(c.on_s - static_cast<double>(s->begin) / rate);
      }
    }
    if (!local.empty()) offset = rec::SpreadOf(local).median;
    std::vector<double> rel, abs_onsets;
    const rec::Segment* previous = nullptr;
    std::size_t index = 0;
    for (const auto& c : elements) {
      // "-.-" at 50 ms dots: what the air should hear, whenever the calls happened to run.
      const double nominal_ms = index++ == 1 ? 50.0 : 150.0;
      // The segments that begin within the element (a dropout splits it into several).
      const auto inside = segments_between(c.on_s - 0.01, c.off_s);
      if (inside.empty()) {
        std::fprintf(stderr, "missing: element at %.3f s, %.3f s after its transmission's first\n",
                     c.on_s - calls[0].on_s, c.on_s - elements[0].on_s);
        ++missing;
        previous = nullptr;
        continue;
      }
      dropouts += inside.size() - 1;
      const rec::Segment whole{inside.front()->begin, inside.back()->end};
      element_errors.push_back(std::abs(whole.Ms() - nominal_ms));
      if (previous != nullptr) {
        const rec::Segment g{previous->end, whole.begin};
        gap_errors.push_back(std::abs(g.Ms() - 50.0));
      }
      rel.push_back(static_cast<double>(whole.begin) / rate - c.on_s);
      abs_onsets.push_back((growth.FirstSeen(start + whole.begin) - c.on_s) * 1000.0);
      previous = inside.back();
    }
    if (rel.size() == elements.size() && rel.size() >= 2) {
      std::vector<double> later(rel.begin() + 1, rel.end());
      const double ref = rec::SpreadOf(later).median;
      first_rel.push_back(std::abs(rel[0] - ref) * 1000.0);
      for (double r : later) later_rel.push_back(std::abs(r - ref) * 1000.0);
      first_abs.push_back(abs_onsets[0]);
      later_abs.insert(later_abs.end(), abs_onsets.begin() + 1, abs_onsets.end());
    }
  }

  std::printf("transmissions %d\n", transmissions);
  std::printf("elements_sent %zu\n", calls.size());
  std::printf("elements_missing %zu\n", missing);
  std::printf("dropouts %zu\n", dropouts);
  Print("element_error_ms", rec::SpreadOf(element_errors));
  Print("gap_error_ms", rec::SpreadOf(gap_errors));
  Print("first_element_onset_vs_later_ms", rec::SpreadOf(first_rel));
  Print("later_element_onset_spread_ms", rec::SpreadOf(later_rel));
  std::printf("onset_latency_ms_first_median %.2f\n", rec::SpreadOf(first_abs).median);
  std::printf("onset_latency_ms_later_median %.2f\n", rec::SpreadOf(later_abs).median);
  std::printf("late_edges %llu\n", static_cast<unsigned long long>(Stats().late_edges.load()));

  // Idle: the recorder goes, so the server serves Corvanta's stream (if any) alone.
  if (const char* recorder = std::getenv("CORVANTA_RECORDER_PID")) {
    kill(static_cast<pid_t>(std::atol(recorder)), SIGINT);
  }
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const char* server_pid = std::getenv("CORVANTA_PULSE_PID");
  const double cpu0 = rec::ProcessCpuSeconds();
  const double server0 = rec::OtherCpuSeconds(server_pid);
  const double wall0 = bench::NowSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(idle_s));
  const double wall = bench::NowSeconds() - wall0;
  std::printf("idle_cpu_percent_program %.2f\n", 100.0 * (rec::ProcessCpuSeconds() - cpu0) / wall);
  if (server0 >= 0) {
    std::printf("idle_cpu_percent_server %.2f\n",
                100.0 * (rec::OtherCpuSeconds(server_pid) - server0) / wall);
  }
  ResetAudioState();
  SetMainWindowRef(nullptr);
  return 0;
}

}  // namespace
}  // namespace corvanta

int main() {
  return corvanta::Run();
}
