#pragma once

#include <QIcon>

namespace kestrel {

// The program's icon, drawn at 32 by 32 and 16 by 16 pixels: a chip taking a download arrow. The
// window, its dialogs and the About box show it. (Not named windowIcon: inside a widget that name
// is QWidget::windowIcon(), the widget's own, empty until set.)
QIcon programIcon();

// The icon's drawing at `size` by `size` pixels, for files (the packaged theme icons).
QImage windowIconImage(int size);

}  // namespace kestrel
