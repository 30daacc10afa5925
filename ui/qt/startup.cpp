#include "ui/qt/startup.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "audio/audio_state.h"
#include "audio/sound_device.h"
#include "core/errors.h"
#include "core/link.h"
#include "core/platform.h"
#include "core/state.h"
#include "engine/courtesy.h"
#include "link/echolink_events.h"
#include "settings/settings.h"
#include "ui/qt/about_help.h"
#include "ui/qt/main_window.h"
#include "ui/qt/splash.h"

namespace corvanta {
namespace {

std::vector<std::string> g_notes;

// Exit and the close box in the middle of a transmission: the transmissions end at their next
// symbol and release the key first, then the closing goes on from the event loop.
void ExitWhenIdle() {
  if (TransmissionDepth() == 0) {
    cmdExit_Click();
    return;
  }
  EndTransmissions([] { QTimer::singleShot(0, qApp, [] { Guarded(cmdExit_Click); }); });
}

bool CloseWhenIdle(FrmMain* frm) {
  if (TransmissionDepth() == 0) return true;
  const QPointer<FrmMain> window(frm);
  EndTransmissions([window] {
    QTimer::singleShot(0, qApp, [window] {
      if (window) window->close();
    });
  });
  return false;
}

void WireHandlers(FrmMain& frm) {
  frm.handlers.cmdEchoLink_Click = cmdEchoLink_Click;
  frm.handlers.cmdTest_Click = cmdTest_Click;
  frm.handlers.CmdSend_Click = CmdSend_Click;
  frm.handlers.cmdExit_Click = ExitWhenIdle;
  frm.handlers.Form_QueryUnload = [f = &frm] { return CloseWhenIdle(f); };
  frm.handlers.Form_Unload = Form_Unload;
  frm.handlers.mnuHelpContents_Click = mnuHelpContents_Click;
  frm.handlers.mnuHelpSearchForHelpOn_Click = mnuHelpSearchForHelpOn_Click;
  // The About window is modal: it waits for the key to be released, as message boxes do.
  frm.handlers.mnuHelpAbout_Click = [] { WhenIdle(mnuHelpAbout_Click, "about"); };
}

}  // namespace

const std::vector<std::string>& StartupNotes() {
  return g_notes;
}

FrmMain* Main() {
  Flags.IsLoading = kTrue;
  Flags.IsMonitoring = kFalse;
  g_notes.clear();

  auto* splash = new FrmSplash;
  splash->show();
  splash->repaint();
  // Let the window system map and paint the splash; no input is handled before Main returns.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

  auto* frm = new FrmMain;
  frm->setAttribute(Qt::WA_DeleteOnClose);
  SetMainWindowRef(frm);
  WireHandlers(*frm);
  frm->Form_Load();
  frm->SetPictureVisible(Picture::picRX, false);
  frm->SetPictureVisible(Picture::picTX, false);

  InstallLinkEventHandlers();
  CreateLinkObject();
  Sleep(1000);
  splash->close();

  Guarded([] { g_notes = LoadSettings(); });
  frm->SetTestEnabled(false);
  frm->show();
  frm->SetStatusText("Loading Direct Sound Drivers");
  Guarded(CreateDxRoot);
  Guarded(LoadSoundDevices);
  Flags.IsLoading = kFalse;
  frm->SetDeviceText(Settings.DeviceName);

  // An output that goes away (unplugged, the sound server stopped) is noticed within a moment,
  // whether or not a courtesy is sounding.
  auto* watch = new QTimer(frm);
  QObject::connect(watch, &QTimer::timeout, frm, [] { Guarded(CheckSoundOutput); });
  watch->start(250);

  // Repairs made to the settings would otherwise vanish under the start-up texts.
  if (!g_notes.empty()) frm->SetStatusText("Settings: " + JoinNotes(g_notes));
  return frm;
}

void cmdExit_Click() {
  // Exit asked for twice during a transmission runs once: the window is gone the second time.
  if (MainWindowRef() == nullptr) return;
  MainWindow& w = Window();
  if (!Settings.DeviceIndex.empty()) {
    try {
      SaveSettings();
    } catch (const SettingsError& e) {
      // The program still closes, but the operator learns the changes were not kept.
      MsgBox(e.what(), MsgIcon::kWarning);
    }
    if (Audio.SoundDevice) Guarded(StopSound);
    w.Echolink.reset();
  }
  auto* frm = dynamic_cast<QWidget*>(&w);
  SetMainWindowRef(nullptr);
  if (frm != nullptr) frm->close();
}

void Form_Unload() {
  // Every other window still open closes with the main window, the latest first.
  const QWidgetList windows = QApplication::topLevelWidgets();
  for (auto it = windows.crbegin(); it != windows.crend(); ++it) {
    QWidget* w = *it;
    if (w->objectName() == "frmMain" || !w->isVisible()) continue;
    w->close();
  }
}

}  // namespace corvanta
