#pragma once
// Start-up and shutdown, the same on every platform: the order of start-up's steps behind the
// splash window, Exit, and the closing of the main window while a courtesy sounds. Each toolkit
// supplies only its windows and its message loop (StartupToolkit).
//
// Thread rules: window thread only; nothing here re-enters itself except through the handlers
// the window runs. RunStartup blocks for the splash's second and processes no window messages;
// Exit and the close box never wait: during a transmission they end it at its next symbol and
// go on from the message loop.
#include <functional>
#include <string>
#include <vector>

#include "core/main_window.h"

namespace corvanta {

// One toolkit's windows and message loop, as start-up and shutdown use them.
class StartupToolkit {
 public:
  virtual ~StartupToolkit() = default;

  // The splash window, shown and painted at once: no message processing follows until start-up
  // has returned.
  virtual void ShowSplash() = 0;
  virtual void CloseSplash() = 0;
  // Makes the main window, hidden, with `handlers` wired to its controls, and runs its load step.
  virtual MainWindow& CreateMainWindow(const WindowHandlers& handlers) = 0;
  virtual void ShowMainWindow() = 0;
  // Runs `action` from the message loop after the current message; dropped once the main window
  // is gone.
  virtual void Post(std::function<void()> action) = 0;
  // Closes the main window as its close box does (the closing is asked first).
  virtual void CloseMainWindow() = 0;
  // Closes the main window without asking: the last step of Exit.
  virtual void DestroyMainWindow() = 0;
  // Closes every other window of the program still open, the latest first.
  virtual void CloseOtherWindows() = 0;
  // The Help menu.
  virtual void ShowHelpContents() = 0;
  virtual void ShowHelpIndex() = 0;
  // The About window: modal, it returns when the operator has closed it.
  virtual void ShowAbout() = 0;
};

// Start-up: the splash, the main window, the link program's object, a second's pause, the
// settings, the window shown, the sound devices listed, the stored device's name in the box. The
// toolkit must outlive the main window. Returns the main window.
MainWindow& RunStartup(StartupToolkit& toolkit);

// Start as the command line asked for it (--start), from the message loop once start-up has
// returned (link/echolink_events.h, StartFromCommandLine).
void StartAfterStartup();

// The settings repairs LoadSettings reported during the last start-up.
const std::vector<std::string>& StartupNotes();

// Exit: saves the settings, silences the sound and lets go of the link object when an output has
// been chosen, then closes the main window. During a transmission it ends the transmission at
// its next symbol first (the key released) and exits from the message loop once nothing sounds;
// from the moment Exit is asked no new transmission starts.
void ExitWhenIdle();

// The session ends (shutdown, logoff) and the process may be ended as soon as this returns,
// whatever it was doing: a courtesy's key is released now, the sound silenced, the link object
// let go as the close box does (a release still on its way awaited), and the station log
// written out. Nothing is saved, as with the close box. The window closes after.
void EndSession();

// The close box: true when the window may close now; during a transmission the transmission
// ends first and the window closes from the message loop, without saving.
bool CloseWhenIdle();

}  // namespace corvanta
