// The measuring of recorded tones: a stretch the sound server lost must not read as a wrong
// frequency, and a tone that is itself broken must.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "support/recording.h"

namespace corvanta::recording {
namespace {

// 8-bit-like samples of a sine at `hz`, `n` long, with `cut` samples removed at each of `at`.
std::vector<std::int16_t> Tone(double hz, std::size_t n, std::vector<std::size_t> at = {},
                               std::size_t cut = 0) {
  std::vector<std::int16_t> out;
  for (std::size_t i = 0, k = 0; out.size() < n; ++i) {
    if (k < at.size() && out.size() == at[k]) {
      i += cut;
      ++k;
    }
    const double v = std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / kRate);
    out.push_back(static_cast<std::int16_t>(std::lround(v * 127) * 256));
  }
  return out;
}

TEST(Recording, AToneFrequencyIsMeasuredThroughOneLostStretchButNotThroughABrokenTone) {
  const std::size_t n = 20000;  // about 450 ms
  std::vector<std::size_t> every_loop;
  for (std::size_t at = 441; at < n; at += 441) every_loop.push_back(at);
  struct Row {
    const char* what;
    std::vector<std::int16_t> samples;
    double want, tolerance;
  } rows[] = {
      {"clean", Tone(806.97, n), 806.97, 0.05},
      {"35 samples lost once", Tone(806.97, n, {9000}, 35), 806.97, 0.05},
      {"lost twice", Tone(806.97, n, {5000, 15000}, 20), 806.97, 0.05},
      // A buffer that skips 20 samples at every loop: the fault shows.
      {"broken at every loop", Tone(806.97, n, every_loop, 20), 806.97 * 1.045, 2.0},
  };
  for (const Row& r : rows) {
    EXPECT_NEAR(FrequencyHz(r.samples, {0, r.samples.size()}), r.want, r.tolerance) << r.what;
  }
}

}  // namespace
}  // namespace corvanta::recording
