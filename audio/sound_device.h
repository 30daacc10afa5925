#pragma once
// The audio output seen from the window: listing the outputs into the device box, opening the
// chosen one, and stopping the sound at exit. All of it runs on the window thread.
//
// The sound objects live in the process-wide audio state (audio/audio_state.h), which these
// routines fill: each opening makes a new root object and, when it succeeds, a new device, but
// keeps the buffer, so a tone that plays goes on. Opening blocks the window thread while the
// backend opens (audio/directsound_interface.h); only a failure's message box runs window
// messages meanwhile.
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
// opened, DeviceIndex follows it and the box shows it. Failing that, the one entry whose name
// matches once the number Windows puts before a replugged output ("2- USB Audio CODEC") is taken
// off either is opened, and DeviceName becomes its name. When none does (or more than one),
// nothing is opened, the status bar says so, and the box lists the outputs there are now and is
// enabled, also while monitoring, for the operator to pick another; a later successful opening
// while monitoring locks it again. An empty DeviceName leaves the position alone to count.
// A failed opening is reported here (message box, status text) and leaves the previous device in
// use; no error reaches the caller. Returns whether this opening succeeded, so that a link event
// can refuse to key the transmitter for a courtesy nobody would hear.
// Re-entry: outside a transmission the failure's message box blocks until the operator closes it
// and runs link events, timers and clicks meanwhile, which may open the device again themselves;
// a box with the same text is not opened twice. During a transmission the box waits for its end.
bool CreateSoundDevice();
// The opening every link event, Start and Test make: CreateSoundDevice, then, once the device is
// open, WakeIdleStreams, so that a tone written soon after finds its stream settled.
bool RestartSoundDevice();

// Looks whether the output of the sound buffer has gone away (unplugged, the sound server
// stopped) and says "Sound output lost: NAME" in the status bar once when it has; a courtesy
// under way then fails at its next element and releases its key, and the next device opening
// finds the output again by its name once it is back. The window calls it every kSoundWatchMs.
void CheckSoundOutput();
// A sound failure found elsewhere (a write in a courtesy): the station log hears of it once, and
// of the output's return at the next opening that works.
void OutputTrouble(const std::string& text);

// Stops the looping buffer and rewinds it; nothing to do before the first tone.
void StopSound();

// The device box's click: stores the chosen position and text, then opens that device (blocking
// and re-entering as CreateSoundDevice does). Ignored while start-up loads.
void cmboDevice_Click();

}  // namespace corvanta
