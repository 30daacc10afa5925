#pragma once
// Lower-casing of a held text the same way on every platform and in every locale: the full
// lower-case mapping of each character, for ASCII, Latin-1 Supplement, Latin Extended-A, Greek
// and Cyrillic (the letters an operator's keyboard may give). Other characters, and bytes that
// are not well-formed UTF-8, pass unchanged.
#include <string>
#include <string_view>

namespace corvanta {

std::string LowerCase(std::string_view utf8);

}  // namespace corvanta
