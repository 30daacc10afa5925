#include "ui/qt/artwork.h"

#include <QPainter>
#include <QPainterPath>

namespace corvanta {

QPixmap IconPixmap(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);
  // Rounded navy tile.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(24, 44, 92));
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
  // Mast with three arcs of radiation.
  p.setPen(QPen(QColor(250, 190, 60), 4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(32, 34), QPointF(32, 12));
  p.setBrush(Qt::NoBrush);
  for (int r = 8; r <= 20; r += 6) {
    p.drawArc(QRectF(32 - r, 18 - r, 2 * r, 2 * r), 30 * 16, 120 * 16);
  }
  // The Morse "K" (dash dot dash) along the bottom.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(240, 240, 240));
  p.drawRoundedRect(QRectF(9, 44, 14, 6), 3, 3);
  p.drawEllipse(QRectF(27, 44, 6, 6));
  p.drawRoundedRect(QRectF(37, 44, 14, 6), 3, 3);
  return pm;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) icon.addPixmap(IconPixmap(size));
  return icon;
}

QPixmap TxIndicator() {
  QPixmap pm(18, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(210, 50, 20), 2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(9, 15), QPointF(9, 6));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(4, 1, 10, 10), 30 * 16, 120 * 16);
  p.setPen(QPen(QColor(210, 50, 20), 1.5));
  p.drawArc(QRectF(1, -2, 16, 16), 30 * 16, 120 * 16);
  return pm;
}

QPixmap RxIndicator() {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(20, 120, 40));
  p.drawEllipse(QRectF(1, 6, 5, 5));
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(20, 120, 40), 1.8));
  p.drawArc(QRectF(-3, 2, 14, 12), -60 * 16, 120 * 16);
  p.drawArc(QRectF(-3, -1, 20, 18), -60 * 16, 120 * 16);
  return pm;
}

}  // namespace corvanta
