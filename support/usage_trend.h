#pragma once
// Whether a long run grows: this process's resident memory, threads and handles sampled once a
// minute and printed as they are taken, and the slope of resident memory after a warm-up, so that
// warm-up and a real slope can be told apart.
//
// Thread rules: one thread; Tick only reads the process's accounting (a few file reads or one
// snapshot), well under a millisecond.
#include <cstdio>
#include <vector>

namespace corvanta::recording {

class UsageTrend {
 public:
  // `label` starts every printed line; samples taken before `warmup_s` count for nothing but the
  // printout.
  UsageTrend(const char* label, double warmup_s) : label_(label), warmup_s_(warmup_s) {}

  // Takes a sample at the first call and whenever a minute has passed since the last one.
  void Tick(double elapsed_s);
  // MB per hour of resident (or private) memory, from a least-squares line through the samples
  // after the warm-up; 0 with fewer than two.
  double GrowthMbPerHour(bool private_memory = false);
  // The growth and the samples it rests on, one line.
  void PrintGrowth(double elapsed_s);

  struct Sample {
    double at_s;
    double resident_mb;
    double private_mb;
    int threads;
    int handles;
  };
  const std::vector<Sample>& samples() const { return samples_; }

 private:
  void Take(double at_s);

  const char* label_;
  double warmup_s_;
  std::vector<Sample> samples_;
};

}  // namespace corvanta::recording
