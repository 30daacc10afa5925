#pragma once
// A sound backend that keeps every call made on its objects, with the virtual time of the call and
// the bytes of every buffer write, and can be told to fail any operation.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/directsound_interface.h"

namespace corvanta::testing {

struct SoundCall {
  std::int64_t at_ms = 0;
  std::string op;  // "DirectSoundCreate", "CreateSoundBuffer", "WriteBuffer", "Play", ...
  int object = 0;  // serial number of the buffer or device the call was made on
  std::vector<std::int64_t> args;
  std::string text;                 // a GUID, for device creation
  std::vector<std::uint8_t> bytes;  // a write's contents
};

struct SoundFaults {
  bool create_device = false;
  bool create_buffer = false;
  bool write = false;
  bool play = false;
  bool stop = false;
  bool lost = false;  // the output went away: status BUFFERLOST, writes fail
};

class RecordingSoundBackend final : public SoundBackend {
 public:
  explicit RecordingSoundBackend(std::function<std::int64_t()> clock = {});
  std::unique_ptr<DirectX7> CreateDirectX7() override;

  // The machine's output devices as the next enumerator sees them. Removing one later makes its
  // opening fail (a device that vanished) while enumerators keep listing it.
  std::vector<std::string>& devices();
  SoundFaults& faults();
  // What every buffer says its output path takes (OutputDelayNs); 0 unless a test sets it.
  std::int64_t& output_delay_ns();
  const std::vector<SoundCall>& calls() const;
  std::vector<SoundCall> CallsNamed(const std::string& op) const;
  // Each output has a GUID of its own, as DirectSound gives, also two outputs of one name:
  // `occurrence` counts the outputs of that name from the top of the list.
  static std::string GuidFor(const std::string& description, int occurrence = 1) {
    return "{guid:" + description + (occurrence > 1 ? "#" + std::to_string(occurrence) : "") + "}";
  }

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

// Tone edges from the recorded writes: a write with any byte other than 128 switches the tone on,
// an all-128 write switches it off.
struct ToneSpan {
  std::int64_t on_ms;
  std::int64_t off_ms;
  std::size_t buffer_bytes;
  std::uint8_t peak;  // the largest byte of the tone write
};
std::vector<ToneSpan> ToneSpans(const std::vector<SoundCall>& calls);

}  // namespace corvanta::testing
