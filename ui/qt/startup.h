#pragma once
// The Qt program's start-up: its windows and its event loop under the portable start-up and
// shutdown (link/startup.h).
//
// Thread rules: the GUI thread. Main blocks for the splash's second and handles no input.
#include "link/startup.h"

namespace corvanta {

class FrmMain;

// Runs start-up and returns the shown main window (deleted by Qt when it closes). The sound
// backend and the link factory are installed by the caller beforehand.
FrmMain* Main();

}  // namespace corvanta
