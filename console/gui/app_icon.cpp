// The program's icon: a device board receiving an image (an arrow) with a
// green light, on a dark blue tile.
#include "console/gui/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap DrawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);

  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1f, 0x3a, 0x5f));
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);

  // The device: a board with two rows of pins.
  p.setBrush(QColor(0xd8, 0xde, 0xe6));
  p.drawRoundedRect(QRectF(12, 36, 40, 18), 3, 3);
  p.setBrush(QColor(0x8a, 0x96, 0xa8));
  for (int i = 0; i < 5; ++i) {
    p.drawRect(QRectF(16 + i * 7, 33, 3, 3));
    p.drawRect(QRectF(16 + i * 7, 54, 3, 3));
  }
  // The light that blinks while the server runs.
  p.setBrush(QColor(0x22, 0xc5, 0x3a));
  p.drawEllipse(QRectF(42, 41, 7, 7));

  // The image on its way down.
  QPainterPath arrow;
  arrow.moveTo(28, 8);
  arrow.lineTo(36, 8);
  arrow.lineTo(36, 20);
  arrow.lineTo(43, 20);
  arrow.lineTo(32, 31);
  arrow.lineTo(21, 20);
  arrow.lineTo(28, 20);
  arrow.closeSubpath();
  p.setBrush(QColor(0xff, 0xff, 0xff));
  p.drawPath(arrow);
  return pixmap;
}

}  // namespace

QIcon ServerIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128}) icon.addPixmap(DrawIcon(size));
  return icon;
}
