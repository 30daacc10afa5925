#pragma once
// Keys one pattern as timed tones and pauses on the window thread. Every symbol is preceded by a
// one-dot gap: "." sounds one dot, "-" three, " " is three dots of silence, "/" seven, anything
// else nothing more. Pending window messages run after every symbol, so a click, a slider move or
// a link event runs to its end between two symbols.
#include <cstdint>
#include <string>

namespace corvanta {

// The longest dot time that keeps seven dot times within a 16-bit millisecond count.
inline constexpr std::int16_t kMaxDotMs = 4681;

// Dot time = DotBase - SpeedSetting, fixed for this send (clamped into 1..4681 and reported when
// the settings give anything else); the live ToneFrequency is passed so a frequency change takes
// effect from the next element.
void SendMorse(std::string& pattern);

// Consumes `pattern` from the front. `dot_ms` and `frequency` are read at every element.
// SendState 0 lets it key; any other value ends the send at once and leaves SendState 0.
void SendElements(std::string& pattern, std::int16_t& dot_ms, std::int16_t& frequency);

}  // namespace corvanta
