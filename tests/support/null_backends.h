#pragma once

#include <cerrno>

#include "platform_api/hid_device.h"
#include "platform_api/serial_port.h"

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
  bool enumerate(std::vector<HidInterfaceInfo>* interfaces) override {
    interfaces->clear();
    return true;
  }
  std::unique_ptr<HidDevice> open(const std::string&, HidUse) override { return nullptr; }
  std::unique_ptr<HidClaim> claim(const std::string&, bool* busy) override {
    *busy = false;
    return nullptr;
  }
  HidClaimState claimState(const std::string&) override { return HidClaimState::Unknown; }
};

}  // namespace kestrel::test
