#pragma once

#include <cstdint>

namespace kestrel {

class WindowState;

inline constexpr uint8_t kWakeByte = 0xA2;
inline constexpr uint8_t kProbeByte = 0xA5;
inline constexpr uint8_t kAnswerByte = 0x5A;

// The COM branch of Run, on the window's thread: wakes the boot loader with two 0xA2 bytes at
// 9600 bit/s, reopens the port at 115200 bit/s, disables Run and starts the SendThread and the
// ReceiveThread. Shows "Serial Port is unavaible!" and starts nothing when the port cannot be
// opened; BaudIndex is 0 afterwards on every path. A thread that cannot be started is reported
// ("SendThread fail!", "ReceiveThread fail!"), the port is closed, searchStopped goes back to 1 and
// Run is enabled again.
void startSerialSearch(WindowState& w);

// Sends the probe byte every 150 ms while searchStopped is 0 and a port is open.
void SendThread();

// Waits for a read whose first byte is 0x5A while searchStopped is 0. On the answer it shows
// " Device Found!", raises searchStopped, pauses 300 ms and runs the serial download. A search
// that ended otherwise (Stop, the window closing, the port gone) downloads nothing. Then Run is
// enabled.
void ReceiveThread();

}  // namespace kestrel
