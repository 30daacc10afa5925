#pragma once
// Monitoring the link program: the Start button, and the two events of the held link object
// turned into courtesy transmissions. All on the window thread.
#include <cstdint>

namespace corvanta {

// Start: saves the settings, locks the device box, enables Test, starts monitoring and re-opens
// the output device. Without a chosen device it only says so.
void cmdEchoLink_Click();

// The local RF signal into the link changed (false: it ended, answered with the RX character).
// Every event while monitoring re-opens the output device first; when that opening fails, the
// courtesy is skipped with a status text instead of keying the transmitter for silence.
// Events run on the window thread whenever its message processing reaches them, which includes
// the processing between two Morse symbols of a transmission: the flags keep an RX courtesy out
// of any other, and a TX courtesy out of a TX courtesy or a test.
void Echolink_PTT(std::int16_t bPTT);
// The link's transmission of the internet station changed (false: it ended, answered with TX).
void Echolink_TX(std::int16_t bTX);

// Makes new link objects deliver to the two handlers above.
void InstallLinkEventHandlers();

}  // namespace corvanta
