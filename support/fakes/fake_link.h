#pragma once
// Link objects that record every SetPTT with the virtual time and can be told to fail. The
// factory is installed for the lifetime of the FakeLinks.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/link.h"

namespace corvanta::testing {

struct PttCall {
  std::int64_t at_ms;
  int object;  // serial number of the link object, from 1
  bool key;
};

class FakeLinks {
 public:
  explicit FakeLinks(std::function<std::int64_t()> clock);
  ~FakeLinks();
  FakeLinks(const FakeLinks&) = delete;
  FakeLinks& operator=(const FakeLinks&) = delete;

  // Keying requests in order; made() and alive() count objects.
  std::vector<PttCall> calls;
  int made() const { return made_; }
  int alive() const { return alive_; }
  // Called before each SetPTT is recorded; throwing from it makes the call fail (not recorded).
  std::function<void(bool key)> on_setptt;
  // Makes the factory fail.
  bool refuse_creation = false;
  // The transmitter as the link program sees it. A link program releases the key of a
  // connection that closes: releasing an object or dropping its connection unkeys it.
  bool keyed = false;
  // The connection of every live object is lost: their calls fail as the socket client's do when
  // nothing is connected, and the transmitter is released.
  void DropConnections();
  // The sink the last object was made with.
  LinkEventSink last_sink;
  // The link program raises an event ("PTT" or "TX"): it reaches every object alive at the next
  // DeliverEvents, as the window's message processing would deliver it.
  void Raise(const std::string& event, std::int16_t value);
  void DeliverEvents();

 private:
  class Object;
  std::function<std::int64_t()> clock_;
  int made_ = 0;
  int alive_ = 0;
  int dropped_below_ = 0;
  std::vector<Object*> live_;  // objects with a serial number up to this one have lost their link
  std::vector<std::pair<std::string, std::int16_t>> raised_;
};

}  // namespace corvanta::testing
