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

bool openPort(WindowState& w) {
  w.readWindow();
  w.serialPortHandle.close();
  PortError error;
  auto port =
      w.serialBackend.open(portName(w.PortIndex.load()), baudFor(w.BaudIndex.load()), &error);
  if (!port) {
    UpdateOutcome unavailable;
    unavailable.cause = UpdateOutcome::Cause::PortUnavailable;
    unavailable.error = error.code;
    unavailable.detail = error.text;
    w.outcome.set(unavailable);
    w.showMessage("Serial Port is unavaible!", {}, MessageIcon::Error);
    return false;
  }
  w.serialPortHandle.put(std::move(port));
  return true;
}

void closePort(WindowState& w) {
  w.serialPortHandle.close();
}

void writePort(WindowState& w, const uint8_t* data, size_t n) {
  if (auto port = w.serialPortHandle.acquire()) port->write(data, n);
}

void writeBytes(WindowState& w, const uint8_t* data, size_t n) {
  auto port = w.serialPortHandle.acquire();
  if (!port) return;
  for (size_t i = 0; i < n; ++i) port->write(data + i, 1);
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

void purgePort(WindowState& w) {
  if (auto port = w.serialPortHandle.acquire()) port->purge();
}

}  // namespace kestrel
