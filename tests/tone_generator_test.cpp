#include "engine/tone_generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "audio/audio_state.h"
#include "core/errors.h"
#include "support/fakes/test_world.h"

namespace corvanta {
namespace {

using testing::SoundCall;
using testing::TestWorld;

TEST(ToneHz, SettingToHertz) {
  const std::pair<std::int16_t, std::int32_t> table[] = {
      {300, 314},   {400, 536},   {500, 807}, {800, 1871}, {1000, 2757},
      {1500, 5466}, {1800, 7370}, {323, 360}, {511, 840},  {0, 1},
  };
  for (const auto& [setting, hz] : table) EXPECT_EQ(ToneHz(setting), hz) << setting;
  EXPECT_THROW(ToneHz(-1000), ArithmeticError);
  EXPECT_THROW(ToneHz(-32768), ArithmeticError);
}

TEST(BufferLength, HalvesGoToTheEvenNeighbour) {
  // 360 Hz: spc 122.5 -> n 122, count 4042.5 -> 4042. 840 Hz: spc 52.5 -> n 52, count 4095.
  const std::pair<std::int32_t, std::int32_t> table[] = {
      {314, 4073}, {807, 4044},   {2757, 4095}, {5466, 4131}, {7370, 4081}, {10, 4410},
      {11, 4009},  {44100, 4096}, {360, 4042},  {840, 4095},  {1, 44100},   {88199, 2048},
  };
  for (const auto& [hz, count] : table) EXPECT_EQ(BufferLength(hz), count) << hz << " Hz";
  EXPECT_THROW(BufferLength(0), ArithmeticError);
  EXPECT_THROW(BufferLength(88200), ArithmeticError);
  EXPECT_THROW(BufferLength(-5), ArithmeticError);
}

TEST(BufferLength, StaysNear4096OverTheWholeSlider) {
  std::int32_t lo = 1 << 30, hi = 0;
  for (int setting = 300; setting <= 1800; ++setting) {
    const std::int32_t n = BufferLength(ToneHz(static_cast<std::int16_t>(setting)));
    lo = std::min(lo, n);
    hi = std::max(hi, n);
  }
  EXPECT_EQ(lo, 3805);
  EXPECT_EQ(hi, 4432);
}

TEST(ToneSamples, WorkedBytes) {
  const std::vector<std::uint8_t> full = ToneSamples(2757, 1.0f, 1.0f);
  ASSERT_EQ(full.size(), 4095u);
  EXPECT_EQ(std::vector<std::uint8_t>(full.begin(), full.begin() + 8),
            (std::vector<std::uint8_t>{128, 176, 218, 245, 255, 245, 218, 176}));
  const std::vector<std::uint8_t> half = ToneSamples(2757, 0.5f, 1.0f);
  EXPECT_EQ(std::vector<std::uint8_t>(half.begin(), half.begin() + 5),
            (std::vector<std::uint8_t>{128, 152, 173, 186, 191}));
  for (std::int32_t hz : {314, 807, 7370, 10}) {
    const std::vector<std::uint8_t> silent = ToneSamples(hz, 0.0f, 1.0f);
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](std::uint8_t b) { return b == 128; }))
        << hz;
  }
  // A level past full scale does not fit a byte.
  EXPECT_THROW(ToneSamples(2757, 1.5f, 1.0f), ArithmeticError);
  // Without an opened device the amplitude factor is 0: every sample is silence.
  const std::vector<std::uint8_t> unscaled = ToneSamples(807, 1.0f, 0.0f);
  EXPECT_EQ(std::count(unscaled.begin(), unscaled.end(), 128), 4044);
}

TEST(PlayTone, OneBufferPerFrequencyWrittenWholeAndLooping) {
  TestWorld world;
  world.OpenDevice();
  PlayTone(807, 1.0f);
  PlayTone(807, 0.0f);
  PlayTone(2757, 0.5f);
  const auto creations = world.sound.CallsNamed("CreateSoundBuffer");
  ASSERT_EQ(creations.size(), 2u);
  // flags, length, then the wave format: PCM, mono, 44100/s, 44100 bytes/s, align 1, 8 bits, 0.
  EXPECT_EQ(creations[0].args,
            (std::vector<std::int64_t>{0x8000, 4044, 1, 1, 44100, 44100, 1, 8, 0}));
  EXPECT_EQ(creations[1].args[1], 4095);
  EXPECT_EQ(Audio.BufferDesc.lBufferBytes, 4095);
  const auto writes = world.sound.CallsNamed("WriteBuffer");
  ASSERT_EQ(writes.size(), 3u);
  for (const SoundCall& w : writes) EXPECT_EQ(w.args, (std::vector<std::int64_t>{0, 0, 2}));
  EXPECT_EQ(writes[2].bytes, ToneSamples(2757, 0.5f, 1.0f));
  for (const SoundCall& p : world.sound.CallsNamed("Play")) EXPECT_EQ(p.args[0], 1);
  // The first buffer was released when the second replaced it.
  const auto releases = world.sound.CallsNamed("Release");
  ASSERT_EQ(releases.size(), 1u);
  EXPECT_EQ(releases[0].object, creations[0].object);
}

TEST(PlayTone, FailedCreationKeepsTheLengthOfTheBufferHeld) {
  TestWorld world;
  world.OpenDevice();
  PlayTone(807, 0.0f);
  world.sound.faults().create_buffer = true;
  EXPECT_THROW(PlayTone(2757, 1.0f), AudioError);
  EXPECT_EQ(Audio.BufferDesc.lBufferBytes, 4044);
  world.sound.faults().create_buffer = false;
  PlayTone(807, 1.0f);  // the held buffer is still the right length: written, not remade
  EXPECT_EQ(world.sound.CallsNamed("CreateSoundBuffer").size(), 1u);
}

TEST(PlayTone, WithoutADeviceIsSilentAndSaysWhy) {
  TestWorld world;
  EXPECT_NO_THROW(PlayTone(807, 1.0f));
  EXPECT_TRUE(world.sound.calls().empty());
  EXPECT_EQ(world.window.status, "No output device open: tone not heard");
}

TEST(SoundElement, ToneForTheDurationThenSilenceAtTheSlidersLevel) {
  TestWorld world;
  world.OpenDevice();
  world.window.SetSlider(Slider::HScroll2, 50);
  SoundElement(1000, 300);
  const auto spans = testing::ToneSpans(world.sound.calls());
  ASSERT_EQ(spans.size(), 1u);
  EXPECT_EQ(spans[0].on_ms, 0);
  EXPECT_EQ(spans[0].off_ms, 300);
  EXPECT_EQ(spans[0].buffer_bytes, 4095u);
  EXPECT_EQ(world.sound.CallsNamed("WriteBuffer")[0].bytes, ToneSamples(2757, 0.5f, 1.0f));
}

TEST(SoundElement, FailedSilenceWriteStopsTheBufferSoNoToneIsLeftSounding) {
  TestWorld world;
  world.OpenDevice();
  world.window.SetSlider(Slider::HScroll2, 100);
  // The device goes away while the tone sounds: the silence cannot be written.
  world.platform.on_sleep = [&world](std::int32_t) { world.sound.faults().write = true; };
  EXPECT_THROW(SoundElement(500, 100), AudioError);
  const auto stops = world.sound.CallsNamed("Stop");
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_EQ(stops[0].at_ms, 100);
}

}  // namespace
}  // namespace corvanta
