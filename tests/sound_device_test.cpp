#include "audio/sound_device.h"

#include <gtest/gtest.h>

#include "audio/audio_state.h"
#include "engine/tone_generator.h"
#include "support/fakes/test_world.h"

namespace corvanta {
namespace {

using testing::RecordingSoundBackend;
using testing::TestWorld;

struct SoundDevice : ::testing::Test {
  SoundDevice() {
    world.window.on_device_click = [] { cmboDevice_Click(); };
    Flags.IsLoading = kTrue;
    CreateDxRoot();
    LoadSoundDevices();
    Flags.IsLoading = kFalse;
  }
  std::vector<std::string> Opened() const {
    std::vector<std::string> guids;
    for (const auto& c : world.sound.CallsNamed("DirectSoundCreate")) guids.push_back(c.text);
    return guids;
  }
  TestWorld world;
};

TEST_F(SoundDevice, ListsEveryOutputInOrderAndOpensNothingAtStartUp) {
  EXPECT_EQ(world.window.devices,
            (std::vector<std::string>{"Built-in Audio", "Test-Sink", "USB Audio CODEC"}));
  EXPECT_EQ(world.window.selected, 0);
  EXPECT_TRUE(Opened().empty());
  EXPECT_EQ(Settings.DeviceIndex, "");
  EXPECT_EQ(world.window.status, "Direct Sound Devices Loaded");
}

TEST_F(SoundDevice, PickingAnEntryStoresItAndOpensThatDevice) {
  world.window.status_history.clear();
  world.window.SelectDevice(2);
  EXPECT_EQ(Settings.DeviceIndex, "3");
  EXPECT_EQ(Settings.DeviceName, "USB Audio CODEC");
  EXPECT_EQ(Opened(), std::vector<std::string>{RecordingSoundBackend::GuidFor("USB Audio CODEC")});
  EXPECT_EQ(world.window.status_history,
            (std::vector<std::string>{"Starting Direct Sound", "Sound Initilisation Completed"}));
  const auto level = world.sound.CallsNamed("SetCooperativeLevel");
  ASSERT_EQ(level.size(), 1u);
  EXPECT_EQ(level[0].args, (std::vector<std::int64_t>{0x1234, 1}));
  EXPECT_EQ(Audio.WaveFormat, kToneFormat);
  EXPECT_EQ(Audio.BufferDesc.lFlags, 0x8000);
  EXPECT_EQ(Audio.AmplitudeScale, 1.0f);
  // A second opening leaves exactly the same state.
  world.window.SelectDevice(2);
  EXPECT_EQ(Opened().size(), 2u);
  EXPECT_EQ(Audio.WaveFormat, kToneFormat);
  EXPECT_EQ(Audio.BufferDesc.lFlags, 0x8000);
  EXPECT_EQ(Audio.BufferDesc.lBufferBytes, 0);
  EXPECT_EQ(Audio.AmplitudeScale, 1.0f);
}

TEST_F(SoundDevice, FailedOpeningReportsAndKeepsThePreviousDevice) {
  world.window.SelectDevice(1);
  DirectSound* previous = Audio.SoundDevice.get();
  world.sound.faults().create_device = true;
  world.window.SelectDevice(2);
  ASSERT_EQ(world.platform.messages.size(), 1u);
  EXPECT_EQ(world.platform.messages[0].text,
            "Unable to continue, Error creating Direct Sound Object");
  EXPECT_EQ(world.platform.messages[0].title, "Corvanta");
  EXPECT_EQ(world.window.status, "Error: Creating Direct Sound Object");
  EXPECT_EQ(Audio.SoundDevice.get(), previous);

  // Unplugged since the list was filled: nothing carries its name any more, so nothing opens.
  world.platform.messages.clear();
  world.sound.faults().create_device = false;
  world.sound.devices() = {"Built-in Audio"};
  world.window.SelectDevice(2);
  EXPECT_TRUE(world.platform.messages.empty());
  EXPECT_EQ(world.window.status, "Error: sound output not found: USB Audio CODEC");
  EXPECT_EQ(Audio.SoundDevice.get(), previous);
}

TEST_F(SoundDevice, FailuresWhileTheBoxIsOpenDoNotStackMoreBoxes) {
  world.sound.faults().create_device = true;
  Settings.DeviceIndex = "1";
  int nested = 0;
  world.platform.on_message = [&nested](const auto&) {
    // Link events keep arriving while the operator has not closed the box.
    if (nested++ < 3) RestartSoundDevice();
  };
  RestartSoundDevice();
  EXPECT_EQ(world.platform.messages.size(), 1u);
  EXPECT_EQ(world.window.status, "Error: Creating Direct Sound Object");
  RestartSoundDevice();  // once closed, the next failure shows the box again
  EXPECT_EQ(world.platform.messages.size(), 2u);
}

TEST_F(SoundDevice, UnusableIndexIsReportedWithoutOpeningAnything) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "Error: no output device chosen"},
      {"abc", "Error: output device abc is not in the device list"},
      {"0", "Error: output device 0 is not in the device list"},
      {"4", "Error: output device 4 is not in the device list"},
      {"-1", "Error: output device -1 is not in the device list"},
      {"2x", "Error: output device 2x is not in the device list"},
      {"99999999999", "Error: output device 99999999999 is not in the device list"},
  };
  for (const auto& [index, status] : cases) {
    Settings.DeviceIndex = index;
    EXPECT_NO_THROW(CreateSoundDevice());
    EXPECT_EQ(world.window.status, status);
  }
  EXPECT_TRUE(Opened().empty());
  EXPECT_TRUE(world.platform.messages.empty());
  Settings.DeviceIndex = " 2 ";  // spaces around a stored index are fine
  CreateSoundDevice();
  EXPECT_EQ(Opened(), std::vector<std::string>{RecordingSoundBackend::GuidFor("Test-Sink")});
}

