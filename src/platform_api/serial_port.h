#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
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

}  // namespace kestrel
