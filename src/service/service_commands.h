#pragma once

namespace kestrel {

class WindowState;

// The longest frameText that fits the text frame.
inline constexpr unsigned kMaxFrameText = 254;

// Runs the serial service command `id` (kCmdWake, kCmdCradleId, kCmdClearCradleId, kCmdKe99,
// kCmdCode, kCmdDash02, kCmdTextQuery, kCmdCr01, kCmdCr02, kCmdKe01, kCmdKe97, kCmdTextFrame) on
// the window's thread, over the COM port of PortIndex: the port is opened for the command and
// closed again, at 9600 bit/s (BaudIndex 4, back to 0 at the end) for all but kCmdWake, which
// writes at the resting speed, and kCmdClearCradleId, which opens nothing. While a serial search
// or download holds the port, every command that would open it is refused with a message and
// sends nothing. Returns false for an identifier that is not a service command.
bool runServiceCommand(WindowState& w, int id);

}  // namespace kestrel
