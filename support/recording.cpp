#include "support/recording.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <thread>

namespace corvanta::recording {

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

double FrequencyHz(const std::vector<std::int16_t>& samples, const Segment& s) {
  double first = -1, last = -1;
  int crossings = 0;
  for (std::size_t i = s.begin + 1; i < s.end; ++i) {
    const double a = samples[i - 1], b = samples[i];
    if (a < 0 && b >= 0) {
      const double t = static_cast<double>(i - 1) + (-a) / (b - a);
      if (first < 0) first = t;
      last = t;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) * kRate / (last - first);
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

}  // namespace corvanta::recording
