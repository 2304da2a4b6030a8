#include "serial/serial_session.h"

#include "core/window_state.h"

namespace kestrel {
namespace {

constexpr uint32_t kBaudTable[] = {115200, 57600, 38400, 19200, 9600, 4800, 2400};

}  // namespace

uint32_t baudFor(int baudIndex) {
  if (baudIndex < 0 || baudIndex >= int(std::size(kBaudTable))) return 9600;
  return kBaudTable[baudIndex];
}

std::string portName(int portIndex) {
  return std::string("COM") + char('0' + portIndex);
}

namespace {

bool unavailable(WindowState& w, const PortError& error) {
  refusePort(w, error);
  w.showMessage("Serial Port is unavaible!", {}, MessageIcon::Error);
  return false;
}

// One write; a line that stopped taking bytes is noted in the window.
bool writeNoted(WindowState& w, SerialPort& port, const uint8_t* data, size_t n) {
  if (port.write(data, n)) return true;
  if (port.lineHeldUp()) w.lineHeldUp = true;
  return false;
}

}  // namespace

void refusePort(WindowState& w, const PortError& error) {
  UpdateOutcome unavailable;
  unavailable.cause = UpdateOutcome::Cause::PortUnavailable;
  unavailable.error = error.code;
  unavailable.detail = error.text;
  w.outcome.set(unavailable);
}

bool openPort(WindowState& w) {
  w.readWindow();
  closePort(w);
  const std::string name = portName(w.PortIndex.load());
  PortError error;
  if (!w.serialPortClaim.holds(name)) {
    // The claim comes first, so that nothing of this run reaches a port another run holds.
    w.serialPortClaim.release();
    auto claim = w.serialBackend.claim(name, &error);
    if (!claim) return unavailable(w, error);
    w.serialPortClaim.put(name, std::move(claim));
  }
  auto port = w.serialBackend.open(name, baudFor(w.BaudIndex.load()), &error);
  if (!port) return unavailable(w, error);
  w.serialPortHandle.put(std::move(port));
  return true;
}

void closePort(WindowState& w) {
  // The line's settings change at the close: the bytes still on their way leave first.
  if (auto port = w.serialPortHandle.acquire()) {
    if (!port->drain()) w.lineHeldUp = true;
  }
  w.serialPortHandle.close();
}

void releasePort(WindowState& w) {
  closePort(w);
  w.serialPortClaim.release();
}

void writePort(WindowState& w, const uint8_t* data, size_t n) {
  if (auto port = w.serialPortHandle.acquire()) writeNoted(w, *port, data, n);
}

void writeBytes(WindowState& w, const uint8_t* data, size_t n) {
  auto port = w.serialPortHandle.acquire();
  if (!port) return;
  for (size_t i = 0; i < n; ++i) {
    if (!writeNoted(w, *port, data + i, 1)) return;
  }
}

bool writeOnce(WindowState& w, const uint8_t* data, size_t n) {
  if (!openPort(w)) {
    closePort(w);
    return false;
  }
  writePort(w, data, n);
  closePort(w);
  return true;
}

int readPort(WindowState& w, uint8_t* data, size_t n) {
  auto port = w.serialPortHandle.acquire();
  if (!port) {
    // No port, no read: wait as long as the read would have, so that loops do not spin.
    w.pause(uint32_t(10 * n + 200));
    return -1;
  }
  int got = port->read(data, n);
  if (got < 0 && port->lineLost()) w.linkLost = true;
  return got;
}

int readTimed(WindowState& w, uint8_t* buf, size_t n, uint32_t limitMs) {
  const uint32_t start = w.clock.tickCount();
  while (!limitPassed(start, w.clock.tickCount(), limitMs)) {
    if (w.closing()) return 0;
    int got = readPort(w, buf, n);
    if (got > 0) {
      buf[got] = 0;
      return got;
    }
  }
  w.showMessage("Timeout fail!", "Fail");
  return 0;
}

bool lineFailure(const WindowState& w, const std::string& where, UpdateOutcome* outcome) {
  if (w.linkLost) {
    outcome->cause = UpdateOutcome::Cause::DeviceGone;
    outcome->detail = "the line went away" + where;
  } else if (w.lineHeldUp) {
    outcome->cause = UpdateOutcome::Cause::LineHeldUp;
    outcome->detail = "the line is held up (flow control?)" + where;
  } else {
    return false;
  }
  return true;
}

void purgePort(WindowState& w) {
  if (auto port = w.serialPortHandle.acquire()) port->purge();
}

}  // namespace kestrel