// The device the operator chose is found by its name when interfaces were replugged since: the
// position stored is only trusted while the entry there carries the stored name.
TEST_F(SoundDevice, TheChosenDeviceIsFoundByNameWhenPositionsChange) {
  struct Case {
    const char* name;
    std::vector<std::string> now;  // the outputs at the opening
    const char* index;
    const char* device_name;
    const char* opened;  // "" for none
    const char* index_after;
    const char* status;
    const char* name_after = nullptr;  // when the name follows a renamed output
  };
  const Case cases[] = {
      {"name at its position",
       {"A", "USB Audio", "B"},
       "2",
       "USB Audio",
       "USB Audio",
       "2",
       "Sound Initilisation Completed"},
      {"moved down",
       {"A", "B", "USB Audio"},
       "2",
       "USB Audio",
       "USB Audio",
       "3",
       "Sound Initilisation Completed"},
      {"moved up past the end",
       {"USB Audio"},
       "3",
       "USB Audio",
       "USB Audio",
       "1",
       "Sound Initilisation Completed"},
      {"two alike, the second chosen",
       {"USB Audio", "USB Audio (2)"},
       "1",
       "USB Audio (2)",
       "USB Audio (2)",
       "2",
       "Sound Initilisation Completed"},
      {"gone", {"A", "B"}, "2", "USB Audio", "", "2", "Error: sound output not found: USB Audio"},
      // Windows numbers a replugged USB output: the number is taken off either name.
      {"renamed with a number",
       {"A", "2- USB Audio"},
       "1",
       "USB Audio",
       "2- USB Audio",
       "2",
       "Sound Initilisation Completed",
       "2- USB Audio"},
      {"number gone again",
       {"USB Audio"},
       "2",
       "2- USB Audio",
       "USB Audio",
       "1",
       "Sound Initilisation Completed",
       "USB Audio"},
      {"another number",
       {"B", "3- USB Audio"},
       "1",
       "2- USB Audio",
       "3- USB Audio",
       "2",
       "Sound Initilisation Completed",
       "3- USB Audio"},
      {"two numbered alike: which one cannot be told",
       {"2- USB Audio", "3- USB Audio"},
       "1",
       "USB Audio",
       "",
       "1",
       "Error: sound output not found: USB Audio"},
      {"a number that is not Windows'",
       {"2 USB Audio"},
       "1",
       "USB Audio",
       "",
       "1",
       "Error: sound output not found: USB Audio"},
      {"no name: the position counts",
       {"A", "B"},
       "2",
       "",
       "B",
       "2",
       "Sound Initilisation Completed"},
  };
  Flags.IsMonitoring = kTrue;  // the box is locked while monitoring, unless the output is missing
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    world.sound.devices() = c.now;
    Settings.DeviceIndex = c.index;
    Settings.DeviceName = c.device_name;
    world.window.device_box_enabled = false;
    const std::size_t before = Opened().size();
    const bool opened = CreateSoundDevice();
    EXPECT_EQ(opened, *c.opened != '\0');
    EXPECT_EQ(Settings.DeviceName, c.name_after != nullptr ? c.name_after : c.device_name);
    // A missing output leaves the box open on the outputs there are now, showing the stored name.
    EXPECT_EQ(world.window.device_box_enabled, !opened);
    if (!opened) {
      EXPECT_EQ(world.window.devices, c.now);
      EXPECT_EQ(world.window.device_text, c.device_name);
    }
    const auto all = Opened();
    if (opened) {
      ASSERT_EQ(all.size(), before + 1);
      EXPECT_EQ(all.back(), RecordingSoundBackend::GuidFor(c.opened));
    } else {
      EXPECT_EQ(all.size(), before);
    }
    EXPECT_EQ(Settings.DeviceIndex, c.index_after);
    EXPECT_EQ(world.window.status, c.status);
    if (std::string(c.index) != c.index_after) {
      EXPECT_EQ(world.window.device_text, Settings.DeviceName);  // the box shows what is used
    }
  }
  EXPECT_TRUE(world.platform.messages.empty());
}

