// DirectSound, the real one (under wine: winepulse into the private null sink of
// scripts/null-sink.sh), and the whole station on it: the COM link simulator raises PTT, the
// courtesy is keyed through the COM link and recorded from the sink.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/audio_state.h"
#include "audio/directsound/directsound_sound.h"
#include "audio/sound_device.h"
#include "core/link.h"
#include "core/main_window.h"
#include "core/state.h"
#include "core/win32/win32_platform.h"
#include "core/window_handlers.h"
#include "engine/tone_generator.h"
#include "link/com/com_link.h"
#include "link/echolink_events.h"
#include "settings/settings.h"
#include "support/fakes/fake_main_window.h"
#include "support/recording.h"
#include "tests/contracts/sound_contract.h"

// Windows' headers define some names of the sound interface (WAVE_FORMAT_PCM) as macros: they
// come after it.
#include <windows.h>
#undef MessageBox

#include "tests/windows/sim_process.h"

namespace corvanta {
namespace {

namespace rec = recording;
using testing::PumpUntil;
using testing::SimProcess;

// Edges are placed at their samples; the tolerance is for what a loaded machine's sound server
// does to the stream under wine (a stall that lengthens a gap or an element by a few ms).
constexpr double kToleranceMs = 12.0;

std::string SinkDescription() {
  const char* sink = std::getenv("CORVANTA_SINK_DESCRIPTION");
  return sink != nullptr ? sink : "Test-Sink";
}

class DirectSoundHarness {
 public:
  SoundBackend& Backend() { return backend_; }
  std::string Device() const { return SinkDescription(); }

 private:
  DirectSoundBackend backend_;
};

TEST(DirectSound, ThePrimaryDriverComesFirstAndOpensTheDefaultOutput) {
  DirectSoundBackend backend;
  auto root = backend.CreateDirectX7();
  const auto outputs = root->GetDSEnum();
  ASSERT_GE(outputs->GetCount(), 2);
  EXPECT_EQ(outputs->GetDescription(1), "Primary Sound Driver");
  EXPECT_EQ(outputs->GetGuid(1), "{00000000-0000-0000-0000-000000000000}");
  auto device = root->DirectSoundCreate(outputs->GetGuid(1));
  ASSERT_TRUE(device != nullptr);
  device->SetCooperativeLevel(0, DSSCL_NORMAL);
  DSBUFFERDESC desc;
  desc.lFlags = DSBCAPS_GLOBALFOCUS;
  desc.lBufferBytes = 63;
  EXPECT_NO_THROW(device->CreateSoundBuffer(desc, kToneFormat));
}

TEST(DirectSound, TextsThatAreNoGuidOpenNothing) {
  DirectSoundBackend backend;
  auto root = backend.CreateDirectX7();
  for (const char* text : {"", "Test-Sink", "{00000000-0000-0000-0000-00000000000}",
                           "{12345678-1234-1234-1234-123456789abc}"}) {
    EXPECT_THROW(root->DirectSoundCreate(text), AudioError) << text;
  }
}

// The station: DirectSound output, the COM link to the simulator, the program's own handlers.
// The window is the fake one; its handle is a real window's, as DirectSound wants one.
class WindowsStation : public ::testing::Test {
 protected:
  void SetUp() override {
    recording_ = rec::RecordingFile();
    // A message-only window: there may be no display.
    window_handle_ = ::CreateWindowExW(0, L"STATIC", L"Corvanta test", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                       nullptr, ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window_handle_, nullptr);
    window.handle = reinterpret_cast<std::intptr_t>(window_handle_);
    ResetProcessState();
    ResetAudioState();
    Audio.Backend = &backend_;
    SetMainWindowRef(&window);
    window.on_device_click = [] { cmboDevice_Click(); };
    SetSettingsPath(std::filesystem::path(dir_.File(L"corvanta.cfg")));
    Flags.IsLoading = kTrue;
    CreateDxRoot();
    LoadSoundDevices();
    Flags.IsLoading = kFalse;
    ASSERT_TRUE(sim_.Start());
  }
  void TearDown() override {
    if (::testing::Test::HasFailure()) {
      for (const std::string& s : window.status_history)
        std::fprintf(stderr, "status: %s\n", s.c_str());
      for (const std::string& l : sim_.Lines()) std::fprintf(stderr, "linksim: %s\n", l.c_str());
    }
    Window().Echolink.reset();
    LinkObjectFactory() = nullptr;
    ResetAudioState();
    SetMainWindowRef(nullptr);
    ResetProcessState();
    if (window_handle_ != nullptr) ::DestroyWindow(window_handle_);
  }

