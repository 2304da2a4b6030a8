#pragma once

#include <cstdint>
#include <optional>

namespace kestrel {

class WindowState;

inline constexpr uint8_t kWakeByte = 0xA2;
inline constexpr uint8_t kProbeByte = 0xA5;
inline constexpr uint8_t kAnswerByte = 0x5A;

// What ends a serial search besides the device's answer, Stop and the window's close. Without
// limits (the window's search) it goes on until one of those.
struct SearchLimits {
  // Milliseconds of the window's clock, from the moment the search starts (its first probe), after
  // which a search without an answer gives up: searchStopped is raised, the reader is woken, and
  // the update ends as NoAnswer (LineHeldUp when the line stopped taking the probes).
  std::optional<uint32_t> deadlineMs;
  // A line that goes away during the search (a hang-up, an adapter unplugged) ends it at once, as
  // DeviceGone, instead of the search going on with reads that fail.
  bool endWhenLineLost = false;
};

// The COM branch of Run, on the window's thread: wakes the boot loader with two 0xA2 bytes at
// 9600 bit/s, reopens the port at 115200 bit/s, disables Run and starts the SendThread and the
// ReceiveThread, which search within `limits`. Shows "Serial Port is unavaible!" and starts nothing
// when the port cannot be opened; BaudIndex is 0 afterwards on every path. A thread that cannot be
// started is reported ("SendThread fail!", "ReceiveThread fail!"), the port is closed,
// searchStopped goes back to 1 and Run is enabled again.
void startSerialSearch(WindowState& w, const SearchLimits& limits = {});

// Sends the probe byte every 150 ms while searchStopped is 0 and a port is open. At the search's
// deadline it gives the search up instead.
void SendThread();

// Waits for a read whose first byte is 0x5A while searchStopped is 0. On the answer it shows
// " Device Found!", raises searchStopped, pauses 300 ms and runs the serial download. A search
// that ended otherwise (Stop, the window closing, the port gone, the deadline, a lost line where
// that ends it) downloads nothing and records why. Then Run is enabled.
void ReceiveThread();

}  // namespace kestrel
