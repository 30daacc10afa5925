#include "ui/win32/startup.h"

#include <exception>
#include <memory>

#include "core/errors.h"
#include "core/form_layout.h"
#include "core/platform.h"
#include "core/version.h"
#include "settings/settings.h"

// Windows' headers last: their macros (MessageBox, WAVE_FORMAT_PCM) would rename names of the
// program's interfaces.
#include <windows.h>

#include <commctrl.h>
#include <htmlhelp.h>
#undef MessageBox

namespace corvanta::win32 {

namespace {

// The screen's DPI: the splash and the About window are laid out for it when they open.
int ScreenDpi() {
  static const int dpi = [] {
    HDC screen = ::GetDC(nullptr);
    const int found = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return found > 0 ? found : 96;
  }();
  return dpi;
}

int Px(int twips) {
  return TwipsToPixels(twips, ScreenDpi());
}

constexpr const char* kNoHelp =
    "Unable to display Help Contents. There is no Help associated with this project.";

// A small window of labels drawn by the system: the splash and the About window share it.
struct Label {
  const char* name;
  int left, top, width, height;  // twips
  std::string text;
  const char* face;
  double points;
  bool bold;
};

HFONT MakeFont(const char* face, double points, bool bold) {
  return ::CreateFontW(-PointsToPixels(points, ScreenDpi()), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL,
                       FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                       Wide(face).c_str());
}

LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_CTLCOLORSTATIC:
      ::SetBkColor(reinterpret_cast<HDC>(w), ::GetSysColor(COLOR_BTNFACE));
      ::SetTextColor(reinterpret_cast<HDC>(w), RGB(0, 0, 0));
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    case WM_COMMAND:
      // OK, Enter and Esc close the About window.
      if (LOWORD(w) == IDOK || LOWORD(w) == IDCANCEL) ::DestroyWindow(window);
      return 0;
    case WM_CLOSE:
      ::DestroyWindow(window);
      return 0;
    default:
      return ::DefWindowProcW(window, message, w, l);
  }
}

const wchar_t* PlainClass() {
  static const wchar_t* name = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &PlainProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.hIcon = ::LoadIconW(wc.hInstance, MAKEINTRESOURCEW(1));
    wc.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"CorvantaPlain";
    ::RegisterClassW(&wc);
    return L"CorvantaPlain";
  }();
  return name;
}

HWND MakeLabels(HWND parent, const std::vector<Label>& labels, std::vector<HFONT>& fonts) {
  for (const Label& l : labels) {
    HWND label = ::CreateWindowExW(0, L"STATIC", Wide(l.text).c_str(),
                                   WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, Px(l.left),
                                   Px(l.top), Px(l.width), Px(l.height), parent, nullptr,
                                   ::GetModuleHandleW(nullptr), nullptr);
    fonts.push_back(MakeFont(l.face, l.points, l.bold));
    ::SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(fonts.back()), FALSE);
  }
  return parent;
}

HWND MakeIcon(HWND parent, int left, int top) {
  const int size = 32 * ScreenDpi() / 96;
  HWND picture =
      ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_ICON, Px(left), Px(top), size,
                        size, parent, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  HICON icon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1),
                                               IMAGE_ICON, size, size, LR_SHARED));
  ::SendMessageW(picture, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
  return picture;
}

// The client size in twips as a window rectangle for `style`.
RECT Outer(int width, int height, DWORD style, DWORD ex_style) {
  RECT r{0, 0, Px(width), Px(height)};
  ::AdjustWindowRectEx(&r, style, FALSE, ex_style);
  return r;
}

