#pragma once
// The link object for a radio keyed through hamlib's rigctld (link/rigctld/protocol.h): keying is
// `T 1`/`T 0` confirmed by `RPRT 0`, and the end of local RF is the receiver's squelch, polled
// with `\get_dcd` and read through a SquelchWatch (link/rigctld/squelch.h). A radio raises no TX
// event. Making the object connects; destroying it closes the connection, after sending the
// release of a key it holds (rigctld keeps the PTT as it is when a client goes).
//
// A guardian process (corvanta-guardian), started with the first object, holds a connection of
// its own and a pipe from this process: it releases the PTT when this process ends while a key
// may be down, however it ends.
//
// Thread rules: window thread only; needs a running Qt event loop for events, polling and
// reconnection.
// - Making an object tries to connect at once and blocks up to connect_timeout_ms; while rigctld
//   is down every retry (a timer) blocks as long from inside message processing.
// - SetPTT blocks until the answer, up to answer_timeout_ms; an unanswered request then connects
//   again at once, up to connect_timeout_ms more. It waits on the socket alone and runs no window
//   messages; squelch readings answered meanwhile are kept and their events delivered after it.
// - Events are delivered from the window's message processing (a posted event).
// - Destroying never blocks: a release still to be sent goes out from the event loop.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/link.h"
#include "link/rigctld/squelch.h"

namespace corvanta {

struct RigctldOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 4532;
  // Told when the connection's state changes and of anything the station should know (a PTT
  // found keyed and released); called on the window thread, also from inside SetPTT.
  std::function<void(const std::string&)> status;
  int answer_timeout_ms = 1000;
  int retry_ms = 2000;
  int connect_timeout_ms = 1000;
  // The squelch is read every poll_ms (0: never; no events); it must stay closed hang_ms for the
  // end of local RF.
  int poll_ms = 50;
  int hang_ms = 300;
  // The squelch from a USB interface's HID input instead of rigctld's \get_dcd (a missing or
  // unplugged device is said once and opened again at every poll).
  std::optional<rigctld::HidSquelch> hid;
  // The guardian's program; empty: no guardian (tests of the link alone).
  std::string guardian;
  // Events waiting for delivery beyond this are dropped.
  std::size_t max_pending_events = 256;
};

// Makes objects that key through the rigctld at options.host:options.port. An object is made even
// while rigctld is down: it retries every retry_ms, and SetPTT fails until it is connected. Each
// new connection reads the PTT back and releases it unless a courtesy of ours holds it.
LinkFactory RigctldLinkFactory(RigctldOptions options);

// Whether every release sent by objects already destroyed has been answered (for Exit's wait,
// LinkReleasesSent). Window thread; never blocks.
bool RigctldReleasesSent();

}  // namespace corvanta
