// Plays through the real SDL path into the private null sink of scripts/null-sink.sh and checks
// what the sink's recorder heard.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "audio/audio_state.h"
#include "audio/sdl_sound.h"
#include "audio/sound_device.h"
#include "bench/recording.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "engine/morse_sender.h"
#include "engine/tone_generator.h"
#include "tests/fakes/fake_main_window.h"

namespace corvanta {
namespace {

namespace rec = recording;

// One callback period (256 frames) plus 2 ms.
constexpr double kToleranceMs = 256 * 1000.0 / 44100.0 + 2.0;

struct AudioEndToEnd : ::testing::Test {
  void SetUp() override {
    const char* file = std::getenv("CORVANTA_RECORDING");
    ASSERT_NE(file, nullptr) << "run this test through scripts/null-sink.sh";
    recording = file;
    ResetProcessState();
    ResetAudioState();
    backend = std::make_unique<SdlSoundBackend>();
    Audio.Backend = backend.get();
    SetMainWindowRef(&window);
    window.on_device_click = [] { cmboDevice_Click(); };
    Flags.IsLoading = kTrue;
    CreateDxRoot();
    LoadSoundDevices();
    Flags.IsLoading = kFalse;
  }
  void TearDown() override {
    ResetAudioState();
    backend.reset();
    SetMainWindowRef(nullptr);
    ResetProcessState();
  }

  void ChooseTestSink() {
    const auto it = std::find(window.devices.begin(), window.devices.end(), "Test-Sink");
    ASSERT_NE(it, window.devices.end());
    window.SelectDevice(static_cast<int>(it - window.devices.begin()));
    ASSERT_EQ(window.status, "Sound Initilisation Completed");
  }

  // A new stream plays its first samples at once and only then fills the server's queue to its
  // steady depth, so its first edge comes early. The buffer lives for the whole run, so this
  // touches only the first tone of a run; settle the stream before timing edges.
  void SettleStream(std::int16_t frequency_setting) {
    PlayTone(ToneHz(frequency_setting), 0.0f);
    Sleep(300);
  }

  // The sound recorded from `start` on, once what was played before this call has been heard:
  // every edge reaches the sink a fixed latency after its call.
  std::vector<std::int16_t> Heard(std::size_t start) {
    const auto want = rec::SampleCount(recording) + static_cast<std::size_t>(0.3 * rec::kRate);
    EXPECT_TRUE(rec::WaitForSamples(recording, want, 5000));
    return rec::ReadFrom(recording, start);
  }

  std::filesystem::path recording;
  std::unique_ptr<SdlSoundBackend> backend;
  testing::FakeMainWindow window;
  StdPlatform platform;
  ScopedPlatform installed{platform};
};

TEST_F(AudioEndToEnd, NullSinkIsListedAndPlaysSetting500At807Hz) {
  ChooseTestSink();
  window.SetSlider(Slider::HScroll2, 100);
  SettleStream(500);
  const std::size_t start = rec::SampleCount(recording);
  SoundElement(500, 400);
  const auto heard = Heard(start);
  const auto segments = rec::FindSegments(heard);
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_NEAR(rec::FrequencyHz(heard, segments[0]), 807.0, 1.0);
  const auto peak = *std::max_element(heard.begin(), heard.end());
  EXPECT_EQ(peak, (255 - 128) * 256);  // full level reaches the top byte
}

TEST_F(AudioEndToEnd, DotsAndDashesKeepTheirDurationsWithTrueSilenceBetween) {
  ChooseTestSink();
  window.SetSlider(Slider::HScroll2, 80);
  Settings.DotBase = 250;
  Settings.SpeedSetting = 190;  // 60 ms dots
  Settings.ToneFrequency = 700;
  SettleStream(Settings.ToneFrequency);
  const std::size_t start = rec::SampleCount(recording);
  std::string pattern = "-.-..";
  SendMorse(pattern);
  const auto heard = Heard(start);
  const auto segments = rec::FindSegments(heard);
  const double nominal[] = {180, 60, 180, 60, 60};
  ASSERT_EQ(segments.size(), 5u);  // anything but exact silence between would add segments
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_NEAR(segments[i].Ms(), nominal[i], kToleranceMs) << "element " << i;
    if (i > 0) {
      const rec::Segment gap{segments[i - 1].end, segments[i].begin};
      EXPECT_NEAR(gap.Ms(), 60.0, kToleranceMs) << "gap before element " << i;
    }
  }
}

TEST_F(AudioEndToEnd, ReopeningTheDeviceDoesNotInterruptAPlayingTone) {
  ChooseTestSink();
  SettleStream(500);
  const std::size_t start = rec::SampleCount(recording);
  PlayTone(807, 1.0f);
  Sleep(150);
  RestartSoundDevice();
  RestartSoundDevice();
  Sleep(150);
  PlayTone(807, 0.0f);
  const auto heard = Heard(start);
  const auto segments = rec::FindSegments(heard);
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_NEAR(segments[0].Ms(), 300.0, kToleranceMs);
}

}  // namespace
}  // namespace corvanta