// frmSplash: no title bar, nothing to click; shown while start-up runs.
class FrmSplash {
 public:
  FrmSplash() {
    const DWORD style = WS_POPUP | WS_DLGFRAME;
    const RECT r = Outer(6435, 3690, style, 0);
    const int width = r.right - r.left, height = r.bottom - r.top;
    window_ = ::CreateWindowExW(WS_EX_TOOLWINDOW, PlainClass(), L"", style,
                                (::GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                (::GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                                nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    if (window_ == nullptr) return;
    ::CreateWindowExW(0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, Px(45), Px(-15),
                      Px(6330), Px(3630), window_, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    MakeIcon(window_, 195, 345);
    Form_Load();
  }
  ~FrmSplash() {
    if (window_ != nullptr) ::DestroyWindow(window_);
    for (HFONT f : fonts_) ::DeleteObject(f);
  }
  FrmSplash(const FrmSplash&) = delete;
  FrmSplash& operator=(const FrmSplash&) = delete;

  void Show() {
    if (window_ == nullptr) return;
    ::ShowWindow(window_, SW_SHOWNOACTIVATE);
    ::UpdateWindow(window_);  // painted now: no message runs until start-up is done
  }

 private:
  void Form_Load() {
    const std::string product = std::string(kAppTitle) + " - Version " +
                                std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor);
    MakeLabels(
        window_,
        {{"lblCompanyProduct", 945, 300, 5145, 330, "Amateur radio link stations", "Arial", 14.25,
          true},
         {"lblProductName", 960, 690, 5145, 360, product, "Arial", 15.75, true},
         {"lblCopyright", 3780, 1455, 2415, 255, "Copyright (C) 2026", "Arial", 8.25, false},
         {"lblCompany", 3795, 1710, 2415, 255, "The Corvanta developers", "Arial", 8.25, false},
         {"lblWarning", 840, 2025, 4650, 1440,
          "Courtesy tones for link stations\r\n\r\nThis software is currently in alpha "
          "testing\r\nFree to use on any amateur-radio station.",
          "Arial", 8.25, false}},
        fonts_);
  }

  HWND window_ = nullptr;
  std::vector<HFONT> fonts_;
};

void ShowHelp(UINT command) {
  const std::wstring& file = HelpFile();
  if (file.empty()) {
    MsgBox(kNoHelp, MsgIcon::kInformation);
    return;
  }
  const std::intptr_t window = MainWindowRef() != nullptr ? MainWindowRef()->Handle() : 0;
  // HTML Help tells nobody when it cannot open the file (missing, unreadable, no viewer): the
  // operator is told here instead, as a help call that fails is.
  std::intptr_t viewer = 0;
  std::string why;
  try {
    viewer = HelpCaller()(window, file, command);
  } catch (const std::exception& e) {
    why = e.what();
  }
  if (viewer == 0) {
    MsgBox(why.empty() ? "The help viewer could not open " + Narrow(file) : why, MsgIcon::kNone);
  }
}

}  // namespace

std::filesystem::path SettingsLocation(const std::filesystem::path& exe_dir,
                                       const wchar_t* appdata) {
  const bool has_appdata = appdata != nullptr && *appdata != L'\0';
  // An installed copy (its uninstaller beside it) keeps the user's settings with the user, also
  // when run as administrator, who could write into its folder: one file per user, always.
  std::error_code ec;
  const bool installed = std::filesystem::exists(exe_dir / L"uninstall.exe", ec);
  const std::filesystem::path beside =
      ResolveSettingsPath(exe_dir, installed && has_appdata, nullptr, nullptr);
  if (beside.parent_path() == exe_dir) return beside;
  if (!has_appdata) return beside;
  return std::filesystem::path(appdata) / L"Corvanta" / kSettingsFileName;
}

std::wstring& HelpFile() {
  static std::wstring file = [] {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring exe(path, n);
    return exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"corvanta.chm";
  }();
  return file;
}

HelpCall& HelpCaller() {
  static HelpCall call = [](std::intptr_t window, const std::wstring& file, unsigned command) {
    static wchar_t no_keyword[] = L"";
    return reinterpret_cast<std::intptr_t>(
        ::HtmlHelpW(reinterpret_cast<HWND>(window), file.c_str(), command,
                    command == HH_DISPLAY_INDEX ? reinterpret_cast<DWORD_PTR>(no_keyword) : 0));
  };
  return call;
}

void mnuHelpContents_Click() {
  ShowHelp(HH_DISPLAY_TOC);
}

void mnuHelpSearchForHelpOn_Click() {
  ShowHelp(HH_DISPLAY_INDEX);
}

std::string AboutDescription() {
  return "Echolink Courtesy Tone generator.\r\n\r\n"
         "This system will generate the desired Morse code courtesy tone when an RF single ends "
         "or\r\n"
         "the Internet stops transmitting to the link station.\r\n\r\n"
         "This is useful for confirmation that you have accessed a link or when the Internet "
         "station has finished transmitting.\r\n\r\n"
         "Copyright (C) 2026 the Corvanta developers. Free to use on any amateur-radio station.";
}

// frmAbout, modal: the main window takes no input until it closes; link events still arrive.
void mnuHelpAbout_Click() {
  HWND owner =
      MainWindowRef() != nullptr ? reinterpret_cast<HWND>(MainWindowRef()->Handle()) : nullptr;
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  const RECT r = Outer(6300, 4365, style, WS_EX_DLGMODALFRAME);
  HWND about = ::CreateWindowExW(WS_EX_DLGMODALFRAME, PlainClass(), L"About Corvanta", style,
                                 CW_USEDEFAULT, CW_USEDEFAULT, r.right - r.left, r.bottom - r.top,
                                 owner, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  if (about == nullptr) throw WindowError("cannot create the About window");
  std::vector<HFONT> fonts;
  MakeIcon(about, 240, 240);
  // The load step: version, title, description.
  const std::string version = "Version " + std::to_string(kVersionMajor) + "." +
                              std::to_string(kVersionMinor) + "." +
                              std::to_string(kVersionRevision);
  MakeLabels(about,
             {{"lblVersion", 1020, 615, 4095, 225, version, "Arial", 8.25, false},
              {"lblTitle", 1050, 240, 4095, 390, kAppTitle, "Arial", 12.375, true},
              {"lblDescription", 1050, 1125, 4095, 2235, AboutDescription(), "Arial", 8.25, false}},
             fonts);
  ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_ETCHEDHORZ, Px(405), Px(3645),
                    Px(5852) - Px(405), 2, about, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  HWND ok = ::CreateWindowExW(
      0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, Px(4680),
      Px(3855), Px(1467), Px(345), about, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)),
      ::GetModuleHandleW(nullptr), nullptr);
  fonts.push_back(MakeFont("Arial", 8.25, false));
  ::SendMessageW(ok, WM_SETFONT, reinterpret_cast<WPARAM>(fonts.back()), FALSE);
  if (owner != nullptr) {
    RECT o{};
    ::GetWindowRect(owner, &o);
    ::SetWindowPos(about, nullptr, o.left + 40, o.top + 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  }
  ::ShowWindow(about, SW_SHOW);
  ::SetFocus(ok);
  if (owner != nullptr) ::EnableWindow(owner, FALSE);
  MSG msg;
  while (::IsWindow(about) && ::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (::IsDialogMessageW(about, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  if (owner != nullptr) {
    ::EnableWindow(owner, TRUE);
    ::SetActiveWindow(owner);
  }
  if (::IsWindow(about)) ::DestroyWindow(about);
  for (HFONT f : fonts) ::DeleteObject(f);
}

namespace {

class Win32Toolkit final : public StartupToolkit {
 public:
  void ShowSplash() override {
    splash_ = std::make_unique<FrmSplash>();
    splash_->Show();
  }
  void CloseSplash() override { splash_.reset(); }
  MainWindow& CreateMainWindow(const WindowHandlers& handlers) override {
    frm_ = new FrmMain;
    frm_->handlers = handlers;
    frm_->Form_Load();
    return *frm_;
  }
  void ShowMainWindow() override { frm_->Show(); }
  void Post(std::function<void()> action) override {
    if (frm_ != nullptr && frm_->Handle() != 0) frm_->Post(std::move(action));
  }
  void CloseMainWindow() override {
    if (frm_ != nullptr && frm_->Handle() != 0) frm_->Close();
  }
  void DestroyMainWindow() override {
    if (frm_ != nullptr && frm_->Handle() != 0) {
      ::DestroyWindow(reinterpret_cast<HWND>(frm_->Handle()));
    }
  }
  // Every other window of the program still open closes with the main window, the latest first.
  void CloseOtherWindows() override {
    std::vector<HWND> windows;
    ::EnumThreadWindows(
        ::GetCurrentThreadId(),
        [](HWND window, LPARAM list) -> BOOL {
          reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    for (HWND window : windows) {
      if (!::IsWindowVisible(window)) continue;
      wchar_t cls[64] = {};
      ::GetClassNameW(window, cls, 64);
      if (std::wstring(cls) == L"CorvantaFrmMain") continue;
      ::PostMessageW(window, WM_CLOSE, 0, 0);
    }
  }
  void ShowHelpContents() override { mnuHelpContents_Click(); }
  void ShowHelpIndex() override { mnuHelpSearchForHelpOn_Click(); }
  void ShowAbout() override { mnuHelpAbout_Click(); }

  FrmMain* window() const { return frm_; }

 private:
  std::unique_ptr<FrmSplash> splash_;
  FrmMain* frm_ = nullptr;  // owned by Main's caller
};

}  // namespace

FrmMain* Main() {
  static Win32Toolkit toolkit;
  RunStartup(toolkit);
  return toolkit.window();
}

}  // namespace corvanta::win32
