#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kestrel {

// One open serial port, raw 8N1 at a fixed speed, opened for exclusive use.
//
// read() and write() may be called from different threads at the same time (one reader and one
// writer); cancel() may be called from any thread at any time. The descriptor is closed by the
// destructor only, so whoever holds the object may use it safely until it lets go.
class SerialPort {
 public:
  // Waits (at most a second) for written bytes to leave, then closes.
  virtual ~SerialPort() = default;

  // Hands all `n` bytes to the driver, blocking until it has taken them. Returns false when the
  // port fails or has been cancelled; how many bytes went out before that is not reported.
  virtual bool write(const uint8_t* data, size_t n) = 0;

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

  // Opens the port named `name` at `baud` bit/s, with whatever waited in its input discarded. On
  // failure returns null and fills in *error.
  virtual std::unique_ptr<SerialPort> open(const std::string& name, uint32_t baud,
                                           PortError* error) = 0;
};

// The platform's serial ports, by their names "COM1" to "COM9".
SerialBackend& serialBackend();

// The termios backend. "COMn" is `$KESTREL_COM_DIR/COMn` when that variable is set; otherwise the
// n-th present port, USB adapters (/dev/ttyUSB*, then /dev/ttyACM*) before built-in ports
// (/dev/ttyS* with a UART behind them).
SerialBackend& posixSerialBackend();

// The device path that `name` maps to under the rules above, or "" when it maps to none.
std::string resolveSerialPortName(const std::string& name);

// Opens the serial device at `path` as the backend opens a COM port.
std::unique_ptr<SerialPort> openSerialDevice(const std::string& path, uint32_t baud,
                                             PortError* error);

}  // namespace kestrel
