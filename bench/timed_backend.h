#pragma once
// A sound backend (SDL's, DirectSound's) with every buffer write timestamped, so a benchmark can
// compare the recorded edges with the calls that made them.
#include <atomic>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "audio/directsound_interface.h"
#include "support/fakes/fake_main_window.h"

namespace corvanta::bench {

struct Write {
  double at_s;  // steady clock, when the call was made
  bool tone;    // any byte other than silence
};
// Every write made through a TimedBackend, in order (window thread only).
std::vector<Write>& Writes();
double NowSeconds();

class TimedBackend final : public SoundBackend {
 public:
  explicit TimedBackend(SoundBackend& inner) : inner_(inner) {}
  std::unique_ptr<DirectX7> CreateDirectX7() override;

 private:
  SoundBackend& inner_;
};

// Lists the devices into `window` (installed as the main window), opens the null sink's
// "Test-Sink" through `backend` and sets full volume, 50 ms dots and setting 500. False, with a
// message, when the sink is not listed.
bool OpenTestSink(testing::FakeMainWindow& window, TimedBackend& backend);

// Tone on/off call pairs from `writes`: a tone write followed by a silent one.
struct Element {
  double on_s, off_s;
};
std::vector<Element> Elements(const std::vector<Write>& writes, std::size_t from = 0);

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

}  // namespace corvanta::bench
