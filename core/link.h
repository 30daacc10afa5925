#pragma once
// The link program's automation object as the rest of the program sees it: one keying call and
// two events. The socket client implements it; tests use a fake; both pass the same contract suite
// (tests/contracts/link_contract.h). Releasing the object (destroying it) ends the delivery of its
// events and lets the link program release whatever it keyed.
//
// Thread rules: window thread only. SetPTT blocks until the link program answers (at most the
// implementation's answer timeout) and runs no window messages, so nothing re-enters during it;
// events are delivered only from the window thread's message processing, never from inside
// SetPTT. A handler may release the object that delivers to it. The factory may block while it
// connects. Objects belong to their caller; the sink is copied into the object.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace corvanta {

class LinkObject {
 public:
  virtual ~LinkObject() = default;
  // true keys the link transmitter, false releases it. Throws LinkError when the link program
  // does not confirm.
  virtual void SetPTT(bool key) = 0;
};

// Where a held object delivers its events: PTT(bPTT) and TX(bTX), non-zero meaning true. They
// arrive on the window thread.
struct LinkEventSink {
  std::function<void(std::int16_t)> PTT;
  std::function<void(std::int16_t)> TX;
};

// Creates a new object that delivers its events to `sink`. Throws LinkError when none can be made.
using LinkFactory = std::function<std::unique_ptr<LinkObject>(LinkEventSink sink)>;

// The factory the program uses for every new object (start-up, Send, Test after Send), and
// where those objects deliver their events (the window's link-event handlers).
LinkFactory& LinkObjectFactory();
LinkEventSink& LinkEvents();

// A new object from the installed factory, delivering to LinkEvents(). Throws LinkError when no
// factory is installed or the factory fails.
std::unique_ptr<LinkObject> NewLinkObject();

// Whether every release owed by link objects already destroyed has reached the link program (a
// keying answered after its object was let go must be followed by its release). Shutdown waits
// for it. Installed with the factory; until then, and for links whose releases cannot outlive
// their object, it says yes. Window thread; never blocks.
std::function<bool()>& LinkReleasesSent();

// What Start adds to its own texts about the link (a radio raises no TX event, so its TX
// courtesies come from Test only). Empty for a link program. Set once at start-up.
std::string& LinkStartNote();

// What the link client says of the link program (connected, lost, back, a late answer): it only
// speaks when the state changes, so every text goes to the status bar and the station log.
void LinkStatus(const std::string& text);

// A new object into the main window's Echolink, replacing (and releasing) the one held. When none
// can be made, Echolink is left empty and the status bar says why; never throws.
void CreateLinkObject();

}  // namespace corvanta
