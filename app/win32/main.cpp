// corvanta.exe: the Windows program. Installs the Win32 platform services, DirectSound and the
// link program's COM object, runs start-up and then the message loop until the main window is
// gone.

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "audio/audio_state.h"
#include "audio/directsound/directsound_sound.h"
#include "core/link.h"
#include "core/main_window.h"
#include "core/station_log.h"
#include "core/win32/win32_platform.h"
#include "link/com/com_link.h"
#include "link/startup.h"
#include "settings/settings.h"
#include "ui/win32/one_copy.h"
#include "ui/win32/startup.h"

// Windows' headers last: their macros (MessageBox, WAVE_FORMAT_PCM) would rename names of the
// program's interfaces.
#include <objbase.h>

#include <commctrl.h>
#include <shellapi.h>
#undef MessageBox

namespace {

namespace fs = std::filesystem;

// Whether the command line asks for monitoring from launch: /start or --start (a shortcut in the
// Startup folder gives it).
bool StartRequested() {
  int count = 0;
  LPWSTR* args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (args == nullptr) return false;
  bool start = false;
  for (int i = 1; i < count; ++i) {
    if (::lstrcmpiW(args[i], L"/start") == 0 || ::lstrcmpiW(args[i], L"--start") == 0) {
      start = true;
    }
  }
  ::LocalFree(args);
  return start;
}

// The station log: %LOCALAPPDATA%\Corvanta\corvanta.log; none without %LOCALAPPDATA%.
fs::path StationLogLocation() {
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  if (local == nullptr || *local == L'\0') return {};
  return fs::path(local) / L"Corvanta" / L"corvanta.log";
}

fs::path ExeFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(std::wstring(path, n)).parent_path();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // One copy per link program: a second one brings the first forward and ends before it touches
  // the link or the sound.
  const corvanta::win32::SessionClaim claim;
  if (!claim.claimed()) {
    corvanta::win32::ShowFirstCopy();
    return 1;
  }
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                ICC_BAR_CLASSES | ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&controls);

  corvanta::Win32Platform platform;
  corvanta::ScopedPlatform installed(platform);
  corvanta::SetSettingsPath(corvanta::win32::SettingsLocation(ExeFolder(), _wgetenv(L"APPDATA")));
  corvanta::DirectSoundBackend sound;
  corvanta::Audio.Backend = &sound;
  corvanta::ComLinkOptions link;
  link.status = corvanta::LinkStatus;
  // Opened before start-up, which it logs.
  corvanta::OpenStationLog(StationLogLocation());
  corvanta::LinkObjectFactory() = corvanta::ComLinkFactory(link);
  corvanta::LinkReleasesSent() = corvanta::ComLinkReleasesSent;

  std::unique_ptr<corvanta::win32::FrmMain> frm;
  try {
    frm.reset(corvanta::win32::Main());
  } catch (const std::exception& e) {
    ::MessageBoxW(nullptr, corvanta::win32::Wide(e.what()).c_str(), L"Corvanta", MB_ICONERROR);
    return 1;
  }
  if (StartRequested()) corvanta::StartAfterStartup();
  HWND window = reinterpret_cast<HWND>(frm->Handle());
  MSG msg;
  int status = 0;
  while (true) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      status = got == 0 ? static_cast<int>(msg.wParam) : 1;
      break;
    }
    // Tab, the arrow keys and the access keys (Ex&it) work as in a dialog.
    if (::IsWindow(window) && ::IsDialogMessageW(window, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  corvanta::SetMainWindowRef(nullptr);
  frm.reset();  // releases the link object it holds
  corvanta::Audio.Backend = nullptr;
  corvanta::ResetAudioState();
  corvanta::LinkObjectFactory() = nullptr;
  corvanta::CloseStationLog();  // what is queued is written before the program ends
  ::CoUninitialize();
  return status;
}
