#include "link/echolink_events.h"

#include <string>

#include "audio/sound_device.h"
#include "core/errors.h"
#include "core/link.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "core/station_log.h"
#include "core/transmissions.h"
#include "engine/courtesy.h"
#include "settings/settings.h"

namespace corvanta {

namespace {

constexpr const char* kNoDeviceText = "Error you have not selected your output device";

// Start. `unattended`: asked from the command line, where nobody may be there to close a box, so
// what would be said in one goes to the status bar and the log instead.
void StartMonitoring(bool unattended) {
  const char* how = unattended ? "Start (from the command line): " : "Start: ";
  if (Settings.DeviceIndex.empty()) {
    LogLine(std::string(how) + kNoDeviceText + "; not monitoring");
    if (unattended) {
      Window().SetStatusText(kNoDeviceText);
    } else {
      MsgBox(kNoDeviceText);
    }
    return;
  }
  std::string unsaved;
  try {
    SaveSettings();
  } catch (const SettingsError& e) {
    // Monitoring still starts: the station keeps working, the operator learns the file is stale.
    unsaved = e.what();
    LogLine(std::string(how) + unsaved);
    if (!unattended) MsgBox(unsaved, MsgIcon::kWarning);
  }
  MainWindow& w = Window();
  w.SetDeviceBoxEnabled(false);
  w.SetTestEnabled(true);
  Flags.IsMonitoring = kTrue;
  LogLine(std::string(how) + "monitoring, sound output " + Settings.DeviceName);
  const bool opened = RestartSoundDevice();
  if (!LinkStartNote().empty()) LogLine(std::string(how) + LinkStartNote());
  // Said last, so the opening's texts do not hide them from whoever comes to the station; a
  // failed opening's own text stays.
  if (unattended && opened && !unsaved.empty()) {
    w.SetStatusText(unsaved);
  } else if (opened && !LinkStartNote().empty()) {
    w.SetStatusText(LinkStartNote());
  }
}

}  // namespace

void cmdEchoLink_Click() {
  StartMonitoring(false);
}

void StartFromCommandLine() {
  // The window may have gone while the request waited in the message queue.
  if (MainWindowRef() == nullptr || Closing()) return;
  StartMonitoring(true);
}

namespace {

// A courtesy nobody can hear is not worth keying the transmitter for.
void SkipSilent(const char* name) {
  const std::string text =
      std::string(name) + " skipped: the sound output could not be opened; nothing keyed";
  Window().SetStatusText(text);
  LogLine(text);
}

}  // namespace

// Every event opens the device again, which also wakes a stream closed while the station was
// idle: a "PTT 1" (the signal starts) readies the output well before the "PTT 0" whose courtesy
// follows.
//
// The courtesy's 100 ms before the keying count from the event: the opening takes its time out of
// them, so the key goes down 100 ms after the event whether the stream was open or had closed.
void Echolink_PTT(std::int16_t bPTT) {
  if (Flags.IsMonitoring == kFalse) return;
  const std::int64_t event_ns = TimelineNowNs();
  const bool opened = RestartSoundDevice();
  if (Flags.RxTonePlaying != kFalse || Flags.TxTonePlaying != kFalse || bPTT != 0) return;
  if (!opened) return SkipSilent("RX courtesy");
  PlayRxCourtesy(event_ns);
}

void Echolink_TX(std::int16_t bTX) {
  if (Flags.IsMonitoring == kFalse) return;
  const std::int64_t event_ns = TimelineNowNs();
  const bool opened = RestartSoundDevice();
  if (Flags.TxTonePlaying != kFalse || bTX != 0) return;
  if (!opened) return SkipSilent("TX courtesy");
  PlayTxCourtesy(event_ns);
}

void InstallLinkEventHandlers() {
  LinkEvents() = {Echolink_PTT, Echolink_TX};
}

}  // namespace corvanta
