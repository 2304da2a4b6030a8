#include "cli/device_watcher.h"

#include <algorithm>
#include <memory>
#include <set>

#include "platform/backends.h"
#include "platform/device_presence.h"
#include "platform_api/clock.h"
#include "platform_api/hid_device.h"

namespace kestrel {
namespace {

class SystemUnits final : public UnitSource {
 public:
  SystemUnits(HidApi& hid, std::vector<WatchTarget> targets)
      : hid_(hid), targets_(std::move(targets)) {}

  bool present(std::vector<PresentUnit>* units) override {
    units->clear();
    std::set<std::string> keys;
    auto add = [&](PresentUnit unit) {
      if (keys.insert(unit.key).second) units->push_back(std::move(unit));
    };
    const bool usb = std::any_of(targets_.begin(), targets_.end(), [](const WatchTarget& t) {
      return t.kind == WatchTarget::Kind::Usb;
    });
    if (usb) {
      std::vector<HidInterfaceInfo> interfaces;
      if (!hid_.enumerate(&interfaces)) return false;
      std::erase_if(interfaces, [](const HidInterfaceInfo& i) { return !isBootLoader(i.attributes); });
      for (const HidInterfaceInfo& info : interfaces) {
        if (!admitted(info)) continue;
        // By its port where no other boot loader present is on the same one, else by its node.
        const bool located =
            !info.location.empty() &&
            std::count_if(interfaces.begin(), interfaces.end(), [&](const HidInterfaceInfo& o) {
              return o.location == info.location;
            }) == 1;
        const HidSelection by = located ? HidSelection{HidSelection::By::Location, info.location}
                                        : HidSelection{HidSelection::By::Path, info.path};
        PresentUnit unit;
        unit.key = by.portText();
        unit.label = by.portText();
        unit.path = info.path;
        unit.location = info.location;
        unit.serialNumber = info.serialNumber;
        unit.version = int(info.attributes.version);
        unit.openable = nodeOpenable(info.path);
        add(std::move(unit));
      }
    }
    for (const WatchTarget& t : targets_) {
      if (t.kind != WatchTarget::Kind::Serial) continue;
      for (const std::string& node : serialNodesMatching(t.pattern)) {
        PresentUnit unit;
        unit.key = node;
        unit.label = node;
        unit.path = serialDevicePathFor(node);
        unit.location = unit.path;
        unit.openable = nodeOpenable(unit.path);
        add(std::move(unit));
      }
    }
    return true;
  }

 private:
  bool admitted(const HidInterfaceInfo& info) const {
    return std::any_of(targets_.begin(), targets_.end(), [&](const WatchTarget& t) {
      return t.kind == WatchTarget::Kind::Usb && (t.everyUsb || t.usb.admits(info));
    });
  }

  HidApi& hid_;
  const std::vector<WatchTarget> targets_;
};

}  // namespace

bool parseWatchTargets(const std::vector<std::string>& ports, std::vector<WatchTarget>* targets,
                       std::string* error) {
  std::vector<WatchTarget> out;
  for (const std::string& port : ports) {
    UsbPort usb;
    switch (parseUsbPort(port, &usb, error)) {
      case UsbPortParse::Invalid:
        return false;
      case UsbPortParse::Ok:
        if (!usb.every && usb.selection.by == HidSelection::By::First) {
          *error =
              "--watch needs the units to wait for: --port usb takes the first boot loader found "
              "and names none; use --port 'usb:*' or usb:LOCATION";
          return false;
        }
        out.emplace_back();
        out.back().kind = WatchTarget::Kind::Usb;
        out.back().everyUsb = usb.every;
        out.back().usb = usb.selection;
        continue;
      case UsbPortParse::NotUsb:
        break;
    }
    if (!isSerialNodePattern(port)) {
      *error = "--watch takes --port 'usb:*', usb:LOCATION, usb:serial=SN or serial devices by "
#ifdef _WIN32
               "a pattern of their names ('COM1?', 'COM*')"
#else
               "a pattern of their paths ('/dev/ttyACM*', '/dev/serial/by-path/*')"
#endif
               ", not '" +
               port + "'";
      return false;
    }
    out.emplace_back();
    out.back().kind = WatchTarget::Kind::Serial;
    out.back().pattern = port;
  }
  *targets = std::move(out);
  return true;
}

std::unique_ptr<UnitSource> systemUnits(HidApi& hid, std::vector<WatchTarget> targets) {
  return std::make_unique<SystemUnits>(hid, std::move(targets));
}

DeviceWatcher::DeviceWatcher(UnitSource& source, Clock& clock) : source_(source), clock_(clock) {}

std::vector<DeviceWatcher::Change> DeviceWatcher::poll() {
  std::vector<Change> changes;
  std::vector<PresentUnit> units;
  if (!source_.present(&units)) return changes;
  const uint32_t now = clock_.tickCount();
  std::set<std::string> present;
  for (PresentUnit& unit : units) {
    present.insert(unit.key);
    auto it = seen_.find(unit.key);
    if (it != seen_.end() && it->second.unit.path != unit.path) {
      // Another unit in the same slot since the last look.
      if (it->second.appeared) changes.push_back({false, it->second.unit});
      seen_.erase(it);
      it = seen_.end();
    }
    if (it == seen_.end()) it = seen_.emplace(unit.key, Seen{unit, now, false}).first;
    Seen& seen = it->second;
    seen.unit = unit;
    if (!seen.appeared && (unit.openable || limitPassed(seen.since, now, kSettleMs - 1))) {
      seen.appeared = true;
      changes.push_back({true, unit});
    }
  }
  for (auto it = seen_.begin(); it != seen_.end();) {
    if (present.count(it->first)) {
      ++it;
      continue;
    }
    if (it->second.appeared) changes.push_back({false, it->second.unit});
    it = seen_.erase(it);
  }
  return changes;
}

}  // namespace kestrel
