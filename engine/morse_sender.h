#pragma once
// Keys one pattern as timed tones and pauses on the window thread. Every symbol is preceded by a
// one-dot gap: "." sounds one dot, "-" three, " " is three dots of silence, "/" seven, anything
// else nothing more. Pending window messages run after every symbol, so a click, a slider move or
// a link event runs to its end between two symbols.
//
// Blocks the window thread for the pattern's whole length. The waits inside run no messages; only
// the pass after each symbol does, and that pass lasts as long as its handlers (a whole nested
// transmission, or a link reconnection attempt). The referenced values must outlive the send,
// since they are read again after every such pass: a handler may have changed them meanwhile.
#include <cstdint>
#include <string>

#include "core/form_layout.h"  // kMaxDotMs

namespace corvanta {

// Dot time = DotBase - SpeedSetting, fixed for this send (clamped into 1..kMaxDotMs and reported
// when the settings give anything else); the live ToneFrequency is passed so a frequency change
// takes effect from the next element.
void SendMorse(std::string& pattern);

// Consumes `pattern` from the front. `dot_ms` and `frequency` are read at every element.
// SendState 0 lets it key; any other value ends the send at once and leaves SendState 0.
void SendElements(std::string& pattern, std::int16_t& dot_ms, std::int16_t& frequency);

}  // namespace corvanta
