// kestrel-flash --watch as a process: the real binary watching for units that come and go. A unit
// "appears" when its simulator starts: USB boot loaders in processes of their own, served through
// the tests' hidapi stand-in, and serial boot loaders on pseudo-terminals linked into the test's
// folder. What each unit got, the station's events, its exit code and its log are checked.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/sha256.h"
#include "sim/elf_builder.h"
#include "sim/serial_boot_sim.h"
#include "support/child_process.h"
#include "support/json_lines.h"
#include "support/simulated_usb.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace kestrel {
namespace {

using Json = nlohmann::json;
using test::jsonLines;

// A station's units are updated one after another as they come: more than the patience for what
// should happen at once.
constexpr std::chrono::milliseconds kStationPatience{60000};

// A running station, read event by event.
class Station {
 public:
  Station(std::vector<std::string> args, std::vector<std::string> env)
      : process_(withBinary(std::move(args)), std::move(env)) {}

  // Waits for its next event for which `wanted` holds, passing over others (kept for seen()).
  ::testing::AssertionResult next(const std::function<bool(const Json&)>& wanted,
                                  const std::string& what, Json* event = nullptr) {
    const auto until = std::chrono::steady_clock::now() + kStationPatience;
    std::string line;
    while (process_.nextLine(&line, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        until - std::chrono::steady_clock::now()))) {
      Json e = Json::parse(line, nullptr, false);
      seen_ += line + "\n";
      if (e.is_object() && wanted(e)) {
        if (event) *event = e;
        return ::testing::AssertionSuccess();
      }
    }
    return ::testing::AssertionFailure() << "waited for " << what << " in vain; it said:\n"
                                         << seen_;
  }
  ::testing::AssertionResult next(const std::string& name, const std::string& device = "",
                                  Json* event = nullptr) {
    return next(
        [&](const Json& e) {
          return e.value("event", "") == name && (device.empty() || e.value("device", "") == device);
        },
        "the event \"" + name + "\"" + (device.empty() ? "" : " of " + device), event);
  }

  // Waits for one event of each (name, device) in `wanted`, in whatever order they come.
  ::testing::AssertionResult each(std::vector<std::pair<std::string, std::string>> wanted) {
    std::string what;
    for (const auto& [name, device] : wanted) what += " \"" + name + "\" of " + device;
    return next(
        [&](const Json& e) {
          std::erase(wanted, std::make_pair(e.value("event", ""), e.value("device", "")));
          return wanted.empty();
        },
        "the events" + what);
  }

  void signal(int number) { process_.signal(number); }

  // Its end, with every event it wrote (those already read first).
  std::optional<test::Ended> finish() {
    std::optional<test::Ended> ended = process_.finish(kStationPatience);
    if (ended) ended->out = seen_ + ended->out;
    return ended;
  }

 private:
  static std::vector<std::string> withBinary(std::vector<std::string> args) {
    args.insert(args.begin(), KESTREL_FLASH_BINARY);
    return args;
  }
  test::ChildProcess process_;
  std::string seen_;
};

class StationProcess : public ::testing::Test {
 protected:
  StationProcess() : usb(dir.path() / "machine") {
    std::filesystem::create_directory(dir.path() / "lock");
    std::filesystem::create_directory(dir.path() / "tmp");
    std::filesystem::create_directory(dir.path() / "ports");
  }

  void firmware(size_t bytes) {
    image = sim::patternBytes(bytes, 53);
    test::writeFile("fw.out", sim::ElfBuilder().add(0, image).build());
    flashed = image;
    flashed.resize((image.size() + 2047) / 2048 * 2048, 0);
  }

  std::vector<std::string> environment() {
    std::map<std::string, std::optional<std::string>> env = usb.environment();
    env["KESTREL_LOCK_DIR"] = (dir.path() / "lock").string();
    env["TMPDIR"] = (dir.path() / "tmp").string();
    return test::environmentWith(env);
  }