  void ChooseSink() {
    for (int i = 0; i < window.DeviceCount(); ++i) {
      if (window.devices[static_cast<std::size_t>(i)] == SinkDescription()) {
        window.SelectDevice(i);
        return;
      }
    }
    ADD_FAILURE() << SinkDescription() << " is not in the device list";
  }

  // Start pressed with the link object made, as the program starts.
  void StartMonitoring() {
    InstallLinkEventHandlers();
    ComLinkOptions options;
    options.status = [](const std::string& text) { Window().SetStatusText(text); };
    LinkObjectFactory() = ComLinkFactory(options);
    CreateLinkObject();
    ASSERT_TRUE(Window().Echolink != nullptr);
    cmdEchoLink_Click();
    ASSERT_EQ(Flags.IsMonitoring, kTrue);
  }

  // Start pressed on the sink at full volume and tone setting 500, with `character` as the RX
  // courtesy at the dot time DotBase - SpeedSetting.
  void MonitorWith(const char* character, std::int16_t dot_base, std::int16_t speed) {
    ASSERT_FALSE(recording_.empty()) << "run this test through scripts/null-sink.sh";
    ChooseSink();
    window.SetSlider(Slider::HScroll2, 100);
    Settings.RxCourtesyText = character;
    Settings.DotBase = dot_base;
    Settings.SpeedSetting = speed;
    Settings.ToneFrequency = 500;
    StartMonitoring();
  }

  std::vector<std::int16_t> Heard(std::size_t start) {
    const auto want = rec::SampleCount(recording_) + static_cast<std::size_t>(0.5 * rec::kRate);
    EXPECT_TRUE(rec::WaitForSamples(recording_, want, 5000));
    return rec::ReadFrom(recording_, start);
  }

  testing::FakeMainWindow window;
  Win32Platform platform;
  ScopedPlatform installed{platform};
  SimProcess sim_;
  testing::TempDir dir_;
  std::filesystem::path recording_;

