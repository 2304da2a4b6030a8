#pragma once

namespace kestrel {

class WindowState;

// The longest frameText that fits the text frame.
inline constexpr unsigned kMaxFrameText = 254;

// Runs the serial service command `id` (1023, 1029, 1031, 1032, 1034 to 1040, 1044) on the
// window's thread, over the COM port of PortIndex: the port is opened for the command and closed
// again, at 9600 bit/s (BaudIndex 4, back to 0 at the end) for all but 1023. While a serial search
// or download holds the port, every command that would open it is refused with a message and
// sends nothing. Returns false for an identifier that is not a service command.
bool runServiceCommand(WindowState& w, int id);

}  // namespace kestrel
