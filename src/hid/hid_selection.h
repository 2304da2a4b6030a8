#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform_api/hid_device.h"

namespace kestrel {

// The boot loader's identity.
inline constexpr uint16_t kBootVendorId = 0xFFFF;
inline constexpr uint16_t kBootProductId = 0x0012;
inline constexpr uint16_t kBootVersion = 0x0100;

inline bool isBootLoader(const HidAttributes& a) {
  return a.vendorId == kBootVendorId && a.productId == kBootProductId && a.version == kBootVersion;
}

// Which USB boot loader a search takes (FindHidDevice).
struct HidSelection {
  enum class By {
    First,         // The first one found, in the platform's order: the window's search.
    Location,      // The one at a physical USB port (HidInterfaceInfo::location, any case).
    SerialNumber,  // The one with this USB serial number (exactly), when it is the only one.
    Path,          // The interface at this device path.
  };
  By by = By::First;
  std::string value;  // The location, serial number or path; empty for First.

  // Whether `info` is an interface this selection may take (its attributes aside).
  bool admits(const HidInterfaceInfo& info) const;
  // What was looked for, in words for a message: "the USB boot loader" (the first), "the USB boot
  // loader at 1-3.2", "the USB boot loader with serial number A1", "the USB boot loader at
  // /dev/hidraw3".
  std::string describe() const;
  // The selection as --port takes it back: "usb", "usb:1-3.2", "usb:serial=A1",
  // "usb:path=/dev/hidraw3".
  std::string portText() const;
};

// What --port names when it names the USB link.
struct UsbPort {
  bool every = false;  // "usb:*": every boot loader present.
  HidSelection selection;
};

enum class UsbPortParse {
  NotUsb,   // Not a USB port text ("COM1", "/dev/ttyUSB0"): *port is untouched.
  Ok,       // *port says what it names.
  Invalid,  // USB, but not a form that names anything: *error says why.
};

// Reads the USB forms of --port: "usb" (the first boot loader found), "usb:LOCATION",
// "usb:serial=SN" and "usb:*". The word "usb" in lower case, as the other forms.
UsbPortParse parseUsbPort(std::string_view text, UsbPort* port, std::string* error);

// A HID interface with the boot loader's vendor and product, as the system lists it.
struct BootLoaderListing {
  HidInterfaceInfo device;
  // Whether its version is the boot loader's too; a device of another version is never taken.
  bool bootLoader = false;
  // Whether a claim of another run holds it (Unknown where it cannot be looked at).
  HidClaimState claim = HidClaimState::Unknown;
  // Whether another boot loader present has the same serial number (never for an empty one).
  bool serialNumberShared = false;
};

// The interfaces with the boot loader's vendor and product present, in the platform's order,
// with their claims looked at (without being taken or disturbed) and shared serial numbers marked;
// no report goes to or comes from any device (on Linux each node is opened a moment for its lock).
// False when the HID interfaces cannot be listed.
bool listBootLoaders(HidApi& hid, std::vector<BootLoaderListing>* out);

// How many interfaces of `interfaces` have the boot loader's identity and the serial number
// `serialNumber`.
int bootLoadersWithSerialNumber(const std::vector<HidInterfaceInfo>& interfaces,
                                const std::string& serialNumber);

}  // namespace kestrel
