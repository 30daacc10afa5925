#include "audio/sound_device.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>

#include "audio/audio_state.h"
#include "core/errors.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "core/station_log.h"

namespace corvanta {
namespace {

// DeviceIndex as a 1-based list position: decimal digits, surrounding spaces allowed. Anything
// else (empty, not a number, out of the 32-bit range) gives 0, which no device has.
std::int32_t ParseDeviceIndex(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return 0;
  return value;
}

// The sound output is in trouble (lost, missing, refusing to open): the log hears of it once, and
// of its return, not of every link event that finds it still away.
bool g_output_trouble = false;

void OutputFine() {
  if (g_output_trouble) LogLine("Sound output back: " + Settings.DeviceName);
  g_output_trouble = false;
}

// The name without the number Windows puts before a replugged USB output ("2- USB Audio CODEC").
std::string_view WithoutNumber(std::string_view name) {
  std::size_t digits = 0;
  while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
  if (digits == 0 || name.substr(digits, 2) != "- ") return name;
  return name.substr(digits + 2);
}

// 1-based position of the first output called `name`, else of the one output whose name is
// `name` once such a number is taken off either; 0 when none is, or more than one is.
std::int32_t FindByName(DirectSoundEnum& outputs, const std::string& name) {
  const std::int32_t count = outputs.GetCount();
  for (std::int32_t i = 1; i <= count; ++i) {
    if (outputs.GetDescription(i) == name) return i;
  }
  std::int32_t found = 0;
  for (std::int32_t i = 1; i <= count; ++i) {
    if (WithoutNumber(outputs.GetDescription(i)) != WithoutNumber(name)) continue;
    if (found != 0) return 0;  // which one the operator meant cannot be told
    found = i;
  }
  return found;
}

// The chosen output `name` is missing: the box shows its name over the outputs there are now and
// takes a pick again, also while monitoring, so that the operator need not restart to choose
// another one.
void OfferOtherOutputs(DirectSoundEnum& outputs, const std::string& name) {
  MainWindow& w = Window();
  w.ClearDevices();
  const std::int32_t count =
      std::min<std::int32_t>(outputs.GetCount(), std::numeric_limits<std::int16_t>::max());
  for (std::int32_t i = 1; i <= count; ++i) w.AddDevice(outputs.GetDescription(i));
  w.SetDeviceText(name);
  w.SetDeviceBoxEnabled(true);
}

void ReportOpeningFailed() {
  // MsgBox keeps an unattended station from piling up one box per link event, and waits while a
  // transmission holds the key.
  OutputTrouble("Error: Creating Direct Sound Object: " + Settings.DeviceName);
  MsgBox(kDeviceOpenFailedMessage);
  Window().SetStatusText("Error: Creating Direct Sound Object");
}

}  // namespace

void CreateDxRoot() {
  if (Audio.Backend == nullptr) throw AudioError("No sound system available");
  Audio.DxRoot = Audio.Backend->CreateDirectX7();
}

void LoadSoundDevices() {
  if (!Audio.DxRoot) throw AudioError("No sound system available");
  Audio.DeviceEnum = Audio.DxRoot->GetDSEnum();
  const std::int32_t count = std::min<std::int32_t>(Audio.DeviceEnum->GetCount(),
                                                    std::numeric_limits<std::int16_t>::max());
  MainWindow& w = Window();
  for (std::int32_t i = 1; i <= count; ++i) w.AddDevice(Audio.DeviceEnum->GetDescription(i));
  if (count == 0) {
    w.SetStatusText("No sound output device found");
    return;
  }
  w.SelectDevice(0);
  w.SetStatusText("Direct Sound Devices Loaded");
}

bool CreateSoundDevice() {
  MainWindow& w = Window();
  try {
    CreateDxRoot();
  } catch (const AudioError& e) {
    w.SetStatusText(std::string("Error: ") + e.what());
    return false;
  }
  w.SetStatusText("Starting Direct Sound");
  if (Settings.DeviceIndex.empty()) {
    w.SetStatusText("Error: no output device chosen");
    return false;
  }
  // The outputs as they are now: an interface replugged since start-up may sit elsewhere.
  const std::shared_ptr<DirectSoundEnum> outputs = Audio.DxRoot->GetDSEnum();
  std::int32_t index = ParseDeviceIndex(Settings.DeviceIndex);
  const std::int32_t count = outputs->GetCount();
  const std::string name = Settings.DeviceName;  // a copy: a renamed output replaces it
  const bool named_there = index >= 1 && index <= count && outputs->GetDescription(index) == name;
  if (!name.empty() && !named_there) {
    // Sound must go to the card the operator chose, never to whatever took its place.
    const std::int32_t was = index;
    index = FindByName(*outputs, name);
    if (index == 0) {
      OfferOtherOutputs(*outputs, name);
      const std::string text = "Error: sound output not found: " + name;
      w.SetStatusText(text);
      OutputTrouble(text);
      return false;
    }
    const std::string listed = outputs->GetDescription(index);
    Settings.DeviceIndex = std::to_string(index);
    Settings.DeviceName = listed;
    w.SetDeviceText(listed);
    w.SetStatusText("Sound output " + name + " found" +
                    (listed != name ? " as " + listed : std::string()) + " at position " +
                    Settings.DeviceIndex + (was >= 1 ? " (was " + std::to_string(was) + ")" : ""));
  } else if (index < 1 || index > count) {
    OfferOtherOutputs(*outputs, name);
    const std::string text =
        "Error: output device " + Settings.DeviceIndex + " is not in the device list";
    w.SetStatusText(text);
    OutputTrouble(text);
    return false;
  }
  const std::string guid = outputs->GetGuid(index);
  std::unique_ptr<DirectSound> device;
  try {
    device = Audio.DxRoot->DirectSoundCreate(guid);
  } catch (const AudioError&) {
    ReportOpeningFailed();
    return false;
  }
  Audio.SoundDevice = std::move(device);
  Audio.SoundDevice->SetCooperativeLevel(w.Handle(), DSSCL_NORMAL);
  Audio.AmplitudeScale = 1.0f;
  Audio.WaveFormat = kToneFormat;
  Audio.BufferDesc.lFlags = DSBCAPS_GLOBALFOCUS;
  // Monitoring keeps the box locked to the output in use; it was opened while the output was
  // missing.
  if (Flags.IsMonitoring != kFalse) w.SetDeviceBoxEnabled(false);
  w.SetStatusText("Sound Initilisation Completed");
  OutputFine();
  return true;
}

bool RestartSoundDevice() {
  if (!CreateSoundDevice()) return false;
  Audio.DxRoot->WakeIdleStreams();
  return true;
}

void OutputTrouble(const std::string& text) {
  if (!g_output_trouble) LogLine(text);
  g_output_trouble = true;
}

void CheckSoundOutput() {
  static bool reported = false;
  const bool lost = Audio.SoundBuffer && (Audio.SoundBuffer->GetStatus() & DSBSTATUS_BUFFERLOST);
  if (lost && !reported) {
    const std::string text = "Sound output lost: " + Settings.DeviceName;
    Window().SetStatusText(text);
    OutputTrouble(text);
  }
  reported = lost;
}

void StopSound() {
  if (!Audio.SoundBuffer) return;
  Audio.SoundBuffer->Stop();
  Audio.SoundBuffer->SetCurrentPosition(0);
}

void cmboDevice_Click() {
  if (Flags.IsLoading != kFalse) return;
  MainWindow& w = Window();
  const int position = w.SelectedDevice();
  if (position < 0) return;
  Settings.DeviceIndex = std::to_string(position + 1);
  Settings.DeviceName = w.DeviceText();
  CreateSoundDevice();
}

}  // namespace corvanta