 private:
  DirectSoundBackend backend_;
  HWND window_handle_ = nullptr;
};

// What was wrong with the courtesy "k" (dash, dot, dash at 150 ms dots, tone setting 500) heard
// in `heard`; empty when it was whole and exact.
std::string CourtesyFault(const std::vector<std::int16_t>& heard) {
  const auto segments = rec::FindSegments(heard, rec::kServerHoleJoin);
  std::string fault;
  for (const auto& s : segments) {
    std::printf("segment at %.1f ms, %.1f ms long, %.3f Hz\n",
                static_cast<double>(s.begin - segments[0].begin) * 1000.0 / rec::kRate, s.Ms(),
                rec::FrequencyHz(heard, s));
  }
  // A hole inside a tone would split it and show as a fourth segment.
  if (segments.size() != 3) return std::to_string(segments.size()) + " runs of sound; ";
  const double nominal[] = {450, 150, 450};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string element = "element " + std::to_string(i) + ": ";
    if (std::abs(segments[i].Ms() - nominal[i]) > kToleranceMs) {
      fault += element + std::to_string(segments[i].Ms()) + " ms; ";
    }
    const double hz = rec::FrequencyHz(heard, segments[i]);
    if (std::abs(hz - ToneHz(500)) > 0.1) fault += element + std::to_string(hz) + " Hz; ";
    if (i > 0) {
      const rec::Segment gap{segments[i - 1].end, segments[i].begin};
      if (std::abs(gap.Ms() - 150.0) > kToleranceMs) {
        fault += "gap before " + element + std::to_string(gap.Ms()) + " ms; ";
      }
    }
  }
  return fault;
}

// Every courtesy is keyed and released; its sound is judged whole and exact in up to three tries.
// A loaded machine's sound server under wine now and then stalls inside a tone (more often in a
// process's first stream): the program's own share, a stream that never ran dry and every key
// released, must hold for all of them; and a fault of the tone itself (a wrong frequency, a hole
// of the program's making, wrong lengths) fails every try.
TEST_F(WindowsStation, APttEventGivesTheRxCharacterKeyedAndOnTheAir) {
  ASSERT_NO_FATAL_FAILURE(MonitorWith("k", 250, 100));  // 150 ms dots
  std::string faults;
  bool whole = false;
  for (std::size_t n = 1; n <= 3 && !whole; ++n) {
    const std::size_t start = rec::SampleCount(recording_);
    sim_.Command("ptt 1");
    sim_.Command("ptt 0");
    ASSERT_TRUE(PumpUntil([&] { return sim_.Records("SETPTT").size() >= 2 * n; }, 20000))
        << "courtesy " << n << " was not keyed";
    ASSERT_TRUE(PumpUntil([&] { return !sim_.Keyed(); }, 5000));
    const std::string fault = CourtesyFault(Heard(start));
    whole = fault.empty();
    if (!whole) faults += "courtesy " + std::to_string(n) + ": " + fault + "\n";
  }
  for (const std::string& line : sim_.Lines()) std::printf("linksim: %s\n", line.c_str());
  const std::vector<bool> requests = sim_.Requests();
  for (std::size_t i = 0; i < requests.size(); ++i) EXPECT_EQ(requests[i], i % 2 == 0) << i;
  EXPECT_FALSE(sim_.Keyed());
  EXPECT_EQ(Stats().underruns.load(), 0u) << "the stream ran out of what was written ahead";
  EXPECT_TRUE(whole) << faults << "late edges " << Stats().late_edges << ", stalls "
                     << Stats().stalls;
  if (whole && !faults.empty()) std::printf("tried again after:\n%s", faults.c_str());
}

// At 53 ms dots, off the 10 ms period of wine's mixer, the elements and gaps of six courtesies
// (the last after its output was let go for idleness) are heard as long as the timeline says: a
// backend that rewrote its buffer for the mixer's next period would be 3 ms out in the median
// (7 ms at the 95th percentile). The median keeps a rare stall of a loaded machine's sound server
// out of the verdict.
TEST_F(WindowsStation, ElementsAndGapsFollowTheTimelineAtADotTimeOffTheMixersPeriod) {
  ASSERT_NO_FATAL_FAILURE(MonitorWith("r", 260, 207));  // 53 ms dots
  const std::size_t start = rec::SampleCount(recording_);
  const std::uint64_t releases = Stats().idle_releases.load();
  for (std::size_t n = 1; n <= 6; ++n) {
    if (n == 6) {
      // The last one after an idle spell: the stream stops, the window's look at the output lets
      // the output go, and the event opens it again.
      ASSERT_TRUE(PumpUntil(
          [&] {
            CheckSoundOutput();
            return Stats().idle_releases.load() > releases;
          },
          10000));
    }
    sim_.Command("ptt 1");
    sim_.Command("ptt 0");
    ASSERT_TRUE(PumpUntil([&] { return sim_.Records("SETPTT").size() >= 2 * n; }, 20000));
    ASSERT_TRUE(PumpUntil([&] { return !sim_.Keyed(); }, 5000));
  }
  // Holes shorter than a quarter dot are joined; a longer stall of the server splits an element,
  // and that courtesy is left out (the program's own holes are counted by the backend).
  const auto heard = Heard(start);
  const auto groups =
      rec::Groups(rec::FindSegments(heard, static_cast<std::size_t>(kSampleRate) * 13 / 1000),
                  static_cast<std::size_t>(kSampleRate) * 400 / 1000);
  ASSERT_EQ(groups.size(), 6u);
  const double nominal[] = {53, 159, 53};
  std::vector<double> errors;
  std::size_t whole = 0;
  for (const auto& g : groups) {
    if (g.size() != 3) {
      std::printf("a courtesy heard as %zu runs of sound\n", g.size());
      continue;
    }
    ++whole;
    for (std::size_t i = 0; i < 3; ++i) {
      errors.push_back(std::abs(g[i].Ms() - nominal[i]));
      if (i > 0) errors.push_back(std::abs(rec::Segment{g[i - 1].end, g[i].begin}.Ms() - 53));
    }
  }
  EXPECT_GE(whole, 4u);
  const rec::Spread spread = rec::SpreadOf(errors);
  std::printf("element and gap error at 53 ms dots: median %.3f ms, max %.3f ms\n", spread.median,
              spread.max);
  std::printf("late edges %llu, stalls %llu\n",
              static_cast<unsigned long long>(Stats().late_edges.load()),
              static_cast<unsigned long long>(Stats().stalls.load()));
  EXPECT_LE(spread.median, 1.0);
  EXPECT_EQ(Stats().underruns.load(), 0u);
}

// No sound server at all (run with CORVANTA_NO_SOUND_SERVER set and PULSE_SERVER naming none):
// the list is empty, nothing opens, and a link event keys nothing for a courtesy nobody would
// hear.
class WithoutASoundServer : public WindowsStation {
 protected:
  void SetUp() override {
    if (std::getenv("CORVANTA_NO_SOUND_SERVER") == nullptr) {
      GTEST_SKIP() << "needs a machine without a sound server (the windows_no_sound_server test)";
    }
    WindowsStation::SetUp();
  }
};

TEST_F(WithoutASoundServer, NothingIsListedNothingOpensAndNothingIsKeyed) {
  EXPECT_TRUE(window.devices.empty());
  EXPECT_EQ(window.status, "No sound output device found");
  DirectSoundBackend backend;
  EXPECT_THROW(
      backend.CreateDirectX7()->DirectSoundCreate("{00000000-0000-0000-0000-000000000000}"),
      AudioError);
  // The settings of a station whose output was there last time.
  Settings.DeviceIndex = "1";
  Settings.DeviceName = "Primary Sound Driver";
  Settings.RxCourtesyText = "k";
  StartMonitoring();
  sim_.Command("ptt 0");
  ASSERT_TRUE(PumpUntil(
      [&] { return window.status.find("RX courtesy skipped") != std::string::npos; }, 10000))
      << window.status;
  EXPECT_TRUE(sim_.Requests().empty()) << "keyed for a courtesy nobody can hear";
}

// The platform of the window program, with a hold put on the stream's feeder thread where a
// courtesy's tail begins (its second 150 ms wait, at dots of 120 ms: the character's last write
// has just been made), or at the key's release; nothing else feeds the stream until the next
// courtesy.
class CourtesyHold final : public Platform {
 public:
  explicit CourtesyHold(Platform& base) : base_(base) {}
  void Sleep(std::int32_t ms) override {
    if (ms == 150 && ++waits_of_150_ == 2 && !at_release) Hold();
    base_.Sleep(ms);
  }
  void Pause(std::int32_t ms) override { base_.Pause(ms); }
  void DoEvents() override { base_.DoEvents(); }
  std::int64_t NowMs() override { return base_.NowMs(); }
  void MessageBox(const std::string& text, const std::string& title, MsgIcon icon) override {
    base_.MessageBox(text, title, icon);
  }
  void OpenTimeline() override {
    waits_of_150_ = 0;
    base_.OpenTimeline();
  }
  void OpenTimelineAt(std::int64_t started_ns) override {
    waits_of_150_ = 0;
    base_.OpenTimelineAt(started_ns);
  }
  void CloseTimeline() override {
    base_.CloseTimeline();
    if (at_release) Hold();
  }
  std::int64_t TimelineNowNs() override { return base_.TimelineNowNs(); }
  std::int64_t EdgeInstantNs() override { return base_.EdgeInstantNs(); }
  void AnchorTimeline(std::int64_t at_ns) override { base_.AnchorTimeline(at_ns); }

