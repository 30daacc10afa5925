#pragma once
// What the routines outside the main window do to it. The Qt window implements this; tests use a
// fake. Setting a slider or a text box to a value that differs from the current one raises that
// control's change handler at once, as the toolkit does.
//
// Thread rules: window thread only (the Qt window is made of widgets). No call here processes
// window messages or blocks by itself; the handlers a setter raises run inside it, though, and a
// device click opens the output device, which can take a while and show a message box whose event
// loop does run other handlers.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/link.h"

namespace corvanta {

enum class Slider { sldSpeed, sldFreq, HScroll2 };
enum class ValueLabel { TextSpeed, textFreq, lblVolumeValue };
enum class TextBox { txtTX, txtRX };
enum class Picture { picTX, picRX };

class MainWindow {
 public:
  virtual ~MainWindow() = default;

  // First panel of the status bar.
  virtual void SetStatusText(const std::string& text) = 0;
  virtual std::string StatusText() const = 0;

  virtual void SetPictureVisible(Picture which, bool visible) = 0;
  // Repaints the window at once, without processing other messages.
  virtual void Refresh() = 0;

  virtual void SetTestEnabled(bool enabled) = 0;
  virtual void SetDeviceBoxEnabled(bool enabled) = 0;

  // The device list: entries in order, the selected position (0-based, -1 for none) and the
  // editable text. Selecting an entry raises the list's click handler; setting the text does not.
  virtual void AddDevice(const std::string& description) = 0;
  // Empties the list and the text; raises nothing.
  virtual void ClearDevices() = 0;
  virtual int DeviceCount() const = 0;
  virtual void SelectDevice(int position) = 0;
  virtual int SelectedDevice() const = 0;
  virtual void SetDeviceText(const std::string& text) = 0;
  virtual std::string DeviceText() const = 0;

  virtual void SetSlider(Slider which, int value) = 0;
  virtual int SliderValue(Slider which) const = 0;
  virtual void SetLabel(ValueLabel which, const std::string& text) = 0;
  virtual std::string LabelText(ValueLabel which) const = 0;
  virtual void SetTextBox(TextBox which, const std::string& text) = 0;
  virtual std::string TextBoxText(TextBox which) const = 0;

  // Native handle handed to the sound device's cooperative level.
  virtual std::intptr_t Handle() const = 0;

  // The link program's object held by the window (empty when none); its events reach the window.
  // The window owns it. Start-up, Send, a transmission that finds none held, and Exit replace or
  // empty it, possibly from a handler run inside another one's message processing: take it afresh
  // after such a call instead of keeping a raw pointer. It may be destroyed from inside one of its
  // own event handlers; its events stop at once.
  std::unique_ptr<LinkObject> Echolink;
};

// What the main window's buttons, its Help menu, its closing and its sound watch do. Start-up
// fills them in; an empty one makes its control do nothing. Each toolkit's window calls them on
// the window thread, from its own message processing.
struct WindowHandlers {
  std::function<void()> cmdEchoLink_Click;
  std::function<void()> cmdTest_Click;
  std::function<void()> CmdSend_Click;
  std::function<void()> cmdExit_Click;
  std::function<void()> Form_Unload;
  // Asked before the window closes; false puts the closing off (the handler closes the window
  // again itself later).
  std::function<bool()> Form_QueryUnload;
  std::function<void()> mnuHelpContents_Click;
  std::function<void()> mnuHelpSearchForHelpOn_Click;
  std::function<void()> mnuHelpAbout_Click;
  // The operating system ends the session (shutdown, logoff): the process may end as soon as
  // this returns, in the middle of a courtesy or not.
  std::function<void()> session_end;
  // Every kSoundWatchMs while the window is open: notices a sound output that went away. (A
  // courtesy under way notices it at its next element by itself.)
  std::function<void()> sound_watch;
};

// How often an idle window looks for a lost output: as often as an operator needs telling, no
// more, so that an idle station costs next to nothing.
inline constexpr int kSoundWatchMs = 2000;

// The program-wide reference to the one main window, set by start-up and cleared at exit.
// Not owning: the Qt window deletes itself once closed and clears the reference as it goes. Code
// that runs after message processing (a handler, a deferred action, the rest of a transmission)
// fetches the window afresh instead of keeping a reference from before.
MainWindow* MainWindowRef();
void SetMainWindowRef(MainWindow* window);
// The main window; throws WindowError when there is none (after exit began).
MainWindow& Window();

// Runs a handler at the boundary with the window system, or a step start-up goes on after: any
// error goes to the status bar (or, with no main window left, to standard error) and the program
// goes on. An empty handler does nothing.
void Guarded(const std::function<void()>& handler);

}  // namespace corvanta
