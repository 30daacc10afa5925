#include "support/recording.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace corvanta::recording {

std::filesystem::path RecordingFile() {
  const char* file = std::getenv("CORVANTA_RECORDING");
  if (file == nullptr || *file == '\0') return {};
  const std::string path = file;
#ifdef _WIN32
  if (path.front() == '/') return std::filesystem::path("Z:" + path);
#endif
  return std::filesystem::path(path);
}

std::size_t SampleCount(const std::filesystem::path& file) {
  std::error_code ec;
  const auto bytes = std::filesystem::file_size(file, ec);
  return ec ? 0 : static_cast<std::size_t>(bytes / 2);
}

bool WaitForSamples(const std::filesystem::path& file, std::size_t count, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (SampleCount(file) < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<std::int16_t> ReadFrom(const std::filesystem::path& file, std::size_t first) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(first * 2));
  std::vector<std::int16_t> samples;
  std::int16_t s = 0;
  while (in.read(reinterpret_cast<char*>(&s), sizeof s)) samples.push_back(s);
  return samples;
}

std::vector<Segment> FindSegments(const std::vector<std::int16_t>& samples, std::size_t join) {
  std::vector<Segment> out;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i] == 0) continue;
    if (!out.empty() && i - out.back().end < join) {
      out.back().end = i + 1;
    } else {
      out.push_back({i, i + 1});
    }
  }
  return out;
}

std::vector<std::vector<Segment>> Groups(const std::vector<Segment>& segments,
                                         std::size_t silence) {
  std::vector<std::vector<Segment>> groups;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i == 0 || segments[i].begin - segments[i - 1].end >= silence) groups.emplace_back();
    groups.back().push_back(segments[i]);
  }
  return groups;
}

double FrequencyHz(const std::vector<std::int16_t>& samples, const Segment& s) {
  std::vector<double> crossings;
  for (std::size_t i = s.begin + 1; i < s.end; ++i) {
    const double a = samples[i - 1], b = samples[i];
    if (a < 0 && b >= 0) crossings.push_back(static_cast<double>(i - 1) + (-a) / (b - a));
  }
  if (crossings.size() < 2) return 0;
  std::vector<double> periods;
  for (std::size_t i = 1; i < crossings.size(); ++i)
    periods.push_back(crossings[i] - crossings[i - 1]);
  // A stretch the sound server lost or filled in (a loaded machine) breaks the cycle it falls in,
  // or two when the jump adds a crossing: up to four such cycles are left out. More are a fault
  // of the tone itself (a buffer that is not whole cycles breaks one at every loop) and count.
  std::vector<double> sorted = periods;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2),
                   sorted.end());
  const double median = sorted[sorted.size() / 2];
  double kept_sum = 0;
  std::size_t kept = 0;
  for (double p : periods) {
    if (std::abs(p - median) <= 0.02 * median) {
      kept_sum += p;
      ++kept;
    }
  }
  if (periods.size() - kept > 4) {
    kept = periods.size();
    kept_sum = crossings.back() - crossings.front();
  }
  return static_cast<double>(kept) * kRate / kept_sum;
}

Spread SpreadOf(std::vector<double> values) {
  Spread s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const auto at = [&values](double q) {
    const auto i = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size()))) - 1;
    return values[std::min(i, values.size() - 1)];
  };
  s.median = at(0.5);
  s.p95 = at(0.95);
  s.max = values.back();
  return s;
}

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

GrowthClock::GrowthClock(std::filesystem::path recording)
    : recording_(std::move(recording)), thread_([this] {
        while (polling_) {
          const double t = SteadySeconds();
          const std::size_t n = SampleCount(recording_);
          {
            std::lock_guard<std::mutex> lock(mutex_);
            polls_.emplace_back(t, n);
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }) {}

void GrowthClock::Stop() {
  polling_ = false;
  if (thread_.joinable()) thread_.join();
}

double GrowthClock::FirstSeen(std::size_t sample) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = std::upper_bound(
      polls_.begin(), polls_.end(), sample,
      [](std::size_t k, const std::pair<double, std::size_t>& p) { return k < p.second; });
  return it == polls_.end() ? polls_.back().first : it->first;
}

double GrowthClock::RenderedAt(std::size_t sample, double window_s) {
  const double seen = FirstSeen(sample);
  std::lock_guard<std::mutex> lock(mutex_);
  double offset = seen - static_cast<double>(sample) / kRate;
  for (const auto& [t, n] : polls_) {
    if (std::abs(t - seen) <= window_s) {
      offset = std::min(offset, t - static_cast<double>(n) / kRate);
    }
  }
  return static_cast<double>(sample) / kRate + offset;
}

}  // namespace corvanta::recording
