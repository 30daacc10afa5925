#include "core/rounding.h"

#include <cmath>
#include <limits>
#include <string>

#include "core/errors.h"

namespace corvanta {
namespace {

template <typename Int>
Int RoundChecked(double value, const char* what) {
  const double r = std::nearbyint(value);
  if (std::isnan(r) || r < static_cast<double>(std::numeric_limits<Int>::min()) ||
      r > static_cast<double>(std::numeric_limits<Int>::max())) {
    throw ArithmeticError(std::string("Overflow: value does not fit in ") + what);
  }
  return static_cast<Int>(r);
}

}  // namespace

std::int32_t RoundToInt32(double value) {
  return RoundChecked<std::int32_t>(value, "32 bits");
}
std::int16_t RoundToInt16(double value) {
  return RoundChecked<std::int16_t>(value, "16 bits");
}
std::uint8_t RoundToByte(double value) {
  return RoundChecked<std::uint8_t>(value, "a byte");
}

std::int16_t RoundClampToInt16(double value) {
  if (std::isnan(value)) return 0;
  const double r = std::nearbyint(value);
  if (r <= -32768.0) return std::numeric_limits<std::int16_t>::min();
  if (r >= 32767.0) return std::numeric_limits<std::int16_t>::max();
  return static_cast<std::int16_t>(r);
}

}  // namespace corvanta
