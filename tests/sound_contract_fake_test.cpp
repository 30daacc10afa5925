// The sound contract against the recording fake every engine test uses, so that what those tests
// assume of the sound objects is what the real ones do.
#include "support/fakes/recording_sound.h"
#include "tests/contracts/sound_contract.h"

namespace corvanta {
namespace {

class RecordingSoundHarness {
 public:
  RecordingSoundHarness() { backend_.devices() = {"Built-in Audio", "Test-Sink"}; }
  SoundBackend& Backend() { return backend_; }
  std::string Device() const { return "Test-Sink"; }

 private:
  testing::RecordingSoundBackend backend_;
};

}  // namespace
}  // namespace corvanta

namespace corvanta::contracts {
INSTANTIATE_TYPED_TEST_SUITE_P(Recording, SoundContract, corvanta::RecordingSoundHarness);
}  // namespace corvanta::contracts
