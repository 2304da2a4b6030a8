// The station's watcher over a bench of units that the test plugs in and out, in simulated time:
// each unit appears once per plug-in, leaves when it has gone, and one whose node cannot be opened
// yet is waited for.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "cli/device_watcher.h"
#include "support/test_clock.h"

namespace kestrel {
namespace {

// The units on the bench, as the system would list them.
class Bench final : public UnitSource {
 public:
  void plug(const std::string& key, const std::string& path, bool openable = true) {
    PresentUnit unit;
    unit.key = key;
    unit.label = key;
    unit.path = path;
    unit.openable = openable;
    units_[key] = unit;
  }
  void unplug(const std::string& key) { units_.erase(key); }
  void makeOpenable(const std::string& key) { units_[key].openable = true; }
  bool listable = true;

  bool present(std::vector<PresentUnit>* units) override {
    units->clear();
    if (!listable) return false;
    for (const auto& [key, unit] : units_) units->push_back(unit);
    return true;
  }

 private:
  std::map<std::string, PresentUnit> units_;
};

// The changes of one look, as "+KEY" for one that appeared and "-KEY" for one that left.
std::vector<std::string> look(DeviceWatcher& watcher) {
  std::vector<std::string> out;
  for (const DeviceWatcher::Change& c : watcher.poll()) {
    out.push_back((c.appeared ? "+" : "-") + c.unit.key);
  }
  return out;
}

using Changes = std::vector<std::string>;

TEST(DeviceWatcher, EachUnitAppearsOncePerPlugInAndLeavesWhenItHasGone) {
  test::ManualClock clock;
  Bench bench;
  DeviceWatcher watcher(bench, clock);
  EXPECT_EQ(look(watcher), Changes{});

  bench.plug("usb:1-3.1", "/dev/hidraw1");
  bench.plug("usb:1-3.2", "/dev/hidraw2");
  EXPECT_EQ(look(watcher), (Changes{"+usb:1-3.1", "+usb:1-3.2"}));
  // Staying is no new appearance, however long.
  for (int i = 0; i < 20; ++i) {
    clock.sleepMs(kWatchPollMs);
    EXPECT_EQ(look(watcher), Changes{});
  }
  // A look that cannot list the units changes nothing: no unit leaves for it.
  bench.listable = false;
  EXPECT_EQ(look(watcher), Changes{});
  bench.listable = true;
  EXPECT_EQ(look(watcher), Changes{});

  bench.unplug("usb:1-3.1");
  EXPECT_EQ(look(watcher), Changes{"-usb:1-3.1"});
  EXPECT_EQ(look(watcher), Changes{});
  bench.plug("usb:1-3.1", "/dev/hidraw3");
  EXPECT_EQ(look(watcher), Changes{"+usb:1-3.1"});

  // Unplugged and another unit plugged into the same port between two looks: its node differs.
  bench.plug("usb:1-3.2", "/dev/hidraw4");
  EXPECT_EQ(look(watcher), (Changes{"-usb:1-3.2", "+usb:1-3.2"}));
}

TEST(DeviceWatcher, AUnitNotYetOpenableAppearsWhenItIsOrWhenTheSettleTimeHasPassed) {
  test::ManualClock clock;
  Bench bench;
  DeviceWatcher watcher(bench, clock);

  // Made openable a moment later, as udev gives a new node its group.
  bench.plug("/dev/ttyACM0", "/dev/ttyACM0", false);
  EXPECT_EQ(look(watcher), Changes{});
  clock.sleepMs(kWatchPollMs);
  EXPECT_EQ(look(watcher), Changes{});
  bench.makeOpenable("/dev/ttyACM0");
  EXPECT_EQ(look(watcher), Changes{"+/dev/ttyACM0"});

  // Never openable: taken once the settle time has passed, so that its update says why.
  bench.plug("/dev/ttyACM1", "/dev/ttyACM1", false);
  EXPECT_EQ(look(watcher), Changes{});
  clock.sleepMs(kSettleMs - 1);
  EXPECT_EQ(look(watcher), Changes{});
  clock.sleepMs(1);
  EXPECT_EQ(look(watcher), Changes{"+/dev/ttyACM1"});
  EXPECT_EQ(look(watcher), Changes{});

  // One gone before it ever appeared leaves nothing to report, and starts afresh when it comes.
  bench.plug("/dev/ttyACM2", "/dev/ttyACM2", false);
  EXPECT_EQ(look(watcher), Changes{});
  bench.unplug("/dev/ttyACM2");
  EXPECT_EQ(look(watcher), Changes{});
  clock.sleepMs(kSettleMs);
  bench.plug("/dev/ttyACM2", "/dev/ttyACM2", false);
  EXPECT_EQ(look(watcher), Changes{});
}

TEST(DeviceWatcher, TargetsAreUsbSelectorsOrSerialPatternsAndUsbAloneIsRefused) {
#ifdef _WIN32
  const std::string pattern = "COM1?";
  const std::string patterns = "a pattern of their names ('COM1?', 'COM*')";
#else
  const std::string pattern = "/dev/ttyACM*";
  const std::string patterns = "a pattern of their paths ('/dev/ttyACM*', '/dev/serial/by-path/*')";
#endif
  std::vector<WatchTarget> targets;
  std::string error;
  ASSERT_TRUE(
      parseWatchTargets({"usb:*", "usb:1-3.2", "usb:serial=A1", pattern}, &targets, &error))
      << error;
  ASSERT_EQ(targets.size(), 4u);
  EXPECT_EQ(targets[0].kind, WatchTarget::Kind::Usb);
  EXPECT_TRUE(targets[0].everyUsb);
  EXPECT_EQ(targets[1].usb.by, HidSelection::By::Location);
  EXPECT_EQ(targets[1].usb.value, "1-3.2");
  EXPECT_EQ(targets[2].usb.by, HidSelection::By::SerialNumber);
  EXPECT_EQ(targets[3].kind, WatchTarget::Kind::Serial);
  EXPECT_EQ(targets[3].pattern, pattern);

  struct Row {
    std::string port, error;
  };
  const Row refused[] = {
      {"usb",
       "--watch needs the units to wait for: --port usb takes the first boot loader found and "
       "names none; use --port 'usb:*' or usb:LOCATION"},
      {"usb:", "--port usb: needs a location, serial=SN or * after the colon"},
      {"ttyS0",
       "--watch takes --port 'usb:*', usb:LOCATION, usb:serial=SN or serial devices by " +
           patterns + ", not 'ttyS0'"},
  };
  for (const Row& row : refused) {
    SCOPED_TRACE(row.port);
    targets.clear();
    EXPECT_FALSE(parseWatchTargets({"usb:*", row.port}, &targets, &error));
    EXPECT_EQ(error, row.error);
    EXPECT_TRUE(targets.empty()) << "nothing is taken from a refused list";
  }
}

}  // namespace
}  // namespace kestrel
