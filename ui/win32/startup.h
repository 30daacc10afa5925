#pragma once
// The Windows program's windows under the portable start-up and shutdown (link/startup.h): the
// splash, the main window, the About window and HTML Help.
//
// Thread rules: the window thread, which must be a single-threaded COM apartment with the
// common controls loaded. Main blocks for the splash's second and processes no messages.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "link/startup.h"
#include "ui/win32/main_window.h"

namespace corvanta::win32 {

// Where the settings file lives: beside the program when its folder `exe_dir` takes new files and
// holds no uninstaller (a portable copy), otherwise, as an installed copy, in
// `appdata`\Corvanta\ (the user's %APPDATA%), even when run with rights to write beside it. With
// no %APPDATA% it stays with the program's folder, and saving reports it.
std::filesystem::path SettingsLocation(const std::filesystem::path& exe_dir,
                                       const wchar_t* appdata);

// Runs start-up (link/startup.h) with the Windows program's windows; returns the shown main
// window (owned by the caller; it stays valid until the message loop has ended).
FrmMain* Main();

// The help file's full path: corvanta.chm beside the program. Empty means no help.
std::wstring& HelpFile();
// The HTML Help call the Help menu makes: command 1 (HH_DISPLAY_TOC) opens the contents, 2
// (HH_DISPLAY_INDEX) the keyword index with an empty keyword. It returns the viewer's window, or
// 0 when none opened. HTML Help tells nobody why (a missing or unreadable file, no viewer), so the
// menu then says in a message box that the help viewer could not open the file; a call that
// throws is said in its own words. With no help file at all the menu says there is no Help.
// Tests may record the call instead.
using HelpCall =
    std::function<std::intptr_t(std::intptr_t window, const std::wstring& file, unsigned command)>;
HelpCall& HelpCaller();
void mnuHelpContents_Click();
void mnuHelpSearchForHelpOn_Click();
void mnuHelpAbout_Click();
// The About window's description, lines separated by CR LF.
std::string AboutDescription();

}  // namespace corvanta::win32
