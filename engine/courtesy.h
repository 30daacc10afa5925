#pragma once
// The four courtesy transmissions: key the link transmitter, send one character's pattern,
// release the key. All run on the window thread; a link event or a click can nest a whole
// transmission between two symbols of another.
//
// The key goes down with the first transmission and up with the last: one nested into another
// sends its own keying request but leaves the release to the outer one, so the rest of the outer
// character still goes out keyed.
//
// Whatever fails inside one (the link refuses or is gone, the sound device fails), the key is
// released where the link can still be reached, the flag and picture are restored, and the
// status bar says what happened to the transmitter. Nothing is thrown to the caller. Message
// boxes and closing requests wait for the outermost transmission (core/transmissions.h).
//
// Blocking: each call returns when its transmission has ended: 100 ms, the keying request (up to
// the link's answer timeout, after a connection attempt when no object is held), 150 ms, the
// character at the current speed, 150 ms and the release. Send first makes a link object of its
// own in place of the held one and opens the device, keys with 200 ms around the character, and
// leaves no object held; the next transmission makes one anew. Test without an open output returns
// at once. The outermost one then runs what was deferred, which may block in turn (a message box).
#include <cstdint>

#include "core/transmissions.h"

namespace corvanta {

void PlayTxCourtesy();
void PlayRxCourtesy();
// For a link event taken at `event_ns` (TimelineNowNs): the 100 ms before the keying count from
// the event, so that opening the device for it does not delay the keying.
void PlayTxCourtesy(std::int64_t event_ns);
void PlayRxCourtesy(std::int64_t event_ns);
void cmdTest_Click();
void CmdSend_Click();

}  // namespace corvanta
