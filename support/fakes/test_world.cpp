#include "support/fakes/test_world.h"

#include <random>

namespace corvanta::testing {

TestWorld::TestWorld() {
  ResetProcessState();
  ResetAudioState();
  Audio.Backend = &sound;
  SetMainWindowRef(&window);
  sound.devices() = {"Built-in Audio", "Test-Sink", "USB Audio CODEC"};
}

TestWorld::~TestWorld() {
  ResetAudioState();
  SetMainWindowRef(nullptr);
  ResetProcessState();
}

void TestWorld::OpenDevice(const std::string& description) {
  Audio.DxRoot = sound.CreateDirectX7();
  Audio.SoundDevice = Audio.DxRoot->DirectSoundCreate(RecordingSoundBackend::GuidFor(description));
  Audio.SoundDevice->SetCooperativeLevel(window.Handle(), DSSCL_NORMAL);
  Audio.AmplitudeScale = 1.0f;
  Audio.WaveFormat = kToneFormat;
  Audio.BufferDesc.lFlags = DSBCAPS_GLOBALFOCUS;
}

TempDir::TempDir() {
  std::random_device rd;
  path = std::filesystem::temp_directory_path() / ("corvanta-test-" + std::to_string(rd()));
  std::filesystem::create_directories(path);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

}  // namespace corvanta::testing
