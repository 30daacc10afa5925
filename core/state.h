#pragma once
// Process-wide state shared by every subsystem: the nine settings and the four flags. They live
// for the whole run; each is changed only by the subsystem that owns it (the settings file and the
// window handlers for the settings, start-up and the Start button for the flags, the courtesy
// transmissions for the tone flags).
//
// Thread rules: window thread only, unsynchronised; the audio and housekeeping threads never touch
// them. Any call that processes window messages (DoEvents between two Morse symbols, a message
// box) may run a handler that changes them, so a value read before such a call can be stale after
// it: a send reads ToneFrequency and SendState afresh at every element, and the tone flags are
// checked again by every link event. References into them stay valid for the whole run.
#include <cstdint>
#include <string>

#include "core/version.h"  // kVersionMajor, kVersionMinor, kVersionRevision, kVersionText

namespace corvanta {

struct SettingsRecord {
  std::string DeviceIndex;  // 1-based position in the device list as decimal text; empty = none
  std::string DeviceName;   // the chosen device's description, as the device box shows it
  std::int16_t SpeedSetting = 0;
  std::int16_t DotBase = 0;
  std::int16_t ToneFrequency = 0;
  std::int16_t SendState = 0;
  std::string TxCourtesyText;
  std::string RxCourtesyText;
  std::int16_t Volume = 0;  // percent
};

// Flags are 16-bit words holding -1 for true and 0 for false, as the settings file and the link
// events count truth; any non-zero value reads as true.
using Flag = std::int16_t;
inline constexpr Flag kTrue = -1;
inline constexpr Flag kFalse = 0;
inline constexpr Flag ToFlag(bool b) {
  return b ? kTrue : kFalse;
}

struct FlagWords {
  Flag IsLoading = kFalse;
  Flag IsMonitoring = kFalse;
  Flag RxTonePlaying = kFalse;
  Flag TxTonePlaying = kFalse;
};

extern SettingsRecord Settings;
extern FlagWords Flags;

// The values a first start places in the controls and writes to a new settings file.
SettingsRecord DefaultSettings();

// Back to the state before start-up (texts empty, numbers 0, flags false). For tests and for a
// fresh start-up in the same process.
void ResetProcessState();

inline constexpr const char* kAppTitle = "Corvanta";

}  // namespace corvanta
