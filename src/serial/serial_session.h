#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/update_outcome.h"
#include "platform_api/serial_port.h"

namespace kestrel {

class WindowState;

// Line speed for a row of the baud table; rows outside 0..6 give 9600 bit/s.
uint32_t baudFor(int baudIndex);

// "COM" followed by the digit of `portIndex` ('0' + portIndex).
std::string portName(int portIndex);

// The serial operations on the window's `serialPortHandle`.
//
// openPort and writeOnce run on the window's thread only (openPort reads the window's controls).
// The others may run on any thread that works with the open port; they take a reference to the
// port for their own duration, so a port closed meanwhile by another thread makes them fail
// harmlessly instead of touching a stale descriptor.

// Reads the window, then opens "COM<PortIndex>" at the speed of BaudIndex, raw 8N1, for
// exclusive use, with its input purged (the output was drained by the last close). The first open
// of a run claims the port for the run (serialPortClaim) before it opens it; the claim lasts until
// releasePort. On failure, a port that another run has claimed included, shows "Serial Port is
// unavaible!" (error icon), records the system's reason as the running update's outcome and
// returns false with no port open. A port that was still open is closed first.
bool openPort(WindowState& w);

// Ends the running update as a port that cannot be opened ends it (PortUnavailable, with the
// system's error number and reason from `error`), without the message box: for a port that a
// front end refuses before anything is converted or sent.
void refusePort(WindowState& w, const PortError& error);

// Closes the open port once every byte written has left the line (a bounded wait: a line held up
// raises lineHeldUp and loses what it held); does nothing when none is open. The claim stays.
// Any thread.
void closePort(WindowState& w);

// The end of a run on the port: closePort, then the claim goes, and another run may take the
// port. Any thread.
void releasePort(WindowState& w);

// One write of all `n` bytes; the outcome is not examined, except that a line that stopped taking
// bytes raises lineHeldUp.
void writePort(WindowState& w, const uint8_t* data, size_t n);

// `n` writes of one byte each, in order; outcomes are not examined, except that the writes stop at
// the first that fails (a held-up line raises lineHeldUp): the rest would fail as well, each after
// its own time limit.
void writeBytes(WindowState& w, const uint8_t* data, size_t n);

// openPort, one write of all bytes, closePort. False (after the open's message) when the port
// cannot be opened. The claim stays for the caller to release.
bool writeOnce(WindowState& w, const uint8_t* data, size_t n);

// One read of at most `n` bytes under the port's time-outs (see SerialPort::read). Returns the
// count, possibly 0, or -1 when the read fails or no port is open; in both cases only after the
// read's time-out, so callers that loop never spin.
int readPort(WindowState& w, uint8_t* data, size_t n);

// Reads the first non-empty batch of at most `n` bytes that arrives within `limitMs` and stores
// 0x00 after it (`buf` holds n + 1 bytes). On time-out shows "Timeout fail!" (caption "Fail") and
// returns 0. The limit holds whatever the tick counter's value: a call lasts at most the limit
// plus one read's time-out. Returns 0 at once, without a message, when the window closes.
int readTimed(WindowState& w, uint8_t* buf, size_t n, uint32_t limitMs);

// The outcome of a serial run that failed because of its line, with `where` after the words ("
// during the search"): DeviceGone when the line went away, LineHeldUp when it stopped taking bytes.
// False, with *outcome untouched, when the line did neither.
bool lineFailure(const WindowState& w, const std::string& where, UpdateOutcome* outcome);

// Discards whatever waits in the port's buffers.
void purgePort(WindowState& w);

}  // namespace kestrel
