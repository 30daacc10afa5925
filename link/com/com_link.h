#pragma once
// The link program's object on Windows: its COM automation object, found by its class id
// (local or in-process server, as registered). Making the object creates an instance and
// subscribes to its events through its connection point; destroying it ends the subscription and
// releases the instance, at once, also from inside one of its own event handlers.
//
// Thread rules: window thread only, in a single-threaded apartment (the object initialises COM
// on the thread if nobody has); needs the thread's message loop (GetMessage or PeekMessage and
// DispatchMessage) for events, retries and the liveness check.
// - Making an object creates the instance at once and blocks until COM has it; under wine that
//   takes about a second when the server has to be started. While the link program is away,
//   every retry (a timer, retry_ms) blocks as long from inside message processing.
// - SetPTT blocks until the link program answers, at most answer_timeout_ms. The call itself runs
//   on a thread of the object's own, so the window thread can stop waiting; an unanswered call is
//   abandoned there and the instance made anew. Meanwhile the window thread receives COM's
//   incoming calls only (the link program may raise an event while it keys): events that arrive
//   are kept and delivered after SetPTT, in order; none of the program's messages run, so nothing
//   re-enters.
// - Events: the link program's event call only queues the event and posts a window message, so it
//   never waits for a courtesy. The program's message processing delivers it, also between two
//   symbols of a transmission.
// - While connected, the instance is asked every retry_ms whether it is still there (one
//   cross-process call, a millisecond or two), so a link program that closed is noticed when
//   the station is idle too.
#include <cstddef>
#include <functional>
#include <string>

#include "core/link.h"

namespace corvanta {

struct ComLinkOptions {
  // Told when the connection's state changes (connected, lost), never on each retry. Called on the
  // window thread, also from inside making an object and SetPTT, so it should only report.
  std::function<void(const std::string&)> status;
  int answer_timeout_ms = 1000;
  int retry_ms = 2000;
  // Events waiting for delivery beyond this are dropped (a flooding peer cannot grow memory).
  std::size_t max_pending_events = 256;
};

// Makes objects of the link program's class. An object is made even while the link program is
// away: it retries every retry_ms, and SetPTT fails until it is connected.
LinkFactory ComLinkFactory(ComLinkOptions options);

// How the status texts name the link program's object: "com:" and its class id.
std::string ComLinkName();

}  // namespace corvanta
