#pragma once

namespace kestrel {

// Opens the null device on each of the standard descriptors (input, output, error) that is
// closed, so that nothing this program opens later takes one of their numbers: a serial port
// opened as descriptor 1 would receive everything printed. Call first in main(), before anything
// is opened.
void ensureStandardDescriptors();

}  // namespace kestrel
