#pragma once
// The link program's object on Windows: its COM automation object, found by its class id
// (local or in-process server, as registered). Making the object creates an instance and
// subscribes to its events through its connection point; destroying it ends the subscription and
// releases the instance, also from inside one of its own event handlers.
//
// A link program may answer late, refuse and still key, hang for good, be closed by its operator,
// or be a 32-bit program whose custom interface a 64-bit client cannot reach. So no call that
// crosses to it runs on the window thread: every one (creation, the interface queries, the
// connection point, Advise, Unadvise, the type information, SetPTT, the liveness check and the
// final Release) runs on a thread of the instance's own, in the multithreaded apartment, and the
// window thread waits for it at most a deadline, processing nothing meanwhile.
//
// Thread rules: window thread only (any apartment: it makes no COM call itself); needs the
// thread's message loop (GetMessage or PeekMessage and DispatchMessage) for events, answers that
// come late, retries and the liveness check. Nothing here re-enters the program except event
// delivery from message processing.
// - Making an object starts the creation and waits for it up to connect_wait_ms (under wine a
//   link program that has to be started takes about a second); a creation that takes longer goes
//   on without the window thread. Retries (every retry_ms) never wait: they only start one.
// - SetPTT waits for the answer up to answer_timeout_ms (at worst three times that: a keying
//   may first wait for an instance being made, then for the release owed to it). A late answer
//   keeps the instance: when it comes, the program's last wish is carried out (a key no courtesy
//   holds any more is released). While an earlier request is unanswered, SetPTT returns at once
//   with LinkError kQueued (a release, sent once the earlier one is answered) or kUnanswered (a
//   key, never sent). While a new instance is being made, a keying waits for it up to
//   answer_timeout_ms too.
// - Events: the link program calls the event sink on a COM thread, which only queues the event and
//   posts a window message, so it never waits for the window thread (not even for a Morse
//   element). Message processing delivers the events in order, also between two symbols.
// - While connected and idle, the instance is asked every retry_ms whether it is still there,
//   without the window thread waiting. A request unanswered for hung_ms abandons the instance:
//   calls queued behind it are dropped, a key it may hold gets a release queued on its own
//   thread (it follows the hung call whenever that returns) and another on the next instance,
//   and its events are still delivered until the next instance is subscribed. Past
//   max_abandoned instances still waiting for their answers, a hung one is waited for instead
//   (and said once).
// - Only a link program whose process is gone counts as lost. After a loss the object attaches
//   again only to a link program that runs, and has run for settle_ms: it never starts one its
//   operator closed. Looking for it (a registry read and a list of processes) blocks briefly.
// - Destroying the object waits up to answer_timeout_ms for the subscription's end and the
//   release, and not at all when the link program is known not to answer; a release it still
//   owes then is counted by ComLinkReleasesSent; one owed with no instance to take it is said in
//   the status (no instance is made for it: that could start a link program that is closing).
#include <cstddef>
#include <functional>
#include <string>

#include "core/link.h"

namespace corvanta {

struct ComLinkOptions {
  // Told when the connection's state changes (connected, lost, closed, late), never on each retry.
  // Called on the window thread, also from inside making an object and SetPTT, so it should only
  // report.
  std::function<void(const std::string&)> status;
  int answer_timeout_ms = 1000;
  int connect_wait_ms = 3000;
  int retry_ms = 2000;
  // A request or a creation unanswered this long: the link program is taken for hung.
  int hung_ms = 5000;
  // Instances given up on that still wait for their answers (in this process) beyond which a hung
  // one is waited for rather than given up on. Each costs a thread and COM's state for its call
  // (about 2 MB under wine); a link program that holds this many calls for good while it answers
  // new instances is not one a release through yet another instance would reach in time either.
  int max_abandoned = 8;
  // After a loss: how long a link program must have run before it is attached to (so that it has
  // offered its class, and COM does not start a second copy). It is looked for twice as often.
  int settle_ms = 1000;
  // After a loss, a process of the link program that was running at the loss is taken for one
  // that is closing for this long: asking COM for the class meanwhile would start another copy.
  // One still running after it has cut its clients off and stays; it is attached to again.
  int closing_ms = 4000;
  // Events waiting for delivery beyond this are dropped (a flooding peer cannot grow memory).
  std::size_t max_pending_events = 256;
};

// Makes objects of the link program's class. An object is made even while the link program is
// away: it retries every retry_ms, and SetPTT fails until it is connected.
LinkFactory ComLinkFactory(ComLinkOptions options);

// Whether every release owed by objects already destroyed has reached the link program. A
// destroyed object whose key may be down (a keying still unanswered, say) leaves a release queued
// behind it on its instance's thread; the process must not end before it has gone out, or the
// late keying would stay keyed. Window thread; does not block.
bool ComLinkReleasesSent();

// How the status texts name the link program's object: "com:" and its class id.
std::string ComLinkName();

}  // namespace corvanta
