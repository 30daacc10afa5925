#include "engine/lower_case.h"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace corvanta {
namespace {

// The simple lower-case mapping of the blocks named in the header; `c` itself when it has none.
char32_t Lower(char32_t c) {
  const auto even_to_odd = [c](char32_t first, char32_t last) {
    return c >= first && c <= last && (c - first) % 2 == 0;
  };
  if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
  // Latin Extended-A: mostly capital and small in pairs, whose parity shifts at U+0139 and
  // again at U+014A.
  if (even_to_odd(0x100, 0x12E) || even_to_odd(0x132, 0x136) || even_to_odd(0x139, 0x147) ||
      even_to_odd(0x14A, 0x176) || even_to_odd(0x179, 0x17D)) {
    return c + 1;
  }
  // Greek.
  if (even_to_odd(0x370, 0x372) || c == 0x376 || even_to_odd(0x3D8, 0x3EE) || c == 0x3F7 ||
      c == 0x3FA) {
    return c + 1;
  }
  if ((c >= 0x391 && c <= 0x3A1) || (c >= 0x3A3 && c <= 0x3AB)) return c + 0x20;
  if (c >= 0x388 && c <= 0x38A) return c + 0x25;
  if (c == 0x38E || c == 0x38F) return c + 0x3F;
  if (c >= 0x3FD && c <= 0x3FF) return c - 0x82;
  // Capitals whose small letter lies elsewhere.
  constexpr std::pair<char32_t, char32_t> kSingles[] = {
      {0x178, 0xFF},  {0x37F, 0x3F3}, {0x386, 0x3AC}, {0x38C, 0x3CC},
      {0x3CF, 0x3D7}, {0x3F4, 0x3B8}, {0x3F9, 0x3F2}, {0x4C0, 0x4CF}};
  for (const auto& [capital, small] : kSingles) {
    if (c == capital) return small;
  }
  // Cyrillic and its supplement.
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (even_to_odd(0x460, 0x480) || even_to_odd(0x48A, 0x4BE) || even_to_odd(0x4D0, 0x52E)) {
    return c + 1;
  }
  if (c >= 0x4C1 && c <= 0x4CD && (c - 0x4C1) % 2 == 0) return c + 1;
  return c;
}

void Append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string LowerCase(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 1);
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<std::uint8_t>(utf8[i]);
    if (lead < 0x80) {
      Append(out, Lower(lead));
      ++i;
      continue;
    }
    // Every mapped character outside ASCII is two bytes long, and maps to two bytes (or three,
    // for U+0130). Longer sequences and malformed bytes are copied as they are.
    const bool two = lead >= 0xC2 && lead <= 0xDF && i + 1 < utf8.size() &&
                     (static_cast<std::uint8_t>(utf8[i + 1]) & 0xC0) == 0x80;
    if (!two) {
      out += utf8[i++];
      continue;
    }
    const char32_t c =
        (char32_t{lead} & 0x1F) << 6 | (static_cast<std::uint8_t>(utf8[i + 1]) & 0x3F);
    i += 2;
    if (c == 0x130) {
      // Capital I with a dot: its full mapping is i followed by the combining dot above, which
      // keeps the dot that tells it from the dotless letter.
      out += "i\xCC\x87";
    } else {
      Append(out, Lower(c));
    }
  }
  return out;
}

}  // namespace corvanta
