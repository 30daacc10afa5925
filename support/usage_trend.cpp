#include "support/usage_trend.h"

#include "support/process_stats.h"

namespace corvanta::recording {

void UsageTrend::Take(double at_s) {
  samples_.push_back({at_s, ResidentMb(), PrivateMb(), ThreadCount(), HandleCount()});
  const Sample& s = samples_.back();
  std::printf("%s minute %.1f: resident %.2f MB, private %.2f MB, threads %d, handles %d\n", label_,
              at_s / 60.0, s.resident_mb, s.private_mb, s.threads, s.handles);
  std::fflush(stdout);
}

void UsageTrend::Tick(double elapsed_s) {
  if (samples_.empty() || elapsed_s - samples_.back().at_s >= 60.0) Take(elapsed_s);
}

double UsageTrend::GrowthMbPerHour(bool private_memory) {
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const Sample& s : samples_) {
    if (s.at_s < warmup_s_) continue;
    const double x = s.at_s / 3600.0;
    const double y = private_memory ? s.private_mb : s.resident_mb;
    n += 1;
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  const double d = n * sxx - sx * sx;
  return n < 2 || d <= 0 ? 0.0 : (n * sxy - sx * sy) / d;
}

void UsageTrend::PrintGrowth(double elapsed_s) {
  if (samples_.empty() || elapsed_s - samples_.back().at_s >= 1.0) Take(elapsed_s);
  int after = 0;
  for (const Sample& s : samples_) after += s.at_s >= warmup_s_ ? 1 : 0;
  std::printf(
      "%s memory growth after %.0f s of warm-up: resident %.3f MB, private %.3f MB per hour (%d "
      "samples)\n",
      label_, warmup_s_, GrowthMbPerHour(), GrowthMbPerHour(true), after);
  std::fflush(stdout);
}

}  // namespace corvanta::recording
