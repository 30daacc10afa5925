#pragma once
// Everything a unit test of the engine needs: fresh process state, the virtual clock, the fake
// window as the main window, and the recording sound backend.
#include <filesystem>
#include <string>
#include <vector>

#include "audio/audio_state.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "support/fakes/fake_main_window.h"
#include "support/fakes/recording_sound.h"
#include "support/fakes/virtual_platform.h"

namespace corvanta::testing {

struct TestWorld {
  TestWorld();
  ~TestWorld();
  TestWorld(const TestWorld&) = delete;
  TestWorld& operator=(const TestWorld&) = delete;

  // Opens `description` directly (root object, device, format, flags, amplitude) as a successful
  // device opening leaves the audio state.
  void OpenDevice(const std::string& description = "Test-Sink");

  VirtualPlatform platform;
  ScopedPlatform installed{platform};
  RecordingSoundBackend sound{[this] { return platform.NowMs(); }};
  FakeMainWindow window;
};

// The texts of a station log's lines, without their date, time and zone.
std::vector<std::string> LoggedTexts(const std::filesystem::path& file);

// A fresh empty folder under the system's temporary folder, removed by the destructor.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::filesystem::path path;
};

}  // namespace corvanta::testing