  // For the next courtesy: how long, and whether at the key's release rather than the tail.
  std::int32_t hold_ms = 0;
  bool at_release = false;
  std::chrono::steady_clock::time_point held_at;

 private:
  void Hold() {
    if (hold_ms <= 0) return;
    held_at = std::chrono::steady_clock::now();
    HoldFeeders(std::exchange(hold_ms, 0));
  }
  Platform& base_;
  int waits_of_150_ = 0;
};

double SteadyMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// When each recorded sample was heard, on the steady clock the simulator stamps its log with:
// the recorder's file is looked at every 2 ms, and a sample counted by then was heard no later.
// The least of those bounds, over the whole recording, is the recorder's own pace without the
// moments this machine held it or the looking up.
class SampleClock {
 public:
  explicit SampleClock(std::filesystem::path file)
      : file_(std::move(file)), thread_([this] {
          while (!stop_) {
            const auto count = static_cast<double>(rec::SampleCount(file_));
            const double offset = SteadyMs() - count * 1000.0 / rec::kRate;
            if (offset < offset_ms_) offset_ms_ = offset;
            ::Sleep(2);
          }
        }) {}
  ~SampleClock() {
    stop_ = true;
    thread_.join();
  }
  SampleClock(const SampleClock&) = delete;
  SampleClock& operator=(const SampleClock&) = delete;
  double MsOf(std::size_t index) const {
    return offset_ms_ + static_cast<double>(index) * 1000.0 / rec::kRate;
  }

