#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

struct HidAttributes {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t version = 0;
};

// Why a HID call failed: `error` is the system's error number for the failed call; `deviceGone` is
// set when the device has been unplugged. `afterWait` is set when a read was started and waited for
// but its result could not be fetched (where the platform reads asynchronously): the reader
// reports that and reads on, where a read that cannot even start ends it.
struct HidError {
  int error = 0;
  bool deviceGone = false;
  bool afterWait = false;
};

// What a handle is opened for: the reader's handle is read asynchronously where the platform does
// so, the writer's synchronously.
enum class HidUse { Read, Write };

// One open HID interface. A handle is used by one thread at a time; two handles on the same
// device may be used by two threads at once; cancel() may be called from any thread at any time.
// The destructor closes the handle; no read is left outstanding, since read() returns within its
// time-out.
class HidDevice {
 public:
  virtual ~HidDevice() = default;

  // Ends a read in progress as soon as the platform allows (at once, or within its time-out), and
  // waits until the platform has let go of it; from now on read() and write() fail without
  // touching the device.
  virtual void cancel() = 0;

  // Writes one whole output report: `n` bytes, byte 0 the report ID. False with *err filled in
  // when the write fails.
  virtual bool write(const uint8_t* report, size_t n, HidError* err) = 0;

  // Waits up to `timeoutMs` for one input report and copies it to `buf` with the report ID in
  // byte 0 (0x00 for a device without numbered reports). Returns the number of bytes stored,
  // report ID included; 0 when the time ran out; -1 with *err filled in on failure.
  virtual int read(uint8_t* buf, size_t n, int timeoutMs, HidError* err) = 0;

  // Vendor, product and version number. False when they cannot be read.
  virtual bool attributes(HidAttributes* out) = 0;
};

// What the system tells of one HID interface without opening it.
struct HidInterfaceInfo {
  std::string path;          // What HidApi::open() and claim() take.
  HidAttributes attributes;  // Vendor, product and version as the system lists them.
  // The USB device's serial number in UTF-8; empty when it gives none. Identical units may give
  // the same one.
  std::string serialNumber;
  // The physical USB port the device is plugged into, the same after a device is plugged into the
  // same port again: on Linux the USB device's name in sysfs ("1-3.2": bus 1, root-hub port 3,
  // port 2 of the hub there), on Windows the location path of the USB device
  // ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(2)"). Empty when the interface is not on USB or
  // the system does not say.
  std::string location;
};

// A hold of one device against every other run of this program and of Kestrel Utility: while it
// lives, their claims on the same device fail as busy. Destroying it lets the device go; so does
// the end of the process, however it ends.
class HidClaim {
 public:
  virtual ~HidClaim() = default;
};

// Whether a device is held by a claim.
enum class HidClaimState {
  Free,
  Busy,     // Another claim holds it (of another process, or of this one).
  Unknown,  // The device cannot be looked at (gone, or no permission).
};

// The HID interfaces present on the system.
class HidApi {
 public:
  virtual ~HidApi() = default;

  // Every HID interface present, in the system's order, replacing *interfaces. False when the
  // list cannot be obtained.
  virtual bool enumerate(std::vector<HidInterfaceInfo>* interfaces) = 0;

  // Opens `path` for reading and writing, shared with other openers, for `use`. Null when it
  // cannot be opened. A claim is not needed to open a path, nor looked at.
  virtual std::unique_ptr<HidDevice> open(const std::string& path, HidUse use) = 0;

  // Claims the device at `path` for this run. Null when another claim holds it (*busy is then
  // true; a claim of a moment, such as claimState() of another process, is waited out first) or
  // when it cannot be claimed at all (*busy false: no such device, no permission).
  virtual std::unique_ptr<HidClaim> claim(const std::string& path, bool* busy) = 0;

  // Whether a claim holds `path`, without keeping one: others' claims made meanwhile are
  // delayed by a moment at most, never refused.
  virtual HidClaimState claimState(const std::string& path) = 0;
};

}  // namespace kestrel