  // A USB boot loader at `location`, which writes what it is sent into a file of its own.
  test::SimulatedBootLoader& plug(const std::string& location, const std::string& serial,
                                  int plugIn, std::vector<std::string> more = {}) {
    std::vector<std::string> options = {
        "--location", location, "--serial", serial, "--image", flashFile(location, plugIn)};
    options.insert(options.end(), more.begin(), more.end());
    return usb.plug(options);
  }
  std::string flashFile(const std::string& location, int plugIn) {
    return (dir.path() / ("flash-" + location + "-" + std::to_string(plugIn))).string();
  }
  void expectFlashed(test::SimulatedBootLoader& b, const std::string& location, int plugIn) {
    Json got;
    ASSERT_TRUE(b.next("image", &got, kStationPatience));
    EXPECT_EQ(got["sha256"], sha256Hex(flashed.data(), flashed.size()));
    EXPECT_EQ(test::readFile(flashFile(location, plugIn)), flashed);
  }
  std::vector<Json> log() {
    std::vector<uint8_t> bytes = test::readFile(dir.path() / "units.jsonl");
    return jsonLines(std::string(bytes.begin(), bytes.end()));
  }

  test::TempDir dir;
  test::SimulatedUsb usb;
  std::vector<uint8_t> image, flashed;
};

// Two boot loaders, then a third; the third is unplugged during its update, which is reported, and
// flashed again when it comes back. The others stay and are not flashed again.
TEST_F(StationProcess, FlashesEachBootLoaderOncePerPlugInAndAgainOnlyAfterItCameBack) {
  firmware(9000);
  Station station({"--watch", "--json", "--port", "usb:*", "--log", "units.jsonl", "fw.out"},
                  environment());
  ASSERT_TRUE(station.next("watching"));

  test::SimulatedBootLoader& a = plug("1-3.1", "A1", 1);
  test::SimulatedBootLoader& b = plug("1-3.2", "B2", 1);
  expectFlashed(a, "1-3.1", 1);
  expectFlashed(b, "1-3.2", 1);
  ASSERT_TRUE(station.each({{"attempt", "usb:1-3.1"}, {"attempt", "usb:1-3.2"}}));

  test::SimulatedBootLoader& c = plug("1-3.3", "C3", 1, {"--paced", "--unplug-at", "200"});
  ASSERT_TRUE(station.next("appeared", "usb:1-3.3"));
  ASSERT_TRUE(c.next("unplugged", nullptr, kStationPatience));
  // The station sees it go, and its update ends as gone, in either order.
  ASSERT_TRUE(station.each({{"attempt", "usb:1-3.3"}, {"left", "usb:1-3.3"}}));

  test::SimulatedBootLoader& back = plug("1-3.3", "C3", 2);
  ASSERT_TRUE(station.next("appeared", "usb:1-3.3"));
  expectFlashed(back, "1-3.3", 2);
  Json again;
  ASSERT_TRUE(station.next("attempt", "usb:1-3.3", &again));
  EXPECT_EQ(again["exit_code"], 0) << again;
  ASSERT_TRUE(station.next(
      [](const Json& e) { return e.value("event", "") == "counts" && e["running"] == 0; },
      "the counts with nothing running"));

  station.signal(SIGINT);
  std::optional<test::Ended> ended = station.finish();
  ASSERT_TRUE(ended) << "the station did not end after the request";
  // One appearance was not updated.
  EXPECT_EQ(ended->exitCode, 8) << test::describe(*ended);
  std::vector<Json> events = jsonLines(ended->out);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.back()["event"], "end");
  EXPECT_EQ(events.back()["exit_code"], 8);
  const Json& summary = events[events.size() - 2];
  EXPECT_EQ(summary["event"], "summary") << ended->out;
  EXPECT_EQ(summary["devices"], 4);
  EXPECT_EQ(summary["succeeded"], 3);
  int stopping = 0;
  for (const Json& e : events) stopping += e["event"] == "stopping";
  EXPECT_EQ(stopping, 1) << ended->out;

  // Each plug-in once, in the order they ended.
  std::vector<Json> lines = log();
  ASSERT_EQ(lines.size(), 4u);
  std::map<std::string, int> updated;
  for (const Json& l : lines) {
    SCOPED_TRACE(l.dump());
    EXPECT_EQ(l["sha256"], sha256Hex(image.data(), image.size()));
    if (l["result"] == "ok") ++updated[l["location"]];
  }
  EXPECT_EQ(updated, (std::map<std::string, int>{{"1-3.1", 1}, {"1-3.2", 1}, {"1-3.3", 1}}));
  EXPECT_EQ(lines[2]["location"], "1-3.3");
  EXPECT_EQ(lines[2]["exit_code"], 7);
  EXPECT_EQ(lines[2]["device_got"], "incomplete");
  EXPECT_EQ(lines[2]["serial_number"], "C3");
  for (test::SimulatedBootLoader* stayed : {&a, &b, &back}) {
    Json end = stayed->stop();
    EXPECT_EQ(end["downloads"], 1) << "a unit that stays is not flashed again";
    EXPECT_EQ(end["violations"], Json::array());
  }
}

