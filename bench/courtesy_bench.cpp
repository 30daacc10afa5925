// Whole courtesy transmissions as a link event makes them, through this platform's own sound path
// (libpulse on Linux, or SDL with CORVANTA_BENCH_BACKEND=sdl; DirectSound on Windows) into the
// private null sink: run it through scripts/null-sink.sh. The link object is a fake that notes when
// the key goes down and up.
//
// Each courtesy sends "r" (dot, dash, dot) at a dot time off any 10 ms grid (53 ms by default), so
// a sound path that places edges on its mixer's period shows it. Most courtesies follow one
// another after 0.2 to 1.2 s; every CORVANTA_BENCH_IDLE_EVERY-th one follows an idle spell long
// enough for an idle stream to close, so the first tone after an opening is measured too.
//
// Prints, one figure per line: courtesies, elements sent, missing and split by a hole; element
// and gap error against the nominal timeline (median, p95, max), the first element's error
// alone; the keyed span's error against its nominal length; the lead from the event to the key
// and the device opening inside it; the first tone heard against the confirmation (plus the
// pause and the dot before the symbol) and the release against the last tone heard (plus the
// pause), once where the sink's clock plays them (on Linux; under wine there is only the next)
// and once from when the sink rendered them; then the CPU of the program and of the sound server
// once the stream has stopped for idleness.
//
// CORVANTA_BENCH_COURTESIES (default 100), CORVANTA_BENCH_DOT_MS (53),
// CORVANTA_BENCH_IDLE_EVERY (10), CORVANTA_BENCH_IDLE_S (20), CORVANTA_BENCH_SEED.
// CORVANTA_BENCH_LOG=FILE keeps a station log there, as the program does: each courtesy logs its
// line, and a line more at each keying request (held until the courtesy has ended).
#include <algorithm>
#include <chrono>
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
#include "audio/sound_device.h"
#include "bench/timed_backend.h"
#include "core/link.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "core/station_log.h"
#include "engine/courtesy.h"
#include "support/fakes/fake_link.h"
#include "support/fakes/fake_main_window.h"
#include "support/process_stats.h"
#include "support/recording.h"

#ifdef _WIN32
#include "audio/directsound/directsound_sound.h"
#include "core/win32/win32_platform.h"
#else
#include "audio/pulse/pulse_sound.h"
#include "audio/sdl/sdl_sound.h"
#include "bench/sink_recorder.h"
#endif

namespace corvanta {
namespace {

namespace rec = recording;

#ifdef _WIN32
using NativePlatform = Win32Platform;
const char* BackendName() {
  return "directsound";
}
std::unique_ptr<SoundBackend> MakeBackend() {
  return std::make_unique<DirectSoundBackend>();
}
std::uint64_t LateEdges() {
  return Stats().late_edges.load();
}
#else
using NativePlatform = StdPlatform;
// libpulse unless CORVANTA_BENCH_BACKEND=sdl, as the program chooses.
bool Sdl() {
  const char* wanted = std::getenv("CORVANTA_BENCH_BACKEND");
  return wanted != nullptr && std::string(wanted) == "sdl";
}
const char* BackendName() {
  return Sdl() ? "sdl" : "pulse";
}
std::unique_ptr<SoundBackend> MakeBackend() {
  if (Sdl()) return std::make_unique<SdlSoundBackend>();
  return std::make_unique<PulseSoundBackend>();
}
std::uint64_t LateEdges() {
  return Sdl() ? Stats().late_edges.load() : PulseStats().late_edges.load();
}
#endif

// What the sink played, and when. Under wine: the recorder's file, placed on the clock by its
// growth (when the sink rendered each sample). On Linux: a recorder of our own that also notes the
// server's timing, so each sample is placed where the sink's clock plays it as well.
#ifdef _WIN32
class Ear {
 public:
  explicit Ear(std::filesystem::path file)
      : file_(std::move(file)), start_(rec::SampleCount(file_)), growth_(file_) {}
  static const char* HeardBy() { return "rendered"; }
  void Finish() {
    rec::WaitForSamples(file_, rec::SampleCount(file_) + 22050, 3000);
    growth_.Stop();
  }
  std::vector<std::int16_t> Samples() { return rec::ReadFrom(file_, start_); }
  double HeardAt(std::size_t i) { return growth_.RenderedAt(start_ + i); }
  double RenderedAt(std::size_t i) { return growth_.RenderedAt(start_ + i); }

