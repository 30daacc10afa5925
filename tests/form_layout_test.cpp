#include "core/form_layout.h"

#include <gtest/gtest.h>

namespace corvanta {
namespace {

// Halves go to the even pixel, as every conversion of the program rounds; away from zero they
// would make the 150 % window a pixel larger in places (and its font 17 pixels high).
TEST(FormLayout, TwipsAndPointsRoundHalfToEvenPixels) {
  const struct {
    int twips, dpi, px;
  } places[] = {
      {225, 144, 22},  // 22.5
      {235, 144, 24},  // 23.5
      {30, 120, 2},    // 2.5
      {-5, 144, 0},    // -0.5
      {-15, 144, -2},  // -1.5
      {-15, 120, -1},  // -1.25
      {7350, 96, 490},
  };
  for (const auto& c : places) {
    EXPECT_EQ(TwipsToPixels(c.twips, c.dpi), c.px) << c.twips << " twips at " << c.dpi << " dpi";
  }
  const struct {
    double points;
    int dpi, px;
  } fonts[] = {
      {8.25, 144, 16},  // 16.5
      {9.75, 144, 20},  // 19.5
      {8.25, 96, 11},
      {8.25, 120, 14},  // 13.75
  };
  for (const auto& c : fonts) {
    EXPECT_EQ(PointsToPixels(c.points, c.dpi), c.px)
        << c.points << " points at " << c.dpi << " dpi";
  }
}

}  // namespace
}  // namespace corvanta