// Serial units linked into a folder as they come, matched by a pattern. The first request takes no
// new units and lets the updates under way go on; the second interrupts them.
TEST_F(StationProcess, SerialUnitsAppearingInAFolderAreFlashedAndTwoRequestsEndTheStation) {
  // Long enough at the line's pace for both requests to come during the downloads.
  firmware(120000);
  const std::filesystem::path ports = dir.path() / "ports";
  Station station({"--watch", "--json", "--port", (ports / "unit-*").string(), "--log",
                   "units.jsonl", "fw.out"},
                  environment());
  ASSERT_TRUE(station.next("watching"));
  sim::SerialFaults paced;
  paced.paced = true;
  std::map<std::string, std::unique_ptr<sim::SerialBootSim>> sims;
  for (const char* name : {"unit-1", "unit-2"}) {
    sims[name] = std::make_unique<sim::SerialBootSim>(paced);
    sims[name]->linkAs(ports.string(), name);
  }
  // Both downloads under way, in whatever order; each unit's process in a group of its own, so
  // that a Ctrl+C on the station's terminal reaches the station alone, which decides what the
  // updates under way are told.
  std::map<std::string, int> pids;
  std::set<std::string> underWay;
  ASSERT_TRUE(station.next(
      [&](const Json& e) {
        const std::string device = e.value("device", "");
        if (e.value("event", "") == "attempt_start") pids[device] = e.value("pid", 0);
        if (e.value("event", "") == "progress" && e.value("percent", 0) > 0) {
          underWay.insert(device);
        }
        return underWay.size() == 2;
      },
      "both downloads under way"));
  ASSERT_EQ(pids.size(), 2u);
  for (const auto& [device, pid] : pids) {
    ASSERT_GT(pid, 0) << device;
    EXPECT_EQ(::getpgid(pid), pid) << device;
  }

  station.signal(SIGINT);
  ASSERT_TRUE(station.next("stopping"));
  // Taken no more: a unit that comes now is not flashed.
  sim::SerialBootSim late(paced);
  late.linkAs(ports.string(), "unit-3");
  station.signal(SIGINT);
  Json interrupting;
  ASSERT_TRUE(station.next("interrupting", "", &interrupting));
  EXPECT_NE(interrupting.value("text", "").find("no working firmware"), std::string::npos)
      << interrupting;
  std::optional<test::Ended> ended = station.finish();
  ASSERT_TRUE(ended) << "the station did not end after the second request";
  EXPECT_EQ(ended->exitCode, 130) << test::describe(*ended);

  std::vector<Json> lines = log();
  ASSERT_EQ(lines.size(), 2u);
  for (const Json& l : lines) {
    SCOPED_TRACE(l.dump());
    EXPECT_EQ(l["exit_code"], 130);
    EXPECT_EQ(l["cause"], "interrupted");
    EXPECT_EQ(l["device_got"], "incomplete");
  }
  EXPECT_EQ(late.receivedCount(), 0u);
  for (const Json& e : jsonLines(ended->out)) {
    EXPECT_NE(e.value("device", ""), (ports / "unit-3").string()) << e;
  }
}

}  // namespace
}  // namespace kestrel
