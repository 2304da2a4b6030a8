#pragma once

// The station's eyes: which units are plugged in now, looked at every kWatchPollMs, and the changes
// since the last look. A unit "appears" once per plug-in and "leaves" when it has gone, so that the
// station flashes it once per appearance, however long it stays.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hid/hid_selection.h"

namespace kestrel {

class Clock;
class HidApi;

// How often the station looks at what is plugged in.
inline constexpr uint32_t kWatchPollMs = 200;
// How long a unit that is present but cannot be opened yet (a node udev has not given its
// permissions) is waited for before it is taken anyway; its update then says why it failed.
inline constexpr uint32_t kSettleMs = 1000;

// What a station watches, as one --port of --watch names it.
struct WatchTarget {
  enum class Kind {
    Usb,     // USB boot loaders: every one present ("usb:*"), or those `usb` admits.
    Serial,  // Serial device nodes matching `pattern` (isSerialNodePattern()).
  };
  Kind kind = Kind::Usb;
  bool everyUsb = false;
  HidSelection usb;
  std::string pattern;
};

// Reads the --port values of a station: "usb:*", "usb:LOCATION", "usb:serial=SN", "usb:path=PATH",
// and serial device patterns ("/dev/ttyACM*", "/dev/serial/by-path/*"; on Windows "COM1?").
// False with a one-line *error for anything else, "usb" alone (the first boot loader found is no
// unit to wait for) included.
bool parseWatchTargets(const std::vector<std::string>& ports, std::vector<WatchTarget>* targets,
                       std::string* error);

// A unit present now.
struct PresentUnit {
  // What keys it: a USB boot loader by its physical port ("usb:1-3.2"; by its node where it has no
  // location), a serial unit by its node's name. The same key after an unplug is the same slot.
  std::string key;
  std::string label;  // How --port names it, for its update: "usb:1-3.2", "/dev/ttyACM0", "COM12".
  std::string path;   // Its node: what is opened.
  std::string location;
  std::string serialNumber;
  std::optional<int> version;
  bool openable = true;  // Whether this user may open its node now.
};

// Where the watcher learns what is present: the system (systemUnits()), or a test's bench.
class UnitSource {
 public:
  virtual ~UnitSource() = default;
  // The units present now, each key once. False when they cannot be listed now (the previous look
  // then stands: nothing appears or leaves).
  virtual bool present(std::vector<PresentUnit>* units) = 0;
};

// The system's units for `targets`: the USB boot loaders that the HID backend lists (by identity,
// and as a USB target admits them) and the serial nodes matching the serial targets.
std::unique_ptr<UnitSource> systemUnits(HidApi& hid, std::vector<WatchTarget> targets);

class DeviceWatcher {
 public:
  DeviceWatcher(UnitSource& source, Clock& clock);

  struct Change {
    bool appeared = false;  // Else it left.
    PresentUnit unit;
  };

  // One look at what is present: the units that appeared since the last look (present and
  // openable, or present for kSettleMs), in the order listed, and those that appeared before and
  // have gone. A unit whose node changed between two looks (unplugged and another plugged into the
  // same port meanwhile) leaves and appears again.
  std::vector<Change> poll();

 private:
  struct Seen {
    PresentUnit unit;
    uint32_t since = 0;  // When it was first seen.
    bool appeared = false;
  };
  UnitSource& source_;
  Clock& clock_;
  std::map<std::string, Seen> seen_;  // By key.
};

}  // namespace kestrel
