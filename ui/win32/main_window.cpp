#include "ui/win32/main_window.h"

#include <memory>
#include <utility>

#include "audio/sound_device.h"
#include "core/errors.h"
#include "core/form_layout.h"
#include "core/state.h"
#include "core/window_handlers.h"
#include "ui/win32/one_copy.h"

// Windows' headers last: their macros (MessageBox, WAVE_FORMAT_PCM) would rename names of the
// program's interfaces.
#include <windows.h>

#include <commctrl.h>
#undef MessageBox

namespace corvanta::win32 {

namespace {

constexpr UINT kPostedMessage = WM_APP + 1;
constexpr UINT_PTR kClockTimer = 1;
constexpr UINT_PTR kSoundTimer = 2;
constexpr int kFirstId = 100;
constexpr int kMenuContents = 40;
constexpr int kMenuSearch = 41;
constexpr int kMenuAbout = 42;
constexpr std::size_t kHistory = 8;
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr const wchar_t* kClassName = L"CorvantaFrmMain";
// A fixed border: caption, system menu and minimise, no sizing.
// No WS_CLIPCHILDREN: the frames are transparent and need the window's face behind them.
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

int Px(int twips, int dpi) {
  return TwipsToPixels(twips, dpi);
}

// The window's DPI. Windows 10 tells each window its own (per-monitor awareness); older systems
// have one for the whole screen.
int WindowDpi(HWND window) {
  using GetDpiForWindowCall = UINT(WINAPI*)(HWND);
  static const auto get_dpi = [] {
    const FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow");
    return reinterpret_cast<GetDpiForWindowCall>(reinterpret_cast<void (*)()>(found));
  }();
  if (get_dpi != nullptr && window != nullptr) {
    if (const UINT dpi = get_dpi(window); dpi > 0) return static_cast<int>(dpi);
  }
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

HFONT MakeFont(const FontStyle& style, const FontStyle& fallback, int dpi) {
  const FontStyle& f = style.points > 0 ? style : fallback;
  // Points to pixels at the window's DPI, negative: the character height without the leading.
  const int height = -PointsToPixels(f.points, dpi);
  return ::CreateFontW(height, 0, 0, 0, f.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, Wide(f.face).c_str());
}

std::string WindowText(HWND control) {
  const int n = ::GetWindowTextLengthW(control);
  std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
  ::GetWindowTextW(control, text.data(), n + 1);
  text.resize(static_cast<std::size_t>(n));
  return Narrow(text);
}

}  // namespace

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

class WindowProcedure {
 public:
  static LRESULT CALLBACK Run(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(l);
      ::SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<FrmMain*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr || self->window_ == nullptr) {
      return ::DefWindowProcW(window, message, w, l);
    }
    return self->OnMessage(message, w, l);
  }
};

FrmMain::FrmMain() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &WindowProcedure::Run;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.hIcon = ::LoadIconW(wc.hInstance, MAKEINTRESOURCEW(1));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    return ::RegisterClassExW(&wc) != 0;
  }();
  if (!registered) throw WindowError("cannot register the main window's class");

  // The menu: Help with its access keys.
  HMENU bar = ::CreateMenu();
  HMENU help = ::CreatePopupMenu();
  ::AppendMenuW(help, MF_STRING, kMenuContents, L"&Contents");
  ::AppendMenuW(help, MF_STRING, kMenuSearch, L"&Search For Help On...");
  ::AppendMenuW(help, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(help, MF_STRING, kMenuAbout, L"&About ");
  ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(help), L"&Help");

  // Sized and laid out at the window's own DPI below, once the window exists to tell it.
  window_ =
      ::CreateWindowExW(0, kClassName, Wide(kAppTitle).c_str(), kStyle, CW_USEDEFAULT,
                        CW_USEDEFAULT, 100, 100, nullptr, bar, ::GetModuleHandleW(nullptr), this);
  if (window_ == nullptr) throw WindowError("cannot create the main window");

  int id = kFirstId;
  for (const ControlEntry& c : MainFormControls()) {
    const wchar_t* cls = L"STATIC";
    DWORD ctl_style = WS_CHILD | (c.visible ? WS_VISIBLE : 0);
    DWORD ex_style = 0;
    switch (c.kind) {
      case ControlKind::kFrame:
        cls = L"BUTTON";
        ctl_style |= BS_GROUPBOX;
        break;
      case ControlKind::kLabel:
      case ControlKind::kValueLabel:
        ctl_style |= SS_LEFT | SS_NOPREFIX;
        break;
      case ControlKind::kSlider:
        cls = TRACKBAR_CLASSW;
        ctl_style |= WS_TABSTOP | TBS_HORZ | TBS_NOTICKS;
        break;
      case ControlKind::kTextBox:
        cls = L"EDIT";
        ctl_style |= WS_TABSTOP | ES_AUTOHSCROLL;
        ex_style = WS_EX_CLIENTEDGE;
        break;
      case ControlKind::kComboBox:
        cls = L"COMBOBOX";
        ctl_style |= WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL;
        break;
      case ControlKind::kButton:
        cls = L"BUTTON";
        ctl_style |= WS_TABSTOP | BS_PUSHBUTTON;
        break;
      case ControlKind::kPicture:
        ctl_style |= SS_OWNERDRAW;
        break;
      case ControlKind::kStatusBar:
        cls = STATUSCLASSNAMEW;
        ctl_style |= CCS_NOPARENTALIGN | CCS_NORESIZE | WS_CLIPSIBLINGS;
        break;
    }
    HWND control = ::CreateWindowExW(ex_style, cls, Wide(c.caption).c_str(), ctl_style, 0, 0, 0, 0,
                                     window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                     ::GetModuleHandleW(nullptr), nullptr);
    if (control == nullptr) throw WindowError(std::string("cannot create ") + c.name);
    if (c.kind == ControlKind::kSlider) {
      ::SendMessageW(control, TBM_SETRANGEMIN, FALSE, c.range.min);
      ::SendMessageW(control, TBM_SETRANGEMAX, FALSE, c.range.max);
      if (c.range.page_step > 0) ::SendMessageW(control, TBM_SETPAGESIZE, 0, c.range.page_step);
      ::SendMessageW(control, TBM_SETPOS, TRUE, c.range.min);
      reported_[control] = c.range.min;
    }
    if (c.kind == ControlKind::kStatusBar) {
      ::SendMessageW(control, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(L"Status"));
    }
    if (c.kind == ControlKind::kPicture) {
      // The indicators lie over the status strip.
      ::SetWindowPos(control, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    }
    controls_.emplace(c.name, control);
    ++id;
  }
  Layout(WindowDpi(window_));
  const auto [width, height] = FrameFor(dpi_);
  ::SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  UpdateClock();
  ::SetTimer(window_, kSoundTimer, kSoundWatchMs, nullptr);
}

