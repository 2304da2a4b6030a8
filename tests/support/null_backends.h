#pragma once

#include <cerrno>

#include "platform/hid_device.h"
#include "platform/serial_port.h"

namespace kestrel::test {

// A machine without serial ports.
class NoSerialPorts final : public SerialBackend {
 public:
  std::unique_ptr<PortClaim> claim(const std::string& name, PortError* error) override {
    *error = {ENOENT, name + ": no such port"};
    return nullptr;
  }
  std::unique_ptr<SerialPort> open(const std::string& name, uint32_t, PortError* error) override {
    *error = {ENOENT, name + ": no such port"};
    return nullptr;
  }
};

// A machine without HID interfaces.
class NoHidDevices final : public HidApi {
 public:
  bool enumerate(std::vector<std::string>*) override { return true; }
  std::unique_ptr<HidDevice> open(const std::string&, HidUse) override { return nullptr; }
};

}  // namespace kestrel::test
