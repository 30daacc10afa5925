#pragma once
// Reading and measuring what the private null sink recorded: raw signed 16-bit mono at 44100/s.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/directsound_interface.h"  // kSampleRate

namespace corvanta::recording {

inline constexpr double kRate = kSampleRate;  // the recorder runs at the tones' rate

// The recorder's file named by CORVANTA_RECORDING as this program sees it (under wine a Unix path
// is on drive Z:); empty outside scripts/null-sink.sh.
std::filesystem::path RecordingFile();

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
// Under wine on a loaded machine the sound server's stream of a program can run dry for a few
// milliseconds (seen up to 6 ms): a hole inside a tone, or a gap made longer, that the program
// did not write. Tests under wine join runs of sound across holes this short; the DirectSound
// backend counts holes of its own making (Stats().underruns), which must stay nil.
inline constexpr std::size_t kServerHoleJoin = kSampleRate * 8 / 1000;

// `segments` cut into groups (courtesies) at every silence of at least `silence` samples.
std::vector<std::vector<Segment>> Groups(const std::vector<Segment>& segments, std::size_t silence);

// Frequency of the tone inside `s` from its upward zero crossings, interpolated between samples.
// Up to four cycles broken by a stretch the sound server lost or filled in are left out.
double FrequencyHz(const std::vector<std::int16_t>& samples, const Segment& s);

// Median, 95th percentile and maximum of `values` (copied, sorted); 0 for none.
struct Spread {
  double median = 0, p95 = 0, max = 0;
};
Spread SpreadOf(std::vector<double> values);

// The steady clock now, in s: the clock GrowthClock places samples on.
double SteadySeconds();

// Polls the recording's length against the clock from a thread of its own: the first poll that
// found a sample recorded is an upper bound on when the sink rendered it (the poll period and the
// recorder's latency add).
class GrowthClock {
 public:
  explicit GrowthClock(std::filesystem::path recording);
  ~GrowthClock() { Stop(); }
  GrowthClock(const GrowthClock&) = delete;
  GrowthClock& operator=(const GrowthClock&) = delete;
  void Stop();
  double FirstSeen(std::size_t sample);
  // When the sink rendered `sample` (steady clock, s): the sink renders at a steady pace, so the
  // earliest any poll within window_s of it saw the recording that long is the closest bound
  // (the recorder's own few ms of latency remain in it).
  double RenderedAt(std::size_t sample, double window_s = 5.0);

 private:
  std::filesystem::path recording_;
  std::vector<std::pair<double, std::size_t>> polls_;
  std::mutex mutex_;
  std::atomic<bool> polling_{true};
  std::thread thread_;
};

}  // namespace corvanta::recording