std::pair<int, int> FrmMain::FrameFor(int dpi) const {
  RECT frame{0, 0, Px(kMainClient.width, dpi), Px(kMainClient.height, dpi)};
  using AdjustForDpiCall = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  static const auto adjust = [] {
    const FARPROC found =
        ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi");
    return reinterpret_cast<AdjustForDpiCall>(reinterpret_cast<void (*)()>(found));
  }();
  if (adjust != nullptr) {
    adjust(&frame, kStyle, TRUE, 0, static_cast<UINT>(dpi));
  } else {
    ::AdjustWindowRectEx(&frame, kStyle, TRUE, 0);
  }
  return {frame.right - frame.left, frame.bottom - frame.top};
}

void FrmMain::Layout(int dpi) {
  dpi_ = dpi;
  HFONT main_font = MakeFont(kMainFont, kMainFont, dpi);
  HFONT label_font = MakeFont(FontStyle{"Arial", 9, false}, kMainFont, dpi);
  for (const ControlEntry& c : MainFormControls()) {
    HWND control = Control(c.name);
    int left = Px(c.place.left, dpi), top = Px(c.place.top, dpi);
    if (*c.parent != '\0') {
      const ControlEntry& parent = MainFormControl(c.parent);
      left = Px(parent.place.left + c.place.left, dpi);
      top = Px(parent.place.top + c.place.top, dpi);
    }
    // A drop-down box's height is its list's when dropped down.
    const int height = c.kind == ControlKind::kComboBox ? Px(3000, dpi) : Px(c.place.height, dpi);
    ::SetWindowPos(control, nullptr, left, top, Px(c.place.width, dpi), height,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    const bool label = c.font.points > 0 && c.font.points != kMainFont.points;
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(label ? label_font : main_font),
                   TRUE);
    if (c.kind == ControlKind::kStatusBar) {
      const int total = Px(c.place.width, dpi);
      const int date = kDatePanelPx * dpi / 96, time = kTimePanelPx * dpi / 96;
      int parts[3] = {total - date - time, total - time, -1};
      ::SendMessageW(control, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(parts));
    }
  }
  if (main_font_ != nullptr) ::DeleteObject(static_cast<HFONT>(main_font_));
  if (label_font_ != nullptr) ::DeleteObject(static_cast<HFONT>(label_font_));
  main_font_ = main_font;
  label_font_ = label_font;
}

