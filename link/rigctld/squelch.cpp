#include "link/rigctld/squelch.h"

namespace corvanta::rigctld {

std::optional<bool> SquelchWatch::Reading(std::int64_t now_ms, bool open) {
  if (keyed_ || now_ms < quiet_until_) {
    // A closing seen through our own transmission says nothing about the other station.
    closed_since_.reset();
    return std::nullopt;
  }
  if (!reported_) {
    reported_ = open;
    return std::nullopt;
  }
  if (open) {
    closed_since_.reset();
    if (*reported_) return std::nullopt;
    reported_ = true;
    return true;
  }
  if (!*reported_) return std::nullopt;
  if (!closed_since_) closed_since_ = now_ms;
  if (now_ms - *closed_since_ < hang_ms_) return std::nullopt;
  reported_ = false;
  closed_since_.reset();
  return false;
}

void SquelchWatch::Keyed(std::int64_t now_ms, bool keyed) {
  if (keyed_ && !keyed) quiet_until_ = now_ms + hang_ms_;
  keyed_ = keyed;
  closed_since_.reset();
}

}  // namespace corvanta::rigctld
