#pragma once
// The audio output seen from the window: listing the outputs into the device box, opening the
// chosen one, and stopping the sound at exit. All of it runs on the window thread.
#include <string>

namespace corvanta {

inline constexpr const char* kDeviceOpenFailedMessage =
    "Unable to continue, Error creating Direct Sound Object";

// Creates the root object through the installed backend (Audio.Backend).
void CreateDxRoot();

// Fills the device box from the enumeration, in its order, and selects the first entry (the click
// that raises is ignored while start-up runs). Opens no device.
void LoadSoundDevices();

// Opens the device named by DeviceIndex and fixes the wave format, buffer flags and amplitude.
// The outputs are listed afresh for each opening. When the entry at DeviceIndex does not carry
// the stored DeviceName (an interface replugged, the machine restarted), the entry that does is
// opened, DeviceIndex follows it and the box shows it; when none does, nothing is opened and the
// status bar says so. An empty DeviceName leaves the position alone to count.
// A failed opening is reported here (message box, status text) and leaves the previous device in
// use; no error reaches the caller. Returns whether this opening succeeded, so that a link event
// can refuse to key the transmitter for a courtesy nobody would hear.
bool CreateSoundDevice();
bool RestartSoundDevice();

// Looks whether the output of the sound buffer has gone away (unplugged, the sound server
// stopped) and says "Sound output lost: NAME" in the status bar once when it has; a courtesy
// under way then fails at its next element and releases its key, and the next device opening
// finds the output again by its name once it is back. The window calls it a few times a second.
void CheckSoundOutput();

// Stops the looping buffer and rewinds it; nothing to do before the first tone.
void StopSound();

// The device box's click: stores the chosen position and text, then opens that device.
void cmboDevice_Click();

}  // namespace corvanta
