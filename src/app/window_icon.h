#pragma once

#include <QIcon>

namespace kestrel {

// The window icon, drawn at 32 by 32 and 16 by 16 pixels: a chip taking a download arrow.
QIcon windowIcon();

}  // namespace kestrel
