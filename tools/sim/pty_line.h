#pragma once

#include <termios.h>

#include <string>

namespace kestrel::sim {

// A pseudo-terminal standing in for a serial line: the far end (`master`) belongs to whoever
// plays the device; the near end's path is what the utility opens. The near end starts raw at
// kIdleSpeed and is held open (`keeper`), so the far end stays readable while the utility closes
// and reopens it. The utility puts the line back to these settings when it closes the port.
struct PtyLine {
  int master = -1;
  int keeper = -1;
  std::string path;
};

inline constexpr speed_t kIdleSpeed = B50;

// Opens a new line; throws std::runtime_error when no pseudo-terminal can be had.
PtyLine openPtyLine();

}  // namespace kestrel::sim