FrmMain::~FrmMain() {
  if (window_ != nullptr) {
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    ::DestroyWindow(window_);
  }
  if (main_font_ != nullptr) ::DeleteObject(static_cast<HFONT>(main_font_));
  if (label_font_ != nullptr) ::DeleteObject(static_cast<HFONT>(label_font_));
}

HWND FrmMain::Control(std::string_view name) const {
  const auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

void FrmMain::Show() {
  ::ShowWindow(window_, SW_SHOW);
  ::UpdateWindow(window_);
  ::SetFocus(Control("sldSpeed"));
}

void FrmMain::Close() {
  ::PostMessageW(window_, WM_CLOSE, 0, 0);
}

void FrmMain::Form_Load() {
  ::SetWindowTextW(Control("cmdExit"), L"Ex&it");
  ::SetWindowTextW(Control("CmdSend"), L"Sen&d");
  ::SetWindowTextW(Control("cmdEchoLink"), L"Start");
}

void FrmMain::Post(std::function<void()> action) {
  posted_.push_back(std::move(action));
  ::PostMessageW(window_, kPostedMessage, 0, 0);
}

void FrmMain::SetStatusText(const std::string& text) {
  status_text_ = text;
  status_history_.push_back(text);
  if (status_history_.size() > kHistory) status_history_.erase(status_history_.begin());
  ::SendMessageW(Control("sbStatusBar"), SB_SETTEXTW, 0,
                 reinterpret_cast<LPARAM>(Wide(text).c_str()));
}

std::string FrmMain::StatusText() const {
  return status_text_;
}

void FrmMain::SetPictureVisible(Picture which, bool visible) {
  ::ShowWindow(Control(which == Picture::picTX ? "picTX" : "picRX"), visible ? SW_SHOW : SW_HIDE);
}

void FrmMain::Refresh() {
  ::RedrawWindow(window_, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_ERASE);
}

void FrmMain::SetTestEnabled(bool enabled) {
  ::EnableWindow(Control("cmdTest"), enabled ? TRUE : FALSE);
}

void FrmMain::SetDeviceBoxEnabled(bool enabled) {
  ::EnableWindow(Control("cmboDevice"), enabled ? TRUE : FALSE);
}

void FrmMain::ClearDevices() {
  ::SendMessageW(Control("cmboDevice"), CB_RESETCONTENT, 0, 0);
  ::SetWindowTextW(Control("cmboDevice"), L"");
}

void FrmMain::AddDevice(const std::string& description) {
  ::SendMessageW(Control("cmboDevice"), CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(Wide(description).c_str()));
}

int FrmMain::DeviceCount() const {
  return static_cast<int>(::SendMessageW(Control("cmboDevice"), CB_GETCOUNT, 0, 0));
}

void FrmMain::SelectDevice(int position) {
  ::SendMessageW(Control("cmboDevice"), CB_SETCURSEL, static_cast<WPARAM>(position), 0);
  Run(cmboDevice_Click);  // as the list's click
}

int FrmMain::SelectedDevice() const {
  return static_cast<int>(::SendMessageW(Control("cmboDevice"), CB_GETCURSEL, 0, 0));
}

void FrmMain::SetDeviceText(const std::string& text) {
  ::SetWindowTextW(Control("cmboDevice"), Wide(text).c_str());
}

std::string FrmMain::DeviceText() const {
  return WindowText(Control("cmboDevice"));
}

HWND FrmMain::SliderFor(Slider which) const {
  return Control(which == Slider::sldSpeed  ? "sldSpeed"
                 : which == Slider::sldFreq ? "sldFreq"
                                            : "HScroll2");
}

HWND FrmMain::LabelFor(ValueLabel which) const {
  return Control(which == ValueLabel::TextSpeed  ? "TextSpeed"
                 : which == ValueLabel::textFreq ? "textFreq"
                                                 : "lblVolumeValue");
}

HWND FrmMain::BoxFor(TextBox which) const {
  return Control(which == TextBox::txtRX ? "txtRX" : "txtTX");
}

void FrmMain::SetSlider(Slider which, int value) {
  HWND slider = SliderFor(which);
  const SliderRange& range = RangeOf(which);
  value = std::min(std::max(value, range.min), range.max);
  ::SendMessageW(slider, TBM_SETPOS, TRUE, value);
  OnSlider(slider, TB_ENDTRACK);  // a change of position raises the handler, as in the toolkit
}

int FrmMain::SliderValue(Slider which) const {
  return static_cast<int>(::SendMessageW(SliderFor(which), TBM_GETPOS, 0, 0));
}

void FrmMain::SetLabel(ValueLabel which, const std::string& text) {
  ::SetWindowTextW(LabelFor(which), Wide(text).c_str());
}

std::string FrmMain::LabelText(ValueLabel which) const {
  return WindowText(LabelFor(which));
}

void FrmMain::SetTextBox(TextBox which, const std::string& text) {
  // EN_CHANGE raises the handler; an unchanged text raises nothing.
  if (TextBoxText(which) == text) return;
  ::SetWindowTextW(BoxFor(which), Wide(text).c_str());
}

std::string FrmMain::TextBoxText(TextBox which) const {
  return WindowText(BoxFor(which));
}

std::intptr_t FrmMain::Handle() const {
  return reinterpret_cast<std::intptr_t>(window_);
}

void FrmMain::Run(const std::function<void()>& handler) {
  if (handler) Guarded(handler);
}

// The date and the time to the minute, set when they change; the timer wakes once a minute, just
// after the minute turns, not every second.
void FrmMain::UpdateClock() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  wchar_t date[64] = {}, time[64] = {};
  ::GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, date, 64);
  ::GetTimeFormatW(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &now, nullptr, time, 64);
  const std::wstring shown = std::wstring(date) + L"|" + time;
  if (shown != clock_text_) {
    clock_text_ = shown;
    HWND bar = Control("sbStatusBar");
    ::SendMessageW(bar, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(date));
    ::SendMessageW(bar, SB_SETTEXTW, 2, reinterpret_cast<LPARAM>(time));
  }
  const UINT to_next_minute = (60 - now.wSecond) * 1000u - now.wMilliseconds + 20u;
  ::SetTimer(window_, kClockTimer, to_next_minute, nullptr);
}

