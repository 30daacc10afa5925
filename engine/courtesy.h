#pragma once
// The four courtesy transmissions: key the link transmitter, send one character's pattern,
// release the key. All run on the window thread; a link event or a click can nest a whole
// transmission between two symbols of another.
//
// Whatever fails inside one (the link refuses or is gone, the sound device fails), the key is
// released where the link can still be reached, the flag and picture are restored, and the
// status bar says what happened. Nothing is thrown to the caller.
#include <functional>

namespace corvanta {

void PlayTxCourtesy();
void PlayRxCourtesy();
void cmdTest_Click();
void CmdSend_Click();

// How many transmissions are running now (nested ones included).
int TransmissionDepth();

// Ends every running transmission at its next symbol: each releases its key and restores its
// flag and picture; `then` runs once the outermost one has ended (at once when none runs).
// Used when the program is closed in the middle of a transmission.
void EndTransmissions(std::function<void()> then);

}  // namespace corvanta
