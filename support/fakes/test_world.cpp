#include "support/fakes/test_world.h"

#include <fstream>
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

std::vector<std::string> LoggedTexts(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::vector<std::string> texts;
  for (std::string line; std::getline(in, line);) {
    texts.push_back(line.size() > 31 ? line.substr(31) : line);
  }
  return texts;
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
