#pragma once

#include <QIcon>

namespace kestrel {

// The window icon, drawn at 32 by 32 and 16 by 16 pixels: a chip taking a download arrow.
QIcon windowIcon();

// The icon's drawing at `size` by `size` pixels, for files (the packaged theme icons).
QImage windowIconImage(int size);

}  // namespace kestrel
