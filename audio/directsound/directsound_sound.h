#pragma once
// The sound objects on the real DirectSound of Windows.
//
// Device i (1-based) is the i-th entry DirectSoundEnumerate gives, in its order ("Primary Sound
// Driver" first); its "GUID" is the entry's GUID as text, which DirectSoundCreate parses and
// opens again, so a device that vanished fails at opening. The program's looping buffer is heard
// through a streaming DirectSound buffer (8-bit unsigned mono 44100/s) that a feeder thread of
// its own keeps written ahead of the mixer, each write placed at the frame of its instant on the
// transmission's timeline, so that no edge waits for the mixer's next period.
//
// Thread rules: every function is called on the window thread. None processes window messages,
// so none re-enters the program. Blocking: listing and opening devices wait for the system's
// audio service (normally a few ms; under wine, tens of ms when a server is slow); starting a
// stream that stopped while idle waits for its mixer to move (one mixer period, at most 200 ms);
// the first tone of a stream started for it waits for its timing to settle (at most 300 ms after
// the start). Other buffer calls wait only for the feeder's lock (microseconds).
#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/directsound_interface.h"

namespace corvanta {

class DirectSoundBackend final : public SoundBackend {
 public:
  std::unique_ptr<DirectX7> CreateDirectX7() override;
};

// What the streams of this process have met, for the benchmarks and tests: edges asked for at a
// frame the mixer had already taken (heard at the write cursor instead), a feeder held up past
// everything it had written ahead, streams stopped for idleness, outputs let go while idle.
struct DirectSoundStats {
  std::atomic<std::uint64_t> late_edges{0};
  std::atomic<std::uint64_t> underruns{0};
  std::atomic<std::uint64_t> idle_stops{0};
  std::atomic<std::uint64_t> idle_releases{0};
  std::atomic<std::uint64_t> stalls{0};  // mixers that stood still: outputs taken for lost
  std::atomic<std::uint64_t> restarts{
      0};  // streams started afresh after a hold near a ring's length
};
DirectSoundStats& Stats();

// Tests: the next round of a stream's feeder thread holds still for `ms`, without the stream's
// lock, as a loaded machine holds a thread up; the window thread's calls go on meanwhile.
void HoldFeeders(std::int32_t ms);

// The text of a DirectSound or system result code, such as "DSERR_NODRIVER (0x88780078)".
std::string DirectSoundResultText(long hr);

}  // namespace corvanta
