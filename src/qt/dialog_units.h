#pragma once

#include <QFont>
#include <QRect>

namespace kestrel {

// Maps dialog units onto pixels: a horizontal unit is a quarter of the font's average character
// width, a vertical unit an eighth of its height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int x(int units) const;
  int y(int units) const;
  QRect rect(int x, int y, int w, int h) const;

 private:
  double charWidth_;
  double charHeight_;
};

// The font of the window and the About box: "MS Sans Serif" 10 pt where it exists, else the
// system's sans-serif face at the same size.
QFont dialogFont();

}  // namespace kestrel
