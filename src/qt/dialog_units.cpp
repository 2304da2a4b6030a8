#include "qt/dialog_units.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <cmath>

namespace kestrel {

DialogUnits::DialogUnits(const QFont& font) {
  QFontMetricsF fm(font);
  // The average width as dialog templates measure it: the 52 letters of the alphabet.
  charWidth_ =
      fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
      52.0;
  charHeight_ = fm.height();
}

int DialogUnits::x(int units) const {
  return int(std::lround(units * charWidth_ / 4.0));
}
int DialogUnits::y(int units) const {
  return int(std::lround(units * charHeight_ / 8.0));
}

QRect DialogUnits::rect(int x0, int y0, int w, int h) const {
  return QRect(x(x0), y(y0), x(x0 + w) - x(x0), y(y0 + h) - y(y0));
}

QFont dialogFont() {
  QFont font(QStringLiteral("MS Sans Serif"), 10);
  if (QFontInfo(font).family() != font.family()) {
    font = QFont(QStringLiteral("Sans Serif"), 10);
    font.setStyleHint(QFont::SansSerif);
  }
  return font;
}

}  // namespace kestrel
