#pragma once
// What every sound backend's objects must do, whoever implements them: one suite, run against
// each backend through a harness.
//
// A harness H is default-constructible and offers:
//   SoundBackend& Backend()   the backend under test
//   std::string Device()      the description of an output that is present
//
// Instantiate with INSTANTIATE_TYPED_TEST_SUITE_P(Name, SoundContract, Harness).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/directsound_interface.h"
#include "core/errors.h"

namespace corvanta::contracts {

template <typename H>
class SoundContract : public ::testing::Test {
 protected:
  static constexpr std::int32_t kLength = 4096;

  // The device `Device()` opened through its enumeration, as the program opens it.
  std::unique_ptr<DirectSound> Open() {
    root_ = harness.Backend().CreateDirectX7();
    const auto outputs = root_->GetDSEnum();
    for (std::int32_t i = 1; i <= outputs->GetCount(); ++i) {
      if (outputs->GetDescription(i) == harness.Device()) {
        auto device = root_->DirectSoundCreate(outputs->GetGuid(i));
        device->SetCooperativeLevel(0, DSSCL_NORMAL);
        return device;
      }
    }
    ADD_FAILURE() << harness.Device() << " is not listed";
    return nullptr;
  }
  static DSBUFFERDESC Desc(std::int32_t bytes) {
    DSBUFFERDESC desc;
    desc.lFlags = DSBCAPS_GLOBALFOCUS;
    desc.lBufferBytes = bytes;
    return desc;
  }
  std::unique_ptr<DirectSoundBuffer> Buffer() {
    auto device = Open();
    if (!device) return nullptr;
    return device->CreateSoundBuffer(Desc(kLength), kToneFormat);
  }

  H harness;

 private:
  std::unique_ptr<DirectX7> root_;
};

TYPED_TEST_SUITE_P(SoundContract);

TYPED_TEST_P(SoundContract, TheListNamesItsOutputsAndRefusesPositionsOutsideIt) {
  auto root = this->harness.Backend().CreateDirectX7();
  const auto outputs = root->GetDSEnum();
  ASSERT_GE(outputs->GetCount(), 1);
  for (std::int32_t i = 1; i <= outputs->GetCount(); ++i) {
    EXPECT_FALSE(outputs->GetDescription(i).empty()) << i;
    EXPECT_FALSE(outputs->GetGuid(i).empty()) << i;
  }
  for (const std::int32_t outside : {0, -1, outputs->GetCount() + 1}) {
    EXPECT_THROW(outputs->GetDescription(outside), AudioError) << outside;
    EXPECT_THROW(outputs->GetGuid(outside), AudioError) << outside;
  }
  EXPECT_TRUE(this->Open() != nullptr);
}

TYPED_TEST_P(SoundContract, AnOutputThatIsNotPresentDoesNotOpen) {
  auto root = this->harness.Backend().CreateDirectX7();
  EXPECT_THROW(root->DirectSoundCreate("no such output"), AudioError);
}

TYPED_TEST_P(SoundContract, BuffersTakeTheToneFormatAndAPositiveLengthOnly) {
  auto device = this->Open();
  ASSERT_TRUE(device != nullptr);
  EXPECT_NO_THROW(device->CreateSoundBuffer(this->Desc(this->kLength), kToneFormat));
  WAVEFORMATEX sixteen_bits = kToneFormat;
  sixteen_bits.nBitsPerSample = 16;
  sixteen_bits.nBlockAlign = 2;
  sixteen_bits.lAvgBytesPerSec = 2 * kSampleRate;
  EXPECT_THROW(device->CreateSoundBuffer(this->Desc(this->kLength), sixteen_bits), AudioError);
  for (const std::int32_t bytes : {0, -1}) {
    EXPECT_THROW(device->CreateSoundBuffer(this->Desc(bytes), kToneFormat), AudioError) << bytes;
  }
}

TYPED_TEST_P(SoundContract, OnlyWholeBufferWritesAreTaken) {
  auto buffer = this->Buffer();
  ASSERT_TRUE(buffer != nullptr);
  const std::vector<std::uint8_t> whole(this->kLength, kSilence);
  EXPECT_NO_THROW(buffer->WriteBuffer(0, 0, whole, DSBLOCK_ENTIREBUFFER));
  const std::vector<std::uint8_t> short_one(this->kLength - 1, kSilence);
  EXPECT_THROW(buffer->WriteBuffer(0, 0, short_one, DSBLOCK_ENTIREBUFFER), AudioError);
  EXPECT_THROW(buffer->WriteBuffer(0, this->kLength, whole, 0), AudioError);
}

TYPED_TEST_P(SoundContract, PlayAndStopShowInTheStatus) {
  auto buffer = this->Buffer();
  ASSERT_TRUE(buffer != nullptr);
  EXPECT_EQ(buffer->GetStatus() & DSBSTATUS_PLAYING, 0);
  buffer->Play(DSBPLAY_LOOPING);
  EXPECT_EQ(buffer->GetStatus(), DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
  buffer->Stop();
  EXPECT_EQ(buffer->GetStatus() & DSBSTATUS_PLAYING, 0);
  EXPECT_THROW(buffer->Play(0), AudioError);  // a tone buffer only ever loops
}

TYPED_TEST_P(SoundContract, PlayPositionsOutsideTheBufferAreRefused) {
  auto buffer = this->Buffer();
  ASSERT_TRUE(buffer != nullptr);
  EXPECT_NO_THROW(buffer->SetCurrentPosition(0));
  EXPECT_NO_THROW(buffer->SetCurrentPosition(this->kLength - 1));
  for (const std::int32_t outside : {-1, this->kLength}) {
    EXPECT_THROW(buffer->SetCurrentPosition(outside), AudioError) << outside;
  }
}

REGISTER_TYPED_TEST_SUITE_P(SoundContract, TheListNamesItsOutputsAndRefusesPositionsOutsideIt,
                            AnOutputThatIsNotPresentDoesNotOpen,
                            BuffersTakeTheToneFormatAndAPositiveLengthOnly,
                            OnlyWholeBufferWritesAreTaken, PlayAndStopShowInTheStatus,
                            PlayPositionsOutsideTheBufferAreRefused);

}  // namespace corvanta::contracts
