#pragma once
// A sound backend (SDL's, DirectSound's) with every buffer write timestamped, so a benchmark can
// compare the recorded edges with the calls that made them.
#include <cstddef>
#include <memory>
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

}  // namespace corvanta::bench