 private:
  std::filesystem::path file_;
  std::atomic<double> offset_ms_{1e300};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class FeederHeldUp : public WindowsStation {
 protected:
  // The transmitter's spans in the simulator's log, in ms of the steady clock.
  std::vector<std::pair<double, double>> KeyedSpans() const {
    std::vector<std::pair<double, double>> spans;
    for (const std::string& line : sim_.Lines()) {
      const std::size_t at = line.find(" TRANSMITTER ");
      if (at == std::string::npos) continue;
      if (line[at + 13] == '1') {
        spans.push_back({std::stod(line), 1e300});
      } else if (!spans.empty()) {
        spans.back().second = std::stod(line);
      }
    }
    return spans;
  }
  void Courtesy() {
    const std::size_t keyed = sim_.Records("SETPTT").size();
    sim_.Command("ptt 1");
    sim_.Command("ptt 0");
    ASSERT_TRUE(PumpUntil([&] { return sim_.Records("SETPTT").size() >= keyed + 2; }, 20000));
    ASSERT_TRUE(PumpUntil([&] { return !sim_.Keyed(); }, 5000));
  }
};

// The feeder held up inside a courtesy: at its tail, past everything it had rendered ahead
// (300 ms) and past the time its cursors are trusted (1.2 s), and at the key's release for longer
// than the ring (2.4 s), each time with the next courtesy raised as the hold ends. Nothing is
// heard outside the elements (no stretch played a lap before heard again), and every courtesy's
// character, whole and exact, lies inside its transmitter's keyed span, the next courtesy's
// included (a stream that lost count of a lap would place it a lap late).
TEST_F(FeederHeldUp, NothingIsHeardOutsideTheElementsAndTheCharacterStaysKeyed) {
  ASSERT_NO_FATAL_FAILURE(MonitorWith("o", 220, 100));  // 120 ms dots: three 360 ms dashes
  CourtesyHold hold(platform);
  ScopedPlatform installed_hold(hold);
  SampleClock clock(recording_);
  const std::size_t start = rec::SampleCount(recording_);
  const std::uint64_t restarts = Stats().restarts.load();
  const struct {
    std::int32_t ms;
    bool at_release;
  } holds[] = {{300, false}, {1200, false}, {2400, true}};
  for (const auto& h : holds) {
    hold.hold_ms = h.ms;
    hold.at_release = h.at_release;
    ASSERT_NO_FATAL_FAILURE(Courtesy());
    const auto end = hold.held_at + std::chrono::milliseconds(h.ms + 20);
    PumpUntil([&] { return std::chrono::steady_clock::now() >= end; }, h.ms + 2000);
    hold.at_release = false;
    ASSERT_NO_FATAL_FAILURE(Courtesy());
  }
  const auto heard = Heard(start);
  const auto spans = KeyedSpans();
  const auto segments = rec::FindSegments(heard, rec::kServerHoleJoin);
  std::vector<std::vector<rec::Segment>> inside(spans.size());
  for (const rec::Segment& s : segments) {
    const double on = clock.MsOf(start + s.begin), off = clock.MsOf(start + s.end - 1);
    std::size_t k = 0;
    while (k < spans.size() && !(on >= spans[k].first && off <= spans[k].second)) ++k;
    if (k == spans.size()) {
      ADD_FAILURE() << "tone of " << s.Ms() << " ms outside every keyed span, at " << on;
      continue;
    }
    std::printf("segment %.1f ms, %.1f ms after key down, %.1f ms before key up\n", s.Ms(),
                on - spans[k].first, spans[k].second - off);
    inside[k].push_back(s);
  }
  // Before the checks: a hole the program made itself shows in these counts (each hold makes
  // one underrun), one the sound server made does not.
  std::printf("underruns %llu, restarts %llu, late edges %llu\n",
              static_cast<unsigned long long>(Stats().underruns.load()),
              static_cast<unsigned long long>(Stats().restarts.load()),
              static_cast<unsigned long long>(Stats().late_edges.load()));
  for (std::size_t k = 0; k < spans.size(); ++k) {
    SCOPED_TRACE("courtesy " + std::to_string(k + 1));
    ASSERT_EQ(inside[k].size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_NEAR(inside[k][i].Ms(), 360.0, kToleranceMs);
      if (i > 0) {
        const rec::Segment gap{inside[k][i - 1].end, inside[k][i].begin};
        EXPECT_NEAR(gap.Ms(), 120.0, kToleranceMs);
      }
    }
  }
  EXPECT_EQ(spans.size(), 6u);
  EXPECT_EQ(Stats().restarts.load() - restarts, 2u) << "only the long holds restart the stream";
}

}  // namespace
}  // namespace corvanta

namespace corvanta::contracts {
INSTANTIATE_TYPED_TEST_SUITE_P(DirectSound, SoundContract, corvanta::DirectSoundHarness);
}  // namespace corvanta::contracts
