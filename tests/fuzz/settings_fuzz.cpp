// Any bytes as the settings file: loading never crashes, leaves values every control can show,
// and what it leaves survives a save and a second load unchanged.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "link/socket/wire.h"
#include "settings/settings.h"
#include "support/fakes/fake_main_window.h"
#include "support/fakes/virtual_platform.h"
#include "tests/fuzz/check.h"

namespace {

const std::filesystem::path& File() {
  static const std::filesystem::path path = [] {
    auto dir =
        std::filesystem::temp_directory_path() / ("corvanta-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir / "corvanta.cfg";
  }();
  return path;
}

bool SameRecord(const corvanta::SettingsRecord& a, const corvanta::SettingsRecord& b) {
  return corvanta::SettingsFileBytes(a) == corvanta::SettingsFileBytes(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvanta;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  (void)NumberOf(bytes);

  testing::VirtualPlatform platform;
  ScopedPlatform installed(platform);
  testing::FakeMainWindow window;
  SetMainWindowRef(&window);
  ResetProcessState();
  SetSettingsPath(File());
  std::ofstream(File(), std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(size));
  Flags.IsLoading = kTrue;
  (void)LoadSettings();
  Flags.IsLoading = kFalse;

  // What the controls can show.
  CHECK(Settings.SpeedSetting >= 0 && Settings.SpeedSetting <= 200);
  CHECK(Settings.ToneFrequency >= 300 && Settings.ToneFrequency <= 1800);
  CHECK(Settings.Volume >= 0 && Settings.Volume <= 100);
  CHECK(Settings.DotBase >= 201 && Settings.DotBase <= 4681);
  const int dot = Settings.DotBase - Settings.SpeedSetting;
  CHECK(dot >= 1 && dot <= 4681);

  // Save and load again: nothing changes, nothing shifts between lines.
  const SettingsRecord loaded = Settings;
  SaveSettings();
  const std::string saved = SettingsFileBytes(loaded);
  CHECK(saved.find('\n') != std::string::npos);
  (void)LoadSettings();
  if (!SameRecord(loaded, Settings)) {
    std::fprintf(stderr, "first load:  %s\nsecond load: %s\n",
                 corvanta::wire::Escape(SettingsFileBytes(loaded)).c_str(),
                 corvanta::wire::Escape(SettingsFileBytes(Settings)).c_str());
  }
  CHECK(SameRecord(loaded, Settings));

  SetMainWindowRef(nullptr);
  return 0;
}
