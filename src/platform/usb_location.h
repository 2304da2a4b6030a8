#pragma once

// Where a HID interface sits on USB, read from what each system gives, and the name of a claim:
// the parsing behind HidInterfaceInfo::location and HidApi::claim(), apart from the system calls
// that fetch the text, so that it can be checked on any machine.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel {

// The environment variable that moves the root of sysfs (normally /sys) for the HID backend,
// so that a test can lay out a small sysfs of its own.
inline constexpr const char* kSysfsRootVariable = "KESTREL_SYSFS_ROOT";

// Whether `name` is sysfs's name of a USB device behind a port: the bus number, "-", then the
// port numbers from the root hub down, joined by "." ("1-3", "1-3.2", "2-1.4.3").
bool isUsbPortName(std::string_view name);

// The location of the USB device that the sysfs folder `devicePath` (resolved, without symbolic
// links) belongs to: its last folder below `root` that names a USB device behind a port, "1-3.2"
// in ".../usb1/1-3/1-3.2/1-3.2:1.0/0003:FFFF:0012.0004". Empty when there is none: a HID device
// on Bluetooth or I2C, or one made by software.
std::string usbLocationOfSysfsDevice(std::string_view devicePath, std::string_view root);

// The location of the hidraw node named `node` ("hidraw3"): where sysfs under `sysfsRoot` says
// its device is (class/hidraw/NODE/device, resolved). Empty when sysfs does not know the node or
// it is not on USB.
std::string hidrawUsbLocation(const std::string& sysfsRoot, const std::string& node);

// The location path of a USB device as Windows gives it in SPDRP_LOCATION_PATHS: the first string
// of the REG_MULTI_SZ list of `units` wide characters (which need not end in a terminator) when
// it ends at a port of a hub, "...#USB(2)". Empty otherwise: an interface of a composite device
// ("...#USBMI(0)"), a device that is not on USB, an empty list.
std::wstring usbPortLocationPath(const wchar_t* list, size_t units);

// What a Windows device instance ID names on the way up from a HID collection to its port.
enum class UsbNodeKind {
  NotUsb,     // Not a USB node ("HID\...", "BTHENUM\..."): a USB device has no location there.
  Interface,  // An interface of a composite USB device ("USB\VID_FFFF&PID_0012&MI_00\...").
  Device,     // The USB device itself ("USB\VID_FFFF&PID_0012\SN1"): the one at the port.
};
UsbNodeKind usbNodeKind(std::wstring_view instanceId);

// The name of the system-wide object that holds the claim on the HID device at `path`: the same
// for every spelling of the path that the system takes as the same (letters in either case).
std::string hidClaimName(std::string_view path);

}  // namespace kestrel
