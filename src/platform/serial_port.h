#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

// Bytes a port's buffers may hold ahead of a write (the driver's buffer and the chip's FIFO): a
// write can wait as long as these take to leave before its own bytes go.
inline constexpr size_t kPortBufferBytes = 4096;

// Milliseconds that `n` bytes take on the line at `baud` bit/s, 10 bits each (8N1), rounded up.
inline uint32_t lineTimeMs(size_t n, uint32_t baud) {
  if (baud == 0) baud = 9600;
  return uint32_t((uint64_t(n) * 10000 + baud - 1) / baud);
}

// How long a write of `n` bytes may wait for the port to take them: the time of the bytes and of
// full buffers ahead of them at the line's speed, plus half a second. A line that takes nothing for
// that long is held up (flow control, a far end that stopped reading).
inline uint32_t writeLimitMs(size_t n, uint32_t baud) {
  return lineTimeMs(n + kPortBufferBytes, baud) + 500;
}

// How long drain() waits for `n` bytes written since the last drain to leave: their time at the
// line's speed (at most a full buffer's), plus half a second.
inline uint32_t drainLimitMs(size_t n, uint32_t baud) {
  return lineTimeMs(std::min(n, kPortBufferBytes), baud) + 500;
}

// One open serial port, raw 8N1 at a fixed speed, opened for exclusive use.
//
// read() and write() may be called from different threads at the same time (one reader and one
// writer); cancel() may be called from any thread at any time. The descriptor is closed by the
// destructor only, so whoever holds the object may use it safely until it lets go.
class SerialPort {
 public:
  // Puts the line's settings back as they were found, then closes. Bytes still on their way may
  // then leave at settings that are not theirs: drain() first. (The platform's ports drain here
  // as well, but a port's close may not wait for the chip's FIFO.)
  virtual ~SerialPort() = default;

  // Hands all `n` bytes to the port, blocking until it has taken them, but never longer than
  // writeLimitMs(n, baud). Returns false when the port fails, has been cancelled, or the limit
  // passed with bytes not taken; in the last case lineHeldUp() is true from then on. How many
  // bytes went out before a failure is not reported. A later write tries again with its own limit.
  virtual bool write(const uint8_t* data, size_t n) = 0;

  // Waits until every byte written so far has left the line (the transmitter is empty, not only
  // the driver's buffer), for at most drainLimitMs() of the bytes written since the last drain.
  // When the limit passes first, what is still waiting is discarded, lineHeldUp() becomes true and
  // the result is false. A port whose line has gone returns true at once: nothing more will leave
  // it. Cancelling does not cut a drain short. Change the line's settings only after this returns.
  virtual bool drain() = 0;

  // Reads at most `n` bytes into `data` and returns how many came. It returns as soon as `n`
  // bytes have arrived; or, once at least one byte has arrived, after 30 ms without a further
  // byte; or 10 * n + 200 ms after the call, possibly with 0. Returns -1 when the port fails or has
  // been cancelled; a failing port still takes the full time before it returns -1, so that callers
  // that loop on reads never spin.
  virtual int read(uint8_t* data, size_t n) = 0;

  // Discards everything in the input and output buffers.
  virtual void purge() = 0;

  // Wakes any thread blocked in read() or write(); from now on both fail at once.
  virtual void cancel() = 0;

  // True once the line has gone (hung up, device removed); a cancelled port has not lost it.
  virtual bool lineLost() const = 0;

  // True once a write or a drain ran out of its time: the line stopped taking bytes.
  virtual bool lineHeldUp() const = 0;
};

// One run's hold on a port, from before its first open to after its last close: while it lasts,
// no other run of this program (in this process or another) can claim the same device, under any
// of its names. Letting it go (destroying it) ends the hold. Any thread may destroy it.
class PortClaim {
 public:
  virtual ~PortClaim() = default;
  // False when there was nothing to hold (no device under the name; no place for the claim, such
  // as a lock folder that cannot be written): then only each open's own lock keeps others out.
  virtual bool held() const = 0;
};

// n for a port name "COMn", n from 1 to 9; nothing for any other name.
inline std::optional<int> comPortNumber(const std::string& name) {
  if (name.size() != 4 || name.compare(0, 3, "COM") != 0 || name[3] < '1' || name[3] > '9') {
    return std::nullopt;
  }
  return name[3] - '0';
}

