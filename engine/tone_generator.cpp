#include "engine/tone_generator.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "audio/audio_state.h"
#include "core/errors.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/rounding.h"

namespace corvanta {
namespace {

// The literal the samples are computed with (bit pattern 0x400921FB54442D11), not full pi: the
// buffer bytes are fixed by it.
constexpr double kPi = 3.14159265358979;
constexpr std::int32_t kBufferTarget = 4096;

}  // namespace

std::int32_t ToneHz(std::int16_t setting) {
  const double a = std::log(setting / 1000.0 + 1.0);
  const double b = std::log(2.0);
  // Both factors in single precision, the product carried in double.
  const double p =
      static_cast<double>(static_cast<float>(setting)) * static_cast<double>(2.756125f);
  const double h = ((p * a) / b) + 1.0;
  return RoundToInt32(h);
}

std::int32_t BufferLength(std::int32_t hz) {
  if (hz < 1 || hz > 88199) {
    throw ArithmeticError("Division by zero: no tone buffer for " + std::to_string(hz) + " Hz");
  }
  const float spc = static_cast<float>(static_cast<double>(kSampleRate) /
                                       hz);  // samples per cycle, single precision
  const std::int32_t n = RoundToInt32(static_cast<double>(spc));
  const std::int32_t cycles = kBufferTarget / n;
  std::int32_t count = RoundToInt32(static_cast<double>(spc) * cycles);
  if (count == 0) count = n;  // 10 Hz and below: one cycle
  return count;
}

std::vector<std::uint8_t> ToneSamples(std::int32_t hz, float level, float amplitude_scale) {
  const std::int32_t count = BufferLength(hz);
  std::vector<std::uint8_t> samples(static_cast<std::size_t>(count));
  const double scale = static_cast<double>(amplitude_scale);
  const double lvl = static_cast<double>(level);
  for (std::int32_t i = 0; i < count; ++i) {
    const double x = ((static_cast<double>(2 * i) * kPi) / static_cast<double>(kSampleRate)) * hz;
    const float s = static_cast<float>(std::sin(x));
    const double value = ((scale * static_cast<double>(s)) * lvl + 1.0) * 127.5;
    samples[static_cast<std::size_t>(i)] = RoundToByte(value);
  }
  return samples;
}

void PlayTone(std::int32_t hz, float level) {
  std::vector<std::uint8_t> samples = ToneSamples(hz, level, Audio.AmplitudeScale);
  const auto count = static_cast<std::int32_t>(samples.size());
  if (count != Audio.BufferDesc.lBufferBytes) {
    if (!Audio.SoundDevice) {
      // Nothing to make a buffer with: keep the element's timing, say why it is silent.
      if (MainWindow* w = MainWindowRef())
        w->SetStatusText("No output device open: tone not heard");
      return;
    }
    DSBUFFERDESC desc = Audio.BufferDesc;
    desc.lBufferBytes = count;
    // The length field changes only once the new buffer exists, so it always describes the
    // buffer actually held.
    std::unique_ptr<DirectSoundBuffer> buffer =
        Audio.SoundDevice->CreateSoundBuffer(desc, Audio.WaveFormat);
    Audio.SoundBuffer = std::move(buffer);
    Audio.BufferDesc.lBufferBytes = count;
  }
  Audio.SoundBuffer->WriteBuffer(0, 0, samples, DSBLOCK_ENTIREBUFFER);
  Audio.SoundBuffer->Play(DSBPLAY_LOOPING);
}

std::int64_t OutputPathNs() {
  if (!Audio.SoundBuffer) return 0;
  try {
    return std::max<std::int64_t>(Audio.SoundBuffer->OutputDelayNs(), 0);
  } catch (const AudioError&) {
    return 0;  // the next write finds the output gone and says so
  }
}

void PrepareOutput(std::int16_t frequency_setting) {
  if (!Audio.SoundDevice) return;
  PlayTone(ToneHz(frequency_setting), 0.0f);
}

void SoundElement(std::int16_t frequency_setting, std::int16_t duration_ms) {
  const std::int32_t hz = ToneHz(frequency_setting);
  const int volume = Window().SliderValue(Slider::HScroll2);
  const float level = static_cast<float>(volume / 100.0);
  PlayTone(hz, level);
  Sleep(duration_ms);
  try {
    PlayTone(hz, 0.0f);
  } catch (...) {
    // A tone must never be left sounding: if the silence cannot be written, stop the buffer.
    try {
      if (Audio.SoundBuffer) Audio.SoundBuffer->Stop();
    } catch (...) {
    }
    throw;
  }
}

}  // namespace corvanta
