#pragma once

// Which serial device nodes are present now, for a station that flashes units as they are plugged
// in: the nodes that a pattern names, looked at without being opened. The USB boot loaders present
// come from the HID backend's own enumeration (HidApi::enumerate).

#include <string>
#include <vector>

namespace kestrel {

// Whether `text` is a pattern of serial device nodes that serialNodesMatching() takes: on POSIX a
// path (any name with a '/'), whose last parts may hold the wildcards of glob(3) ("*", "?",
// "[...]"): "/dev/ttyACM*", "/dev/serial/by-path/*"; on Windows a COM port name, whose number may
// hold "*" and "?" ("COM1?", "COM*"), with or without "\\.\" before it.
bool isSerialNodePattern(const std::string& text);

// The serial device nodes present now that `pattern` names, sorted, each once: on POSIX the paths
// that glob(3) finds and that lead to character devices (links are followed and kept as named:
// "/dev/serial/by-path/pci-...-port0"); on Windows the COM ports the system has (QueryDosDevice)
// whose names match, as "COMn". Nothing when none matches or the system cannot be asked.
std::vector<std::string> serialNodesMatching(const std::string& pattern);

// Whether the node at `path` (a serial device, or a HID device's path) can be opened by this user
// now, by its permissions: a node that the system has just made may not be openable yet (udev has
// not given it its group), so a station waits a moment for it. Nothing is opened. On Windows, where
// a device's node is usable as soon as it is listed, always true.
bool nodeOpenable(const std::string& path);

}  // namespace kestrel
