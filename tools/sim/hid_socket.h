#pragma once

// USB boot loaders in processes of their own, for tests of whole programs: kestrel-hid-sim runs one
// simulated boot loader and makes it appear in a folder; the tests' stand-in for the hidapi library
// (loaded in place of the real one) finds the boot loaders in that folder and talks to them.
//
// The folder D of one simulated machine:
//   D/dev/hidrawN       the node, present while the device is plugged in: "key=value" lines that
//                       say what the device lists (vendor, product, release, serial). Programs
//                       claim the device with flock() on it, as on a real hidraw node.
//   D/run/hidrawN.sock  the simulator's socket (SOCK_SEQPACKET): a connection is one open handle.
//   D/sys/...           sysfs as the kernel lays it out for the node: class/hidraw/hidrawN/device
//                       leads to the HID device in the folder of its USB device ("1-3.2").
//
// On a connection, every packet is one message:
//   to the device:    an output report as hid_write() takes it, report ID first;
//   from the device:  kInput, then an input report without its report ID (as hidraw gives it);
//                     kWritten, then the errno of that write as 4 bytes in host order (0: written),
//                     once for every output report, in order.
// A device that is unplugged closes every connection: reads then see the hang-up, writes fail.
//
// Header-only: the stand-in is a shared library of its own and links nothing of the program's.

#include <cstdint>
#include <cstdlib>
#include <string>

namespace kestrel::sim::hidsock {

// The variable that tells the stand-in where D is; without it, it lists no device.
inline constexpr const char* kDirVariable = "KESTREL_HIDSIM_DIR";

inline constexpr uint8_t kInput = 'I';
inline constexpr uint8_t kWritten = 'W';

// Room for the largest message either way.
inline constexpr size_t kMaxMessage = 1 + 64 + 64;

// What a node says of its device.
struct NodeInfo {
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t release = 0;
  std::string serial;  // UTF-8, without line breaks
};

inline std::string formatNode(const NodeInfo& n) {
  return "vendor=" + std::to_string(n.vendor) + "\nproduct=" + std::to_string(n.product) +
         "\nrelease=" + std::to_string(n.release) + "\nserial=" + n.serial + "\n";
}

// False when `text` is not a whole node (a node being written, or something else).
inline bool parseNode(const std::string& text, NodeInfo* out) {
  NodeInfo n;
  int seen = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    auto number = [&](uint16_t* to) {
      char* stop = nullptr;
      unsigned long v = std::strtoul(value.c_str(), &stop, 10);
      if (value.empty() || *stop || v > 0xFFFF) return false;
      *to = uint16_t(v);
      return true;
    };
    bool ok = false;
    if (key == "vendor") {
      ok = number(&n.vendor);
    } else if (key == "product") {
      ok = number(&n.product);
    } else if (key == "release") {
      ok = number(&n.release);
    } else if (key == "serial") {
      n.serial = value;
      ok = true;
    }
    if (!ok) return false;
    ++seen;
  }
  if (seen != 4) return false;
  *out = n;
  return true;
}

// D/run/hidrawN.sock for the node D/dev/hidrawN.
inline std::string socketOf(const std::string& nodePath) {
  size_t slash = nodePath.rfind('/');
  std::string name = nodePath.substr(slash + 1);
  std::string dev = slash == std::string::npos ? "." : nodePath.substr(0, slash);
  size_t up = dev.rfind('/');
  std::string dir = up == std::string::npos ? "." : dev.substr(0, up);
  return dir + "/run/" + name + ".sock";
}

}  // namespace kestrel::sim::hidsock