// Why a port could not be opened: the system's error number (ENOENT for a name that leads to no
// device, EBUSY for a port another program holds, EACCES when this user may not open it) and a
// message that names the device and the reason ("/dev/ttyUSB0: Permission denied").
struct PortError {
  int code = 0;
  std::string text;
};

// Opens ports by their user-facing names, "COM1" to "COM9".
class SerialBackend {
 public:
  virtual ~SerialBackend() = default;

  // Claims the port named `name` for one run (see PortClaim). Fails, with EBUSY and "<device>: in
  // use by another program" in *error, when another run holds it, and with ENOENT when the name
  // leads to no device; a device that is there but cannot be opened is left for open() to report.
  // Where the system offers no place for the claim, the claim holds nothing beyond what each
  // open() takes itself.
  virtual std::unique_ptr<PortClaim> claim(const std::string& name, PortError* error) = 0;

  // Opens the port named `name` at `baud` bit/s, with whatever waited in its input discarded. On
  // failure returns null and fills in *error. Callers hold the port's claim; open() does not look
  // at claims, only at programs that hold the device itself.
  virtual std::unique_ptr<SerialPort> open(const std::string& name, uint32_t baud,
                                           PortError* error) = 0;
};

// The platform's serial ports, by their names "COM1" to "COM9".
SerialBackend& serialBackend();

// The termios backend. "COMn" is `$KESTREL_COM_DIR/COMn` when that variable is set; otherwise the
// n-th present port, USB adapters (/dev/ttyUSB*, then /dev/ttyACM*) before built-in ports
// (/dev/ttyS* with a UART behind them).
SerialBackend& posixSerialBackend();

// Test hook: `hook` runs on the reading thread whenever a read of a termios port is about to wait
// for bytes, after it has looked for a cancel, so that from then on only a cancel (or the read's
// time-out) ends the wait. An empty `hook` removes it. Use only for testing.
void setReadWaitHook(std::function<void()> hook);

// The device path that `name` maps to under the rules above, or "" when it maps to none.
std::string resolveSerialPortName(const std::string& name);

// Opens the serial device at `path` as the backend opens a COM port. Anything that is not a serial
// device (a regular file, a folder, a pipe) is refused before a byte is written to it.
std::unique_ptr<SerialPort> openSerialDevice(const std::string& path, uint32_t baud,
                                             PortError* error);

// Claims the serial device at `path` as the backend claims a COM port. On Linux the claim is a
// lock file per device (by its device number, so that two names of one device meet) in the folder
// `$KESTREL_LOCK_DIR`, or /run/lock when that is not set; on Windows a named object per port.
std::unique_ptr<PortClaim> claimSerialDevice(const std::string& path, PortError* error);

}  // namespace kestrel

namespace kestrel {

// What an open of a serial device would find, as --list tells it.
enum class PortProbe {
  Openable,    // An open would succeed.
  InUse,       // Another program holds it (exclusively, or with a lock).
  NotSerial,   // It opens, but is no serial device.
  Unopenable,  // It cannot be opened: *error says why.
};

// Tries the open of the device at `path` as openSerialDevice would, without taking it: no byte
// is sent or taken, no setting changed, no lock kept; the port is closed again at once. A port
// that a run has claimed (claimSerialDevice) is InUse without being opened at all, so that a
// probe never takes the port from under that run between its opens. *error names the device and
// the reason for anything but Openable.
PortProbe probeSerialDevice(const std::string& path, PortError* error);

// The names of the serial ports the system has, beyond the window's "COM1" to "COM9", for the
// command line: on Windows every "COMn" present (COM10 and above included), in the order of n; on
// POSIX none, since a port there is named by its device path.
std::vector<std::string> systemSerialPortNames();

// The device that `name`, given on the command line as a port, leads to where it is no "COM1" to
// "COM9" and no "usb": a device path (on POSIX any name with a '/'; on Windows one with '\' or
// '/'), or on Windows "COMn" or "\\.\COMn" for any n from 1, in any case, as "\\.\COMn". "" when
// `name` is none of these.
std::string serialDevicePathFor(const std::string& name);

}  // namespace kestrel
