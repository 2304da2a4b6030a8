#include "qt/window_icon.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kestrel {

QImage windowIconImage(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 32.0, size / 32.0);

  // The device: a dark chip with pins on both sides.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x8a, 0x93, 0x9b));
  for (int i = 0; i < 4; ++i) {
    p.drawRect(QRectF(3, 14 + i * 4, 4, 2));
    p.drawRect(QRectF(25, 14 + i * 4, 4, 2));
  }
  p.setBrush(QColor(0x2b, 0x33, 0x3b));
  p.drawRoundedRect(QRectF(6, 12, 20, 18), 2, 2);

  // The firmware: an orange arrow coming down into the chip.
  QPainterPath arrow;
  arrow.moveTo(13, 1);
  arrow.lineTo(19, 1);
  arrow.lineTo(19, 12);
  arrow.lineTo(24, 12);
  arrow.lineTo(16, 22);
  arrow.lineTo(8, 12);
  arrow.lineTo(13, 12);
  arrow.closeSubpath();
  p.setBrush(QColor(0xe8, 0x7a, 0x1c));
  p.setPen(QPen(QColor(0x7a, 0x3a, 0x05), 1.0));
  p.drawPath(arrow);
  return image;
}

QIcon programIcon() {
  QIcon icon;
  icon.addPixmap(QPixmap::fromImage(windowIconImage(32)));
  icon.addPixmap(QPixmap::fromImage(windowIconImage(16)));
  return icon;
}

}  // namespace kestrel