// A slider reports a new position when it is let go and on every keyboard or page step; while
// its thumb is dragged nothing happens.
void FrmMain::OnSlider(HWND control, int code) {
  if (code == TB_THUMBTRACK) return;
  const int position = static_cast<int>(::SendMessageW(control, TBM_GETPOS, 0, 0));
  int& last = reported_[control];
  if (position == last) return;
  last = position;
  if (control == Control("sldSpeed")) {
    Guarded([position] { sldSpeed_Change(position); });
  } else if (control == Control("sldFreq")) {
    Guarded([position] { sldFreq_Change(position); });
  } else if (control == Control("HScroll2")) {
    Guarded([position] { HScroll2_Change(position); });
  }
}

void FrmMain::OnCommand(int id, int code, HWND control) {
  switch (id) {
    case kMenuContents:
      return Run(handlers.mnuHelpContents_Click);
    case kMenuSearch:
      return Run(handlers.mnuHelpSearchForHelpOn_Click);
    case kMenuAbout:
      return Run(handlers.mnuHelpAbout_Click);
    default:
      break;
  }
  if (control == nullptr) return;
  if (control == Control("txtRX") && code == EN_CHANGE) {
    const std::string text = WindowText(control);
    return Guarded([&text] { txtRX_Change(text); });
  }
  if (control == Control("txtTX") && code == EN_CHANGE) {
    const std::string text = WindowText(control);
    return Guarded([&text] { txtTX_Change(text); });
  }
  if (control == Control("cmboDevice")) {
    // With the list dropped, every arrow key moves the selection: only the entry taken (Return, a
    // click) is the operator's pick. With the list closed, each arrow key picks.
    if (code == CBN_SELCHANGE && ::SendMessageW(control, CB_GETDROPPEDSTATE, 0, 0) != FALSE) {
      pick_pending_ = true;
      return;
    }
    if (code == CBN_SELENDCANCEL) pick_pending_ = false;
    if (code == CBN_SELENDOK && !std::exchange(pick_pending_, false)) return;
    if (code != CBN_SELCHANGE && code != CBN_SELENDOK) return;
    // The box tells of a new selection before its own text follows: the text is made the chosen
    // entry's first, so the handler stores the name of the output the operator picked.
    const LRESULT chosen = ::SendMessageW(control, CB_GETCURSEL, 0, 0);
    const LRESULT length = ::SendMessageW(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(chosen), 0);
    if (chosen != CB_ERR && length != CB_ERR) {
      std::wstring entry(static_cast<std::size_t>(length) + 1, L'\0');
      ::SendMessageW(control, CB_GETLBTEXT, static_cast<WPARAM>(chosen),
                     reinterpret_cast<LPARAM>(entry.data()));
      entry.resize(static_cast<std::size_t>(length));
      ::SetWindowTextW(control, entry.c_str());
    }
    return Run(cmboDevice_Click);
  }
  if (code != BN_CLICKED) return;
  if (control == Control("cmdEchoLink")) return Run(handlers.cmdEchoLink_Click);
  if (control == Control("cmdTest")) return Run(handlers.cmdTest_Click);
  if (control == Control("CmdSend")) return Run(handlers.CmdSend_Click);
  if (control == Control("cmdExit")) return Run(handlers.cmdExit_Click);
}