 private:
  std::filesystem::path file_;
  std::size_t start_;
  rec::GrowthClock growth_;
};
#else
class Ear {
 public:
  explicit Ear(const std::filesystem::path&) : recorder_("t.monitor") {}
  static const char* HeardBy() { return "sink_clock"; }
  void Finish() {
    const std::size_t want = recorder_.Count() + 22050;
    for (int i = 0; i < 300 && recorder_.Count() < want; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::vector<std::int16_t> Samples() { return recorder_.Samples(); }
  double HeardAt(std::size_t i) { return recorder_.HeardAt(i); }
  double RenderedAt(std::size_t i) { return recorder_.ArrivedAt(i); }

 private:
  bench::SinkRecorder recorder_;
};
#endif

double EnvNumber(const char* name, double fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::atof(v) : fallback;
}

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Print(const char* name, const rec::Spread& s) {
  std::printf("%s_median %.3f\n%s_p95 %.3f\n%s_max %.3f\n", name, s.median, name, s.p95, name,
              s.max);
}

// A signed figure: its median, 95th percentile and extremes.
void PrintSigned(const char* name, std::vector<double> values) {
  if (values.empty()) return;
  std::sort(values.begin(), values.end());
  const auto at = [&values](double q) {
    return values[std::min(values.size() - 1,
                           static_cast<std::size_t>(q * static_cast<double>(values.size())))];
  };
  std::printf("%s_min %.3f\n%s_median %.3f\n%s_p95 %.3f\n%s_max %.3f\n", name, values.front(), name,
              at(0.5), name, at(0.95), name, values.back());
}

// A station between link events: the window looks at the sound output every kSoundWatchMs.
void Idle(double seconds) {
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(seconds));
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_until(
        std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(kSoundWatchMs)));
    CheckSoundOutput();
  }
}

struct Courtesy {
  std::int64_t event_ns = 0;
  std::int64_t keyed_ns = -1;
  std::int64_t released_ns = -1;
  bool after_idle = false;
};

int Run() {
  const std::filesystem::path file = rec::RecordingFile();
  if (file.empty()) {
    std::cerr << "run through scripts/null-sink.sh\n";
    return 2;
  }
  const int courtesies = static_cast<int>(EnvNumber("CORVANTA_BENCH_COURTESIES", 100));
  const int dot_ms = static_cast<int>(EnvNumber("CORVANTA_BENCH_DOT_MS", 53));
  const int idle_every = static_cast<int>(EnvNumber("CORVANTA_BENCH_IDLE_EVERY", 10));
  const int idle_s = static_cast<int>(EnvNumber("CORVANTA_BENCH_IDLE_S", 20));
  std::mt19937 random(static_cast<unsigned>(EnvNumber("CORVANTA_BENCH_SEED", 7)));
  std::uniform_real_distribution<double> pause_s(0.2, 1.2);

  NativePlatform platform;
  ScopedPlatform installed(platform);
  testing::FakeMainWindow window;
  const std::unique_ptr<SoundBackend> native = MakeBackend();
  bench::TimedBackend backend(*native);
  if (!bench::OpenTestSink(window, backend)) return 1;
  Settings.DotBase = static_cast<std::int16_t>(dot_ms + 200);
  Settings.SpeedSetting = 200;
  Settings.RxCourtesyText = "r";
  // "r": a dot before each symbol, then dot, dash, dot; 150 ms keyed on either side.
  const std::vector<double> elements_ms{1.0 * dot_ms, 3.0 * dot_ms, 1.0 * dot_ms};
  const double gap_ms = dot_ms;
  const double keyed_ms = 150 + 8.0 * dot_ms + 150;

  std::vector<Courtesy> sent(static_cast<std::size_t>(courtesies));
  Courtesy* current = nullptr;
  testing::FakeLinks links([] { return SteadyNs() / 1'000'000; });
  const char* log_file = std::getenv("CORVANTA_BENCH_LOG");
  if (log_file != nullptr && *log_file != '\0') OpenStationLog(log_file);
  links.on_setptt = [&](bool key) {
    (key ? current->keyed_ns : current->released_ns) = SteadyNs();
    LogLine(key ? "bench: key down" : "bench: key up");
  };
  CreateLinkObject();
  if (Window().Echolink == nullptr) {
    std::cerr << "no link object\n";
    return 1;
  }

  std::vector<double> openings;  // the device opening each event makes, inside the 100 ms
  Ear ear(file);
  for (int c = 0; c < courtesies; ++c) {
    const bool after_idle = idle_every > 0 && c % idle_every == idle_every - 1;
    Idle(after_idle ? 4.5 : pause_s(random));
    current = &sent[static_cast<std::size_t>(c)];
    current->after_idle = after_idle;
    // As the link event handler does: the event's instant, the opening, then the courtesy.
    current->event_ns = TimelineNowNs();
    const std::int64_t event_steady = SteadyNs();
    RestartSoundDevice();
    openings.push_back(static_cast<double>(SteadyNs() - event_steady) / 1e6);
    PlayRxCourtesy(current->event_ns);
    current->event_ns = event_steady;
  }
  ear.Finish();

  // The recording, cut into courtesies at the silences between them (at least 400 ms, against
  // gaps of one dot inside one); a run of silence shorter than a quarter dot inside a tone is a
  // hole that split it.
  const std::vector<std::int16_t> heard = ear.Samples();
  const std::vector<rec::Segment> raw = rec::FindSegments(heard);
  const auto frames = [](double ms) { return static_cast<std::size_t>(ms * rec::kRate / 1000.0); };
  std::vector<std::vector<rec::Segment>> groups;
  std::size_t holes = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const std::size_t silence = i == 0 ? SIZE_MAX : raw[i].begin - raw[i - 1].end;
    if (silence >= frames(400)) {
      groups.push_back({raw[i]});
    } else if (silence < frames(dot_ms / 4.0)) {
      std::fprintf(
          stderr, "courtesy %zu: a hole of %.3f ms, %.3f ms after its first edge\n",
          groups.size() - 1, static_cast<double>(silence) * 1000.0 / rec::kRate,
          static_cast<double>(raw[i].begin - groups.back().front().begin) * 1000.0 / rec::kRate);
      ++holes;
      groups.back().back().end = raw[i].end;
    } else {
      groups.back().push_back(raw[i]);
    }
  }

