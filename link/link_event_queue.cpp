#include "link/link_event_queue.h"

#include <exception>

namespace corvanta {

bool LinkEventQueue::Push(Kind kind, std::int16_t value) {
  if (events_.size() >= limit_) return false;
  events_.push_back({kind, value});
  return true;
}

void LinkEventQueue::Deliver(const LinkEventSink& sink, const std::function<bool()>& alive,
                             const std::function<void()>& more,
                             const std::function<void(const std::string&)>& report) {
  while (alive() && !events_.empty()) {
    const Event e = events_.front();
    events_.pop_front();
    if (!events_.empty()) more();
    // A copy: the handler may release the object and so clear the sink it was taken from.
    const auto handler = e.kind == Kind::kPtt ? sink.PTT : sink.TX;
    if (!handler) continue;
    try {
      handler(e.value);
    } catch (const std::exception& error) {
      report(std::string("Error: ") + error.what());
    }
  }
}

}  // namespace corvanta
