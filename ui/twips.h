#pragma once
// The windows are laid out in twips; the screen has 15 twips to a pixel.
#include <QRect>
#include <cmath>

namespace corvanta {

inline int Px(int twips) {
  return static_cast<int>(std::nearbyint(twips / 15.0));
}
inline QRect Twips(int left, int top, int width, int height) {
  return {Px(left), Px(top), Px(width), Px(height)};
}

}  // namespace corvanta
