#pragma once
// Reading and measuring what the private null sink recorded: raw signed 16-bit mono at 44100/s.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/directsound_interface.h"  // kSampleRate

namespace corvanta::recording {

inline constexpr double kRate = kSampleRate;  // the recorder runs at the tones' rate

// Samples recorded so far (the file grows while the recorder runs).
std::size_t SampleCount(const std::filesystem::path& file);
// Waits (polling, at most `timeout_ms`) until the file holds at least `count` samples.
bool WaitForSamples(const std::filesystem::path& file, std::size_t count, int timeout_ms);
// Samples from `first` to the end of what is recorded now.
std::vector<std::int16_t> ReadFrom(const std::filesystem::path& file, std::size_t first);

// A run of sound: [begin, end) in samples, any sample other than 0 counting as sound, runs closer
// than `join` samples merged (a sine crosses zero inside a tone).
struct Segment {
  std::size_t begin;
  std::size_t end;
  double Ms() const { return static_cast<double>(end - begin) * 1000.0 / kRate; }
};
std::vector<Segment> FindSegments(const std::vector<std::int16_t>& samples, std::size_t join = 32);

// Frequency of the tone inside `s` from its upward zero crossings, interpolated between samples.
double FrequencyHz(const std::vector<std::int16_t>& samples, const Segment& s);

// Median, 95th percentile and maximum of `values` (copied, sorted); 0 for none.
struct Spread {
  double median = 0, p95 = 0, max = 0;
};
Spread SpreadOf(std::vector<double> values);

}  // namespace corvanta::recording