  std::vector<double> element_errors, gap_errors, first_errors, keyed_errors, leads;
  // Signed, against the timeline on the air: the first tone heard against the confirmation, a
  // whole pause and the dot before the symbol; the release against the last tone heard and a
  // whole pause (never negative: a release before it would cut the tone). Once as the sink's
  // clock plays them, once as the sink rendered them.
  std::vector<double> first_heard, release_after_heard, first_rendered, release_after_rendered;
  std::size_t missing = 0;
  // Each courtesy's group is the whole one first heard after its keying and before its release:
  // a whole group's first and last edge, heard and rendered, s.
  struct Edges {
    double first, last, first_rendered, last_rendered;
  };
  std::vector<Edges> groups_heard;
  for (const auto& g : groups) {
    if (g.size() != elements_ms.size()) continue;
    groups_heard.push_back({ear.HeardAt(g.front().begin), ear.HeardAt(g.back().end),
                            ear.RenderedAt(g.front().begin), ear.RenderedAt(g.back().end)});
  }
  for (const Courtesy& c : sent) {
    if (c.keyed_ns < 0 || c.released_ns < 0) continue;
    const double keyed_s = static_cast<double>(c.keyed_ns) / 1e9;
    const double released_s = static_cast<double>(c.released_ns) / 1e9;
    const auto it = std::find_if(groups_heard.begin(), groups_heard.end(), [&](const Edges& h) {
      return h.first_rendered >= keyed_s && h.first_rendered <= released_s;
    });
    if (it == groups_heard.end()) continue;
    first_heard.push_back((it->first - keyed_s) * 1e3 - 150.0 - dot_ms);
    release_after_heard.push_back((released_s - it->last) * 1e3 - 150.0);
    if (std::abs(first_heard.back()) > 2.0 || std::abs(release_after_heard.back()) > 2.0) {
      std::fprintf(stderr, "courtesy %td: first tone heard %+.3f ms, release %+.3f ms%s\n",
                   &c - sent.data(), first_heard.back(), release_after_heard.back(),
                   c.after_idle ? " (after an idle spell)" : "");
    }
    first_rendered.push_back((it->first_rendered - keyed_s) * 1e3 - 150.0 - dot_ms);
    release_after_rendered.push_back((released_s - it->last_rendered) * 1e3 - 150.0);
  }
  for (std::size_t n = 0; n < groups.size(); ++n) {
    const auto& g = groups[n];
    if (g.size() != elements_ms.size()) {
      missing += g.size() < elements_ms.size() ? elements_ms.size() - g.size() : 0;
      std::fprintf(stderr, "courtesy %zu: %zu elements\n", n, g.size());
      continue;
    }
    for (std::size_t e = 0; e < g.size(); ++e) {
      const double error = std::abs(g[e].Ms() - elements_ms[e]);
      if (error > 1.0) {
        std::fprintf(stderr, "courtesy %zu: element %zu is %.3f ms\n", n, e, g[e].Ms());
      }
      element_errors.push_back(error);
      if (e == 0) first_errors.push_back(error);
      if (e == 0) continue;
      const double gap = rec::Segment{g[e - 1].end, g[e].begin}.Ms();
      if (std::abs(gap - gap_ms) > 1.0) {
        std::fprintf(stderr, "courtesy %zu: gap before element %zu is %.3f ms\n", n, e, gap);
      }
      gap_errors.push_back(std::abs(gap - gap_ms));
    }
  }
  if (groups.size() < sent.size()) missing += (sent.size() - groups.size()) * elements_ms.size();
  std::size_t unkeyed = 0;
  for (const Courtesy& c : sent) {
    if (c.keyed_ns < 0 || c.released_ns < 0) {
      ++unkeyed;
      continue;
    }
    if (static_cast<double>(c.keyed_ns - c.event_ns) / 1e6 > 102) {
      std::fprintf(stderr, "courtesy %td: keyed %.3f ms after its event\n", &c - sent.data(),
                   static_cast<double>(c.keyed_ns - c.event_ns) / 1e6);
    }
    const double keyed = static_cast<double>(c.released_ns - c.keyed_ns) / 1e6;
    if (std::abs(keyed - keyed_ms) > 2.0) {
      std::fprintf(stderr, "courtesy %td: keyed for %.3f ms\n", &c - sent.data(), keyed);
    }
    keyed_errors.push_back(std::abs(keyed - keyed_ms));
    leads.push_back(static_cast<double>(c.keyed_ns - c.event_ns) / 1e6);
  }

