#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform_api/clock.h"
#include "platform_api/serial_port.h"
#include "sim/serial_boot_device.h"

namespace kestrel::sim {

// COM ports inside the process, each wired to a simulated boot loader, in the time of `clock`.
//
// What the utility writes leaves through a transmit buffer (SerialFaults::portBuffer bytes) at the
// line's speed, 10 bits a byte, and reaches the device as it leaves; a full buffer makes a write
// wait, at most its time limit, and a held-up line (SerialFaults::holdLineAt) empties it no more.
// A port's close changes the line's settings at once: bytes still in the buffer then reach the
// device garbled (speed 0), unless the utility drained the port first. The device's answers become
// readable when they have come (a late answer later), and a read that has to wait sleeps on the
// clock for as long as the read's time-outs say. With a test::ManualClock nothing here takes real
// time, so a 5-second time-out costs no 5 seconds and no test depends on how fast a thread is
// scheduled. Ports are exclusive: a second open of a port that is open fails as "in use"; a second
// claim of a port that is claimed fails the same way. Thread-safe.
class SimulatedSerialPorts final : public SerialBackend {
 public:
  explicit SimulatedSerialPorts(Clock& clock) : clock_(clock) {}
  ~SimulatedSerialPorts() override;

  // Wires a new boot loader with `faults` to the port `name` ("COM2"), in place of the one there.
  // The device lives as long as this object.
  SerialBootDevice& plug(const std::string& name, SerialFaults faults = {});
  // True while the utility holds `name` open.
  bool isOpen(const std::string& name) const;
  // True while a run holds the claim on `name`.
  bool isClaimed(const std::string& name) const;
  // Every byte the utility has handed to port `name`, in order: those still in the transmit buffer
  // (which the device has not got yet) included.
  std::vector<uint8_t> written(const std::string& name) const;

  std::unique_ptr<PortClaim> claim(const std::string& name, PortError* error) override;
  std::unique_ptr<SerialPort> open(const std::string& name, uint32_t baud,
                                   PortError* error) override;

  class Line;

 private:
  // The line of port `name`; null, with ENOENT in *error where one is given, when none is plugged.
  std::shared_ptr<Line> find(const std::string& name, PortError* error = nullptr) const;

  Clock& clock_;
  mutable std::mutex mutex_;  // Guards lines_.
  std::map<std::string, std::shared_ptr<Line>> lines_;
};

}  // namespace kestrel::sim
