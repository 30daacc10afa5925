#pragma once
// The windows are laid out in twips; the screen has 15 twips to a pixel. Window thread only.
#include <QFont>
#include <QRect>
#include <cmath>

#include "core/form_layout.h"

namespace corvanta {

inline int Px(int twips) {
  return static_cast<int>(std::nearbyint(twips / 15.0));
}
inline QRect Twips(int left, int top, int width, int height) {
  return {Px(left), Px(top), Px(width), Px(height)};
}
inline QRect QtRect(const TwipsRect& r) {
  return Twips(r.left, r.top, r.width, r.height);
}

inline QFont QtFont(const FontStyle& style) {
  QFont f(style.face);
  f.setPointSizeF(style.points);
  f.setBold(style.bold);
  return f;
}
inline QFont Arial(double points, bool bold = false) {
  return QtFont({"Arial", points, bold});
}

}  // namespace corvanta
