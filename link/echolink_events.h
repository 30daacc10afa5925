#pragma once
// Monitoring the link program: the Start button, and the two events of the held link object
// turned into courtesy transmissions. All on the window thread, and re-entrant through the
// message processing described below.
#include <cstdint>

namespace corvanta {

// Start: saves the settings, locks the device box, enables Test, starts monitoring and re-opens
// the output device. Without a chosen device it only says so. Blocks while the file is forced onto
// the disk and while the device opens (audio/sound_device.h). A message box it raises (no device,
// a failed save or opening) runs other handlers while it is open; during a transmission it waits.
void cmdEchoLink_Click();
// Start as the command line asks for it (--start), once start-up has finished: what Start does,
// but what it would say in a message box goes to the status bar and the station log, since
// nobody may be at the station.
void StartFromCommandLine();

// The local RF signal into the link changed (false: it ended, answered with the RX character).
// Every event while monitoring re-opens the output device first; when that opening fails, the
// courtesy is skipped with a status text instead of keying the transmitter for silence.
// Events run on the window thread whenever its message processing reaches them, which includes
// the processing between two Morse symbols of a transmission: the flags keep an RX courtesy out
// of any other, and a TX courtesy out of a TX courtesy or a test.
// A handler that starts a courtesy returns only when it has ended: 100 ms, the keying request (up
// to the link's answer timeout), 150 ms, the character at the current speed, 150 ms and the
// release. Other events, clicks and timers run nested between its symbols.
void Echolink_PTT(std::int16_t bPTT);
// The link's transmission of the internet station changed (false: it ended, answered with TX).
void Echolink_TX(std::int16_t bTX);

// Makes new link objects deliver to the two handlers above. Objects made before keep the handlers
// they were made with, so start-up calls it before it makes the first one.
void InstallLinkEventHandlers();

}  // namespace corvanta