std::intptr_t FrmMain::OnMessage(unsigned message, std::uintptr_t w, std::intptr_t l) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(w), HIWORD(w), reinterpret_cast<HWND>(l));
      return 0;
    case WM_HSCROLL:
      if (l != 0) OnSlider(reinterpret_cast<HWND>(l), LOWORD(w));
      return 0;
    case WM_TIMER:
      if (w == kClockTimer) UpdateClock();
      if (w == kSoundTimer) Run(handlers.sound_watch);
      return 0;
    case WM_CTLCOLORSTATIC: {
      // The value labels are written in blue on the window's face.
      HWND control = reinterpret_cast<HWND>(l);
      HDC dc = reinterpret_cast<HDC>(w);
      if (control == Control("TextSpeed") || control == Control("textFreq") ||
          control == Control("lblVolumeValue")) {
        ::SetTextColor(dc, kBlue);
      }
      ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_DRAWITEM: {
      // The indicators: a lamp, red while the TX character is sent, green for RX.
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(l);
      const bool tx = item->hwndItem == Control("picTX");
      HBRUSH lamp = ::CreateSolidBrush(tx ? RGB(220, 0, 0) : RGB(0, 170, 0));
      ::FillRect(item->hDC, &item->rcItem, ::GetSysColorBrush(COLOR_BTNFACE));
      HGDIOBJ old = ::SelectObject(item->hDC, lamp);
      const RECT& r = item->rcItem;
      const int size = std::min(r.right - r.left, r.bottom - r.top) - 2;
      ::Ellipse(item->hDC, r.left + 1, r.top + 1, r.left + 1 + size, r.top + 1 + size);
      ::SelectObject(item->hDC, old);
      ::DeleteObject(lamp);
      return TRUE;
    }
    case kPostedMessage: {
      auto actions = std::move(posted_);
      posted_.clear();
      for (auto& action : actions) Guarded(action);
      return 0;
    }
    case WM_DPICHANGED: {
      // Moved to a monitor of another scale, or the scale changed: laid out afresh at the new
      // DPI, where Windows suggests.
      const auto* suggested = reinterpret_cast<const RECT*>(l);
      Layout(static_cast<int>(LOWORD(w)));
      const auto [width, height] = FrameFor(dpi_);
      ::SetWindowPos(window_, nullptr, suggested->left, suggested->top, width, height,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_QUERYENDSESSION:
      return TRUE;  // a station PC that shuts down is not held up
    case WM_ENDSESSION:
      if (w != FALSE) {
        Run(handlers.session_end);
        Close();
      }
      return 0;
    case WM_CLOSE:
      if (handlers.Form_QueryUnload && !handlers.Form_QueryUnload()) return 0;
      ::DestroyWindow(window_);
      return 0;
    case WM_DESTROY:
      ::KillTimer(window_, kClockTimer);
      ::KillTimer(window_, kSoundTimer);
      Run(handlers.Form_Unload);
      ::PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY: {
      HWND window = window_;
      window_ = nullptr;
      return ::DefWindowProcW(window, message, w, l);
    }
    default:
      if (message == SecondCopyMessage()) {
        if (::IsIconic(window_)) ::ShowWindow(window_, SW_RESTORE);
        ::SetForegroundWindow(window_);
        SetStatusText(kSecondCopyText);
        return 0;
      }
      return ::DefWindowProcW(window_, message, w, l);
  }
}

}  // namespace corvanta::win32
