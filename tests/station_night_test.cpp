// A night at an unattended station on the virtual clock, with fake link objects and the recording
// sound backend: monitoring started from the command line, courtesies, a refused keying, a sound
// output that goes away and comes back, and Exit. The station log must tell all of it, in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/audio_state.h"
#include "audio/sound_device.h"
#include "core/errors.h"
#include "core/link.h"
#include "core/state.h"
#include "core/station_log.h"
#include "link/echolink_events.h"
#include "link/startup.h"
#include "settings/settings.h"
#include "support/fakes/fake_link.h"
#include "support/fakes/test_world.h"

namespace corvanta {
namespace {

using testing::FakeLinks;
using testing::LoggedTexts;
using testing::TempDir;
using testing::TestWorld;

std::string KeyedMs(const std::vector<testing::PttCall>& calls, std::size_t first) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms",
                static_cast<double>(calls.at(first + 1).at_ms - calls.at(first).at_ms));
  return text;
}

TEST(StationNight, TheLogTellsEveryCourtesyFaultAndRecoveryInOrder) {
  TempDir dir;
  TestWorld world;
  FakeLinks links{[&world] { return world.platform.NowMs(); }};
  SetSettingsPath(dir.path / "corvanta.cfg");
  OpenStationLog(dir.path / "state" / "corvanta.log");
  Flags.IsLoading = kTrue;
  CreateDxRoot();
  LoadSoundDevices();
  Flags.IsLoading = kFalse;
  Settings.DotBase = 260;
  Settings.SpeedSetting = 207;  // 53 ms dots
  Settings.TxCourtesyText = "k";
  Settings.RxCourtesyText = "t";
  InstallLinkEventHandlers();
  CreateLinkObject();
  const auto event = [&links](const char* name, std::int16_t value) {
    links.Raise(name, value);
    links.DeliverEvents();
  };

  StartFromCommandLine();  // no output chosen yet: nothing monitors, and no box waits for anyone
  EXPECT_EQ(Flags.IsMonitoring, kFalse);
  EXPECT_EQ(world.window.StatusText(), "Error you have not selected your output device");
  Settings.DeviceIndex = "2";
  Settings.DeviceName = "Test-Sink";
  StartFromCommandLine();
  EXPECT_EQ(Flags.IsMonitoring, kTrue);
  event("PTT", 1);
  event("PTT", 0);  // 1: the RX courtesy
  links.on_setptt = [](bool key) {
    if (key) throw LinkError("ERR busy", LinkError::Fate::kRefused);
  };
  event("TX", 0);  // 2: refused; the release is sent all the same
  links.on_setptt = nullptr;
  world.sound.faults().lost = true;  // 3: the USB interface unplugged
  CheckSoundOutput();
  world.sound.devices().pop_back();
  world.sound.devices().pop_back();
  event("PTT", 0);  // 4: skipped, nothing keyed
  event("TX", 0);   // 5: skipped; the fault is not logged again
  world.sound.faults().lost = false;
  world.sound.devices() = {"Built-in Audio", "Test-Sink"};
  event("PTT", 0);  // 6: back, and the courtesy goes out
  ExitWhenIdle();
  CloseStationLog();

  const auto& calls = links.calls;
  ASSERT_EQ(calls.size(), 5u);  // key and release, the refused key's release, key and release
  const std::vector<std::string> expected = {
      "Start (from the command line): Error you have not selected your output device; not "
      "monitoring",
      "Start (from the command line): monitoring, sound output Test-Sink",
      "RX courtesy \"t\": keyed " + KeyedMs(calls, 0) + ", sent",
      "TX courtesy \"k\": TX courtesy failed: keying refused (ERR busy); release sent",
      "Sound output lost: Test-Sink",
      "RX courtesy skipped: the sound output could not be opened; nothing keyed",
      "TX courtesy skipped: the sound output could not be opened; nothing keyed",
      "Sound output back: Test-Sink",
      "RX courtesy \"t\": keyed " + KeyedMs(calls, 3) + ", sent",
      "Exit: settings saved",
  };
  std::ifstream log(dir.path / "state" / "corvanta.log");
  for (std::string line; std::getline(log, line);) std::printf("log: %s\n", line.c_str());
  EXPECT_EQ(LoggedTexts(dir.path / "state" / "corvanta.log"), expected);
  // "t" at 53 ms dots: 150 + 159 + 53 (the pause after the symbol) + 150 ms keyed.
  EXPECT_EQ(KeyedMs(calls, 0), "512.0 ms");
  LinkEvents() = {};
}

}  // namespace
}  // namespace corvanta
