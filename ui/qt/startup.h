#pragma once
// Start-up and shutdown: Main builds the windows in a fixed order behind the splash window; Exit
// saves and lets go; closing the main window closes every other window.
#include <string>
#include <vector>

namespace corvanta {

class FrmMain;

// Runs start-up and returns the shown main window (deleted by Qt when it closes). The sound
// backend and the link factory are installed by the caller beforehand.
FrmMain* Main();

void cmdExit_Click();
void Form_Unload();

// The settings repairs LoadSettings reported during the last start-up.
const std::vector<std::string>& StartupNotes();

}  // namespace corvanta
