#pragma once
// The events a link object has received and not yet delivered: in order, and bounded so that a
// flooding link program cannot grow memory. Every link object (socket, COM) delivers through one.
//
// Thread rules: window thread only; Deliver runs the handlers, which may run a whole
// transmission and re-enter the program (and this queue, through a nested delivery).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "core/link.h"

namespace corvanta {

class LinkEventQueue {
 public:
  enum class Kind { kPtt, kTx };

  explicit LinkEventQueue(std::size_t limit) : limit_(limit) {}

  // Keeps the event; false when the queue is full and the event was dropped.
  bool Push(Kind kind, std::int16_t value);
  bool empty() const { return events_.empty(); }
  void clear() { events_.clear(); }

  // Delivers the waiting events in order to `sink` while `alive()` holds (a handler may release
  // the object that delivers). Before each handler, `more` is told when events are still waiting:
  // they are window messages too, so a transmission the handler starts takes them between its
  // symbols, nested, as it takes those that arrive meanwhile. A handler's error goes to `report`.
  void Deliver(const LinkEventSink& sink, const std::function<bool()>& alive,
               const std::function<void()>& more,
               const std::function<void(const std::string&)>& report);

 private:
  struct Event {
    Kind kind;
    std::int16_t value;
  };
  std::size_t limit_;
  std::deque<Event> events_;
};

}  // namespace corvanta
