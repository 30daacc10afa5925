#pragma once
// frmMain as a native Win32 window: every control of the portable control table
// (core/form_layout.h) at its twips place at the window's DPI (15 twips a pixel at 96 dpi, 10 at
// 144; laid out again when the window moves to a monitor of another scale), common controls v6
// (trackbars, a drop-down combo box, edit boxes, push buttons, a three-panel status bar with the
// date and time), the Help menu and the two indicator pictures.
//
// Thread rules: window thread only, as every MainWindow. The setters raise the change handlers at
// once, as the toolkit does; nothing here runs other window messages except Refresh, which
// repaints this window only.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/main_window.h"

// Windows' window handle, without windows.h: its macros would rename names of the program's
// interfaces (MessageBox, WAVE_FORMAT_PCM) in every file that includes this one.
struct HWND__;
using HWND = HWND__*;

namespace corvanta::win32 {

class FrmMain final : public MainWindow {
 public:
  // Creates the window, hidden, with all its controls. Throws WindowError when it cannot.
  FrmMain();
  ~FrmMain() override;
  FrmMain(const FrmMain&) = delete;
  FrmMain& operator=(const FrmMain&) = delete;

  // MainWindow
  void SetStatusText(const std::string& text) override;
  std::string StatusText() const override;
  void SetPictureVisible(Picture which, bool visible) override;
  void Refresh() override;
  void SetTestEnabled(bool enabled) override;
  void SetDeviceBoxEnabled(bool enabled) override;
  void AddDevice(const std::string& description) override;
  void ClearDevices() override;
  int DeviceCount() const override;
  void SelectDevice(int position) override;
  int SelectedDevice() const override;
  void SetDeviceText(const std::string& text) override;
  std::string DeviceText() const override;
  void SetSlider(Slider which, int value) override;
  int SliderValue(Slider which) const override;
  void SetLabel(ValueLabel which, const std::string& text) override;
  std::string LabelText(ValueLabel which) const override;
  void SetTextBox(TextBox which, const std::string& text) override;
  std::string TextBoxText(TextBox which) const override;
  std::intptr_t Handle() const override;

  void Show();
  // Closes the window as its close box does (asking Form_QueryUnload first).
  void Close();
  // The window's load step: the captions of Exit, Send and Start.
  void Form_Load();
  // The control named as in the control table, or nullptr.
  HWND Control(std::string_view name) const;
  const std::vector<std::string>& StatusHistory() const { return status_history_; }

  // Start-up fills them in; sound_watch runs every kSoundWatchMs.
  using Handlers = WindowHandlers;
  Handlers handlers;

  // Runs `action` from the message loop, after the current message (a deferred close).
  void Post(std::function<void()> action);

 private:
  friend class WindowProcedure;  // the window procedure, beside the implementation
  std::intptr_t OnMessage(unsigned message, std::uintptr_t w, std::intptr_t l);
  void OnCommand(int id, int code, HWND control);
  void OnSlider(HWND control, int code);
  void UpdateClock();
  // Places every control and sets the fonts at `dpi` (twips x dpi / 1440, points x dpi / 72).
  void Layout(int dpi);
  // The outer width and height of the window whose client area is the form's at `dpi`.
  std::pair<int, int> FrameFor(int dpi) const;
  HWND SliderFor(Slider which) const;
  HWND LabelFor(ValueLabel which) const;
  HWND BoxFor(TextBox which) const;
  void Run(const std::function<void()>& handler);

  HWND window_ = nullptr;
  void* main_font_ = nullptr;   // HFONT
  void* label_font_ = nullptr;  // HFONT
  int dpi_ = 96;
  std::map<std::string, HWND, std::less<>> controls_;
  std::map<HWND, int> reported_;  // each slider's last reported position
  std::vector<std::string> status_history_;
  std::vector<std::function<void()>> posted_;
  std::string status_text_ = "Status";
  std::wstring clock_text_;    // the date and time panels' texts as last set
  bool pick_pending_ = false;  // an entry moved to in the dropped device list, not yet taken
};

// Text conversions between the program's UTF-8 and Windows' UTF-16.
std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);

}  // namespace corvanta::win32
