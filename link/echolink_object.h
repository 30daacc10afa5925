#pragma once
// The link program's object on Linux: a client of the link program's local stream socket
// (wire format version 1, see link/wire.h). Making the object connects; destroying it closes
// the connection and ends the delivery of its events. Window thread only; needs a running
// Qt event loop for events and reconnection.
#include <functional>
#include <string>

#include "core/link.h"
#include "link/wire.h"

namespace corvanta {

struct LinkOptions {
  wire::Endpoint endpoint;
  // Told when the connection's state changes (connected, lost), never on each retry.
  std::function<void(const std::string&)> status;
  int answer_timeout_ms = 1000;
  int retry_ms = 2000;
  int connect_timeout_ms = 1000;
  // Events waiting for delivery beyond this are dropped (a flooding peer cannot grow memory).
  std::size_t max_pending_events = 256;
};

// Makes objects that connect to `options.endpoint`. An object is made even while the link program
// is down: it retries every retry_ms, and SetPTT fails until it is connected.
LinkFactory SocketLinkFactory(LinkOptions options);

}  // namespace corvanta
