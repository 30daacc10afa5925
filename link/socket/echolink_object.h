#pragma once
// The link program's object on Linux: a client of the link program's local stream socket
// (wire format version 1, see link/socket/wire.h). Making the object connects; destroying it closes
// the connection and ends the delivery of its events at once. Destroying never blocks, and may
// happen from inside one of the object's own event handlers (a Send nested in a link event).
//
// Thread rules: window thread only; needs a running Qt event loop for events and reconnection.
// - Making an object tries to connect at once and blocks up to connect_timeout_ms. While the link
//   program is down, every retry (a timer) blocks as long from inside message processing, so a
//   DoEvents between two Morse symbols can take that long.
// - SetPTT blocks until the answer, up to answer_timeout_ms; an unanswered request then connects
//   again at once, up to connect_timeout_ms more. It waits on the socket alone and runs no window
//   messages, so nothing re-enters it; events that arrive meanwhile are kept and delivered after
//   it, in order.
// - Events are delivered from the window's message processing (a posted event), also between two
//   symbols of a transmission. A handler may run a whole transmission; the events after it then
//   arrive nested inside it.
#include <functional>
#include <string>

#include "core/link.h"
#include "link/socket/wire.h"

namespace corvanta {

struct LinkOptions {
  wire::Endpoint endpoint;
  // Told when the connection's state changes (connected, lost), never on each retry. Called on the
  // window thread, also from inside making an object and SetPTT, so it should only report.
  std::function<void(const std::string&)> status;
  int answer_timeout_ms = 1000;
  int retry_ms = 2000;
  int connect_timeout_ms = 1000;
  // Events waiting for delivery beyond this are dropped (a flooding peer cannot grow memory).
  std::size_t max_pending_events = 256;
};

// Makes objects that connect to `options.endpoint`. An object is made even while the link program
// is down: it retries every retry_ms, and SetPTT fails until it is connected. The factory keeps a
// copy of `options`; each object it returns belongs to the caller and copies the options and the
// event sink it was made with, so changing LinkEvents() later does not reach it.
LinkFactory SocketLinkFactory(LinkOptions options);

}  // namespace corvanta
