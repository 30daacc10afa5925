#pragma once
// Corvanta's own artwork, drawn in code so no image files are needed: the application icon (a
// dish with a Morse "K" under it) and the two indicator pictures.
#include <QIcon>
#include <QPixmap>

namespace corvanta {

QPixmap IconPixmap(int size);
QIcon AppIcon();
// The TX indicator (18 x 16: an antenna with waves) and the RX indicator (16 x 16: a receiving ear
// of waves), both red-orange so they catch the eye in the status strip.
QPixmap TxIndicator();
QPixmap RxIndicator();

}  // namespace corvanta
