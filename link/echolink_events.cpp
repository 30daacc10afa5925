#include "link/echolink_events.h"

#include <string>

#include "audio/sound_device.h"
#include "core/errors.h"
#include "core/link.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "engine/courtesy.h"
#include "settings/settings.h"

namespace corvanta {

void cmdEchoLink_Click() {
  if (Settings.DeviceIndex.empty()) {
    MsgBox("Error you have not selected your output device");
    return;
  }
  try {
    SaveSettings();
  } catch (const SettingsError& e) {
    // Monitoring still starts: the station keeps working, the operator learns the file is stale.
    MsgBox(e.what(), MsgIcon::kWarning);
  }
  MainWindow& w = Window();
  w.SetDeviceBoxEnabled(false);
  w.SetTestEnabled(true);
  Flags.IsMonitoring = kTrue;
  RestartSoundDevice();
}

namespace {

// A courtesy nobody can hear is not worth keying the transmitter for.
void SkipSilent(const char* name) {
  Window().SetStatusText(std::string(name) +
                         " skipped: the sound output could not be opened; nothing keyed");
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
