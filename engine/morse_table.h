#pragma once
#include <string>

namespace corvanta {

// The Morse pattern of one courtesy character: "." dot, "-" dash, "/" word space. `text` is
// lower-cased in place first (all of it, LowerCase), so after a transmission the held courtesy
// text is in lower case. Any text that is not exactly one known character gives the empty pattern.
std::string MorseFor(std::string& text);

}  // namespace corvanta
