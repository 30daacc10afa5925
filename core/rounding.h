#pragma once
// Float-to-integer conversions round to nearest with ties to even. std::nearbyint does that under
// the default rounding mode; std::round and std::lround round halves away from zero and must not
// be used anywhere in the program.
#include <cstdint>

namespace corvanta {

// Throws ArithmeticError when the rounded value is NaN or does not fit.
std::int32_t RoundToInt32(double value);
std::int16_t RoundToInt16(double value);
std::uint8_t RoundToByte(double value);

// Rounds half-even and clamps into the 16-bit range (NaN gives 0); never throws.
std::int16_t RoundClampToInt16(double value);

}  // namespace corvanta