  std::printf("backend %s\n", BackendName());
  std::printf("courtesies %d\n", courtesies);
  std::printf("station_log %s\n", StationLogFile().empty() ? "off" : "on");
  std::printf("dot_ms %d\n", dot_ms);
  std::printf("elements_sent %zu\n", sent.size() * elements_ms.size());
  std::printf("elements_missing %zu\n", missing);
  std::printf("holes %zu\n", holes);
  std::printf("courtesies_unkeyed %zu\n", unkeyed);
  Print("element_error_ms", rec::SpreadOf(element_errors));
  Print("gap_error_ms", rec::SpreadOf(gap_errors));
  Print("first_element_error_ms", rec::SpreadOf(first_errors));
  Print("keyed_span_error_ms", rec::SpreadOf(keyed_errors));
  Print("lead_event_to_key_ms", rec::SpreadOf(leads));
  Print("device_opening_ms", rec::SpreadOf(openings));
  std::printf("courtesies_heard_in_their_keying %zu\n", first_heard.size());
  std::printf("heard_by %s\n", Ear::HeardBy());
  PrintSigned("first_tone_heard_error_ms", first_heard);
  PrintSigned("release_after_last_heard_error_ms", release_after_heard);
  PrintSigned("first_tone_rendered_error_ms", first_rendered);
  PrintSigned("release_after_last_rendered_error_ms", release_after_rendered);
  std::printf("late_edges %llu\n", static_cast<unsigned long long>(LateEdges()));
#ifdef _WIN32
  std::printf("feeder_underruns %llu\n", static_cast<unsigned long long>(Stats().underruns.load()));
#endif

  // Idle once the stream has stopped. On Linux the recorder goes first, so that the server
  // serves this program alone; under wine only the program's own share is measured.
#ifndef _WIN32
  if (const char* recorder = std::getenv("CORVANTA_RECORDER_PID")) {
    kill(static_cast<pid_t>(std::atol(recorder)), SIGINT);
  }
#endif
  Idle(5);
  const double cpu0 = rec::ProcessCpuSeconds();
#ifndef _WIN32
  const char* server_pid = std::getenv("CORVANTA_PULSE_PID");
  const double server0 = rec::OtherCpuSeconds(server_pid);
#endif
  const auto wall0 = std::chrono::steady_clock::now();
  Idle(idle_s);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  std::printf("idle_cpu_percent_program %.3f\n", 100.0 * (rec::ProcessCpuSeconds() - cpu0) / wall);
#ifndef _WIN32
  if (server0 >= 0) {
    std::printf("idle_cpu_percent_server %.3f\n",
                100.0 * (rec::OtherCpuSeconds(server_pid) - server0) / wall);
  }
#endif
  Window().Echolink.reset();
  ResetAudioState();
  SetMainWindowRef(nullptr);
  return 0;
}

}  // namespace
}  // namespace corvanta

int main() {
  return corvanta::Run();
}
