#pragma once
// The receiver's squelch read as the link program's local-RF events: a squelch that opens is
// local RF beginning (PTT true), one that has stayed closed for the hang time is its end (PTT
// false, the RX courtesy). A squelch that closes and opens again within the hang time (a weak or
// fluttering signal) makes no event at all.
//
// While Corvanta holds the key, and for the hang time after it lets go, readings make no events:
// a simplex radio's receiver is muted while it sends and its squelch may flicker as the carrier
// drops. What the squelch says is then read afresh: the first reading after that quiet time is
// compared with what was last reported, so an over that began or ended during a courtesy still
// gets its events, the end counted from that reading.
//
// Standard C++ and no clock of its own: the caller passes the time of every reading, so the
// tests run it on virtual time. Not thread-safe; one owner.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace corvanta::rigctld {

// A USB sound interface's squelch input (CM108/CM119: URI, RIM, AIOC style), read from the
// first byte of its HID input reports through /dev/hidrawN, since hamlib cannot read it.
struct HidSquelch {
  std::string path;
  int bit = 1;            // byte 0: 0 volume up, 1 volume down (the usual COS input), 2, 3 mutes
  bool inverted = false;  // "!": the input is set while the squelch is closed
  // The squelch in one report, or nullopt for an empty one.
  std::optional<bool> Open(const unsigned char* report, std::size_t size) const;
};

// Parses "hidraw:/dev/hidrawN[:INPUT]" with INPUT volup, voldown (the default), playmute,
// recmute or a bit number 0..7, inverted by a leading "!". Returns nullopt and sets `error`.
std::optional<HidSquelch> ParseHidSquelch(const std::string& text, std::string& error);

class SquelchWatch {
 public:
  // hang_ms 0: the end of local RF at the first closed reading.
  explicit SquelchWatch(int hang_ms) : hang_ms_(hang_ms) {}

  // A reading taken at `now_ms` (true: open). Returns the event it completes: true when local RF
  // began, false when it ended. The first reading only learns the state.
  std::optional<bool> Reading(std::int64_t now_ms, bool open);

  // Corvanta keyed (true) or released (false) the transmitter at `now_ms`.
  void Keyed(std::int64_t now_ms, bool keyed);

  // What was last reported (or learnt): nullopt before the first reading.
  std::optional<bool> reported() const { return reported_; }

 private:
  int hang_ms_;
  std::optional<bool> reported_;
  std::optional<std::int64_t> closed_since_;
  bool keyed_ = false;
  std::int64_t quiet_until_ = 0;
};

}  // namespace corvanta::rigctld
