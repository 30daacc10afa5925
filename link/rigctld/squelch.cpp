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

std::optional<bool> HidSquelch::Open(const unsigned char* report, std::size_t size) const {
  if (size == 0) return std::nullopt;
  const bool set = ((report[0] >> bit) & 1) != 0;
  return set != inverted;
}

std::optional<HidSquelch> ParseHidSquelch(const std::string& text, std::string& error) {
  if (text.rfind("hidraw:", 0) != 0) {
    error = "the squelch must be hidraw:/dev/hidrawN[:INPUT], not \"" + text + "\"";
    return std::nullopt;
  }
  HidSquelch squelch;
  std::string rest = text.substr(7);
  std::string input = "voldown";
  if (const std::size_t colon = rest.rfind(':'); colon != std::string::npos) {
    input = rest.substr(colon + 1);
    rest.resize(colon);
  }
  if (rest.empty()) {
    error = "the squelch hidraw: needs the device, for example /dev/hidraw0";
    return std::nullopt;
  }
  squelch.path = rest;
  if (!input.empty() && input.front() == '!') {
    squelch.inverted = true;
    input.erase(0, 1);
  }
  const char* const names[] = {"volup", "voldown", "playmute", "recmute"};
  squelch.bit = -1;
  for (int i = 0; i < 4; ++i) {
    if (input == names[i]) squelch.bit = i;
  }
  if (input.size() == 1 && input[0] >= '0' && input[0] <= '7') squelch.bit = input[0] - '0';
  if (squelch.bit < 0) {
    error = "the squelch input \"" + input +
            "\" is none of volup, voldown, playmute, recmute or a bit 0 to 7";
    return std::nullopt;
  }
  return squelch;
}

void SquelchWatch::Keyed(std::int64_t now_ms, bool keyed) {
  if (keyed_ && !keyed) quiet_until_ = now_ms + hang_ms_;
  keyed_ = keyed;
  closed_since_.reset();
}

}  // namespace corvanta::rigctld