TEST(SoundDeviceNone, NoOutputAtAllLeavesTheListEmptyAndSaysSo) {
  TestWorld world;
  world.sound.devices().clear();
  Flags.IsLoading = kTrue;
  CreateDxRoot();
  EXPECT_NO_THROW(LoadSoundDevices());
  EXPECT_EQ(world.window.DeviceCount(), 0);
  EXPECT_EQ(world.window.status, "No sound output device found");
}

TEST_F(SoundDevice, ReopeningLeavesAPlayingBufferAlone) {
  world.window.SelectDevice(1);
  PlayTone(807, 1.0f);
  const std::size_t calls_before = world.sound.calls().size();
  RestartSoundDevice();
  for (std::size_t i = calls_before; i < world.sound.calls().size(); ++i) {
    const std::string& op = world.sound.calls()[i].op;
    EXPECT_NE(op, "Release");
    EXPECT_NE(op, "Stop");
  }
  EXPECT_EQ(Audio.BufferDesc.lBufferBytes, 4044);
  PlayTone(807, 0.0f);  // same length: written into the same buffer
  EXPECT_EQ(world.sound.CallsNamed("CreateSoundBuffer").size(), 1u);
}

TEST_F(SoundDevice, StopSoundStopsAndRewindsOnlyAnExistingBuffer) {
  world.window.SelectDevice(1);
  EXPECT_NO_THROW(StopSound());
  EXPECT_TRUE(world.sound.CallsNamed("Stop").empty());
  PlayTone(807, 0.0f);
  StopSound();
  EXPECT_EQ(world.sound.CallsNamed("Stop").size(), 1u);
  const auto rewinds = world.sound.CallsNamed("SetCurrentPosition");
  ASSERT_EQ(rewinds.size(), 1u);
  EXPECT_EQ(rewinds[0].args[0], 0);
}

}  // namespace
}  // namespace corvanta
