#pragma once

// What the platform library gives beyond its interfaces (platform_api/): the backends themselves,
// and the calls on devices and paths that the front ends make directly. Only the front ends, the
// platform library and the tests see this header; the domain works through the interfaces it is
// handed.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform_api/clock.h"
#include "platform_api/files.h"
#include "platform_api/hid_device.h"
#include "platform_api/serial_port.h"

namespace kestrel {

// --- The clock ---------------------------------------------------------------------------------

// The real clock: steady time since the process started, truncated to 32 bits.
Clock& systemClock();

// --- Files ---------------------------------------------------------------------------------------

// The platform's files.
FileSystem& fileSystem();

// What a path is, for telling the user why it is or is not a usable port.
struct PathInfo {
  bool exists = false;
  bool isDevice = false;     // a character device (a terminal, a serial line, a hidraw node)
  std::string kind;          // for anything else: "a regular file", "a directory", "a FIFO", ...
  int accessError = 0;       // why this user may not open it for reading and writing, or 0
  std::string accessReason;  // the same, in the system's words
};
PathInfo inspectPath(const std::string& path);

// --- Serial ports --------------------------------------------------------------------------------

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

// --- HID devices ---------------------------------------------------------------------------------

// The platform's HID devices.
HidApi& hidBackend();

// Whether a write that failed with the system's error number `err` means that the device has gone
// away, by the platform's rule (HidError::deviceGone of a failed write).
bool hidWriteMeansGone(int err);
// The same for a read (HidError::deviceGone of a failed read).
bool hidReadMeansGone(int err);

// hidapi over hidraw.
HidApi& hidapiBackend();

}  // namespace kestrel
