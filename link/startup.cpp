#include "link/startup.h"

#include <cstdint>
#include <functional>

#include "audio/audio_state.h"
#include "audio/sound_device.h"
#include "core/errors.h"
#include "core/link.h"
#include "core/platform.h"
#include "core/state.h"
#include "core/station_log.h"
#include "core/transmissions.h"
#include "core/version.h"
#include "engine/courtesy.h"
#include "link/echolink_events.h"
#include "settings/settings.h"

namespace corvanta {
namespace {

StartupToolkit* g_toolkit = nullptr;
std::vector<std::string> g_notes;
bool g_session_ended = false;  // its closing steps have run and been logged

// How long shutdown waits, the window answering, for releases still on their way to the link
// program.
constexpr std::int64_t kReleaseWaitMs = 2000;

// Lets go of the link object. A release it still owes (behind a keying the link program has not
// answered yet) must reach the link program before the process ends, or that keying would stay
// keyed: shutdown waits for it, the window answering meanwhile, and says so if it cannot.
void LetGoOfLink(const char* how) {
  static bool waiting = false;  // the close box clicked while Exit waits: one wait is enough
  MainWindow* w = MainWindowRef();
  if (w == nullptr || waiting) return;
  w->Echolink.reset();
  const std::function<bool()>& sent = LinkReleasesSent();
  if (!sent || sent()) return;
  w->SetStatusText(std::string(how) + ": waiting for the link program to take the key's release");
  const std::int64_t end = NowMs() + kReleaseWaitMs;
  waiting = true;
  while (!sent() && NowMs() < end) {
    DoEvents();
    Pause(20);  // off any courtesy's timeline: the end of a session may come in the middle of one
  }
  waiting = false;
  if (sent()) return;
  const std::string text = std::string(how) +
                           ": the link program did not take the key's release within 2 s; the "
                           "transmitter may still be keyed";
  if (MainWindow* still = MainWindowRef()) still->SetStatusText(text);
  LogLine(text);
}

void cmdExit_Click() {
  // Exit asked for twice during a transmission runs once: the window is gone the second time.
  if (MainWindowRef() == nullptr) return;
  if (!Settings.DeviceIndex.empty()) {
    std::string saved = "settings saved";
    try {
      SaveSettings();
    } catch (const SettingsError& e) {
      // The program still closes, but the operator learns the changes were not kept.
      saved = e.what();
      MsgBox(e.what(), MsgIcon::kWarning);
    }
    LogLine("Exit: " + saved);
    if (Audio.SoundDevice) Guarded(StopSound);
    LetGoOfLink("Exit");
    if (MainWindowRef() == nullptr) return;  // closed while the release was awaited
  } else {
    LogLine("Exit: no output chosen, nothing saved");
  }
  SetMainWindowRef(nullptr);
  if (g_toolkit != nullptr) g_toolkit->DestroyMainWindow();
}

WindowHandlers StationHandlers(StartupToolkit& toolkit) {
  WindowHandlers h;
  h.cmdEchoLink_Click = cmdEchoLink_Click;
  h.cmdTest_Click = cmdTest_Click;
  h.CmdSend_Click = CmdSend_Click;
  h.cmdExit_Click = ExitWhenIdle;
  h.Form_QueryUnload = CloseWhenIdle;
  h.session_end = EndSession;
  h.Form_Unload = [&toolkit] { toolkit.CloseOtherWindows(); };
  h.mnuHelpContents_Click = [&toolkit] { toolkit.ShowHelpContents(); };
  h.mnuHelpSearchForHelpOn_Click = [&toolkit] { toolkit.ShowHelpIndex(); };
  // The About window is modal: it waits for the key to be released, as message boxes do.
  h.mnuHelpAbout_Click = [&toolkit] { WhenIdle([&toolkit] { toolkit.ShowAbout(); }, "about"); };
  h.sound_watch = [] {
    CheckSoundOutput();
    CheckStationLog();
  };
  return h;
}

}  // namespace

MainWindow& RunStartup(StartupToolkit& toolkit) {
  g_toolkit = &toolkit;
  ResetTransmissions();
  g_session_ended = false;
  Flags.IsLoading = kTrue;
  Flags.IsMonitoring = kFalse;
  g_notes.clear();
  // First, so that what start-up meets (the link program connected or not) follows it.
  LogLine(std::string("Started Corvanta ") + kVersionText + "; settings " +
          SettingsPath().string());

  toolkit.ShowSplash();
  MainWindow& w = toolkit.CreateMainWindow(StationHandlers(toolkit));
  SetMainWindowRef(&w);
  w.SetPictureVisible(Picture::picRX, false);
  w.SetPictureVisible(Picture::picTX, false);

  InstallLinkEventHandlers();
  CreateLinkObject();
  Sleep(1000);
  toolkit.CloseSplash();

  Guarded([] { g_notes = LoadSettings(); });
  w.SetTestEnabled(false);
  toolkit.ShowMainWindow();
  w.SetStatusText("Loading Direct Sound Drivers");
  Guarded(CreateDxRoot);
  Guarded(LoadSoundDevices);
  Flags.IsLoading = kFalse;
  w.SetDeviceText(Settings.DeviceName);
  // Repairs made to the settings would otherwise vanish under the start-up texts.
  if (!g_notes.empty()) {
    const std::string text = "Settings: " + JoinNotes(g_notes);
    w.SetStatusText(text);
    LogLine(text);
  }
  return w;
}

const std::vector<std::string>& StartupNotes() {
  return g_notes;
}

void ExitWhenIdle() {
  BeginClosing();
  if (TransmissionDepth() == 0) {
    cmdExit_Click();
    return;
  }
  // The exit goes on from the message loop, where a link event that arrived meanwhile may have
  // started another transmission: it is asked again there rather than run inside one.
  EndTransmissions([] {
    if (g_toolkit != nullptr) g_toolkit->Post(ExitWhenIdle);
  });
}

void StartAfterStartup() {
  if (g_toolkit != nullptr) g_toolkit->Post(StartFromCommandLine);
}

void EndSession() {
  if (g_session_ended) return;
  g_session_ended = true;
  BeginClosing();
  const bool courtesy = TransmissionDepth() > 0;
  LogLine(courtesy ? "The session is ending during a courtesy: releasing the key and closing"
                   : "The session is ending: closing");
  MainWindow* w = MainWindowRef();
  if (courtesy && w != nullptr && w->Echolink) {
    try {
      w->Echolink->SetPTT(false);
    } catch (const LinkError& e) {
      LogLine(std::string("The session is ending: the key's release failed (") + e.what() + ")");
    }
  }
  if (Audio.SoundDevice) Guarded(StopSound);
  LogLine("Window closed without Exit: settings not saved");
  LetGoOfLink("Close");
  ReleaseStationLog();
  DrainStationLog();
}

bool CloseWhenIdle() {
  if (TransmissionDepth() == 0) {
    // Exit closes the window this way too, once it has let go of it, and has said what it saved;
    // so does the end of the session, which has said it too.
    if (MainWindowRef() != nullptr && !g_session_ended) {
      LogLine("Window closed without Exit: settings not saved");
      LetGoOfLink("Close");
    }
    return true;
  }
  BeginClosing();
  EndTransmissions([] {
    if (g_toolkit != nullptr) g_toolkit->Post([] { g_toolkit->CloseMainWindow(); });
  });
  return false;
}

}  // namespace corvanta
