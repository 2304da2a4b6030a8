// kestrel-flash as a process against USB boot loaders in processes of their own: the real binary
// and its real HID backend, with the tests' hidapi stand-in in place of the library, so that the
// selection of one boot loader among several, the claim that keeps two runs apart and --list are
// seen as a user sees them, and the bytes each device got are checked.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/sha256.h"
#include "sim/elf_builder.h"
#include "support/child_process.h"
#include "support/simulated_usb.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace kestrel {
namespace {

using Json = nlohmann::json;

class UsbProcess : public ::testing::Test {
 protected:
  UsbProcess() : usb(dir.path() / "machine") {
    image = sim::patternBytes(9000, 29);
    test::writeFile("fw.out", sim::ElfBuilder().add(0, image).build());
    // The flash a boot loader holds after the download: the image in whole blocks.
    flashed = image;
    flashed.resize((image.size() + 2047) / 2048 * 2048, 0);
  }

  test::ChildProcess start(std::vector<std::string> args) {
    args.insert(args.begin(), KESTREL_FLASH_BINARY);
    return test::ChildProcess(args, test::environmentWith(usb.environment()));
  }
  test::Ended run(std::vector<std::string> args) {
    test::ChildProcess flash = start(std::move(args));
    std::optional<test::Ended> ended = flash.finish(test::kPatience);
    EXPECT_TRUE(ended) << "kestrel-flash did not end within " << test::kPatience.count() << " ms";
    return ended.value_or(test::Ended{});
  }
  // A boot loader at `location` with `serial`, which writes what it is sent into a file.
  test::SimulatedBootLoader& plug(const std::string& location, const std::string& serial,
                                  std::vector<std::string> more = {}) {
    std::vector<std::string> options = {
        "--location", location,  "--serial",
        serial,       "--image", (dir.path() / ("flash-" + location)).string()};
    options.insert(options.end(), more.begin(), more.end());
    return usb.plug(options);
  }
  // The boot loader got this run's image, whole and nothing else.
  void expectFlashed(test::SimulatedBootLoader& b) {
    Json got;
    ASSERT_TRUE(b.next("image", &got));
    EXPECT_EQ(got["sha256"], sha256Hex(flashed.data(), flashed.size()));
    EXPECT_EQ(test::readFile(dir.path() / ("flash-" + b.ready["location"].get<std::string>())),
              flashed);
  }
  // The boot loader was never opened, let alone sent anything.
  void expectUntouched(test::SimulatedBootLoader& b) {
    Json end = b.stop();
    EXPECT_EQ(end["connections"], 0) << b.path();
    EXPECT_EQ(end["reports"], 0) << b.path();
  }

  test::TempDir dir;
  test::SimulatedUsb usb;
  std::vector<uint8_t> image, flashed;
};

TEST_F(UsbProcess, TakesTheBootLoaderSelectedByItsPortOrSerialNumberAndNoOther) {
  test::SimulatedBootLoader& a = plug("1-3.1", "A1");
  test::SimulatedBootLoader& b = plug("1-3.2", "B2");
  test::SimulatedBootLoader& c = plug("1-3.3", "C3");

  test::Ended r = run({"--port", "usb:1-3.2", "fw.out"});
  EXPECT_EQ(r.exitCode, 0) << test::describe(r);
  EXPECT_NE(r.out.find("download finished: fw.out (9000 bytes, 5 blocks) on usb:1-3.2"),
            std::string::npos)
      << r.out;
  expectFlashed(b);

  r = run({"--port=usb:serial=C3", "--quiet", "fw.out"});
  EXPECT_EQ(r.exitCode, 0) << test::describe(r);
  EXPECT_EQ(r.out, "");
  expectFlashed(c);

  expectUntouched(a);
  for (test::SimulatedBootLoader* done : {&b, &c}) {
    Json end = done->stop();
    EXPECT_EQ(end["downloads"], 1);
    EXPECT_EQ(end["violations"], Json::array());
  }
}

TEST_F(UsbProcess, ASelectionThatNamesNoSingleBootLoaderIsRefusedUntouched) {
  test::SimulatedBootLoader& a = plug("1-3.1", "DUP");
  test::SimulatedBootLoader& b = plug("1-3.2", "DUP");
  test::SimulatedBootLoader& c = plug("1-3.3", "C3", {"--version", "0x0101"});
  struct Row {
    std::string port;
    std::string message;
    int code;
  };
  const Row rows[] = {
      {"usb:serial=DUP",
       "kestrel-flash: more than one USB boot loader has the serial number DUP: choose one by its "
       "port with --port usb:LOCATION (--list shows them)",
       4},
      {"usb:serial=ZZ",
       "kestrel-flash: the USB boot loader with serial number ZZ is not present: put the device "
       "in USB boot mode (--list shows the boot loaders present)",
       4},
      {"usb:9-9",
       "kestrel-flash: the USB boot loader at 9-9 is not present: put the device in USB boot mode "
       "(--list shows the boot loaders present)",
       4},
      // Another version is no boot loader of ours.
      {"usb:1-3.3",
       "kestrel-flash: the USB boot loader at 1-3.3 is not present: put the device in USB boot "
       "mode (--list shows the boot loaders present)",
       4},
      {"usb:", "kestrel-flash: --port usb: needs a location, serial=SN or * after the colon", 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.port);
    test::Ended r = run({"--port", row.port, "fw.out"});
    EXPECT_EQ(r.exitCode, row.code) << test::describe(r);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), row.message) << r.err;
  }
  // --json says why as data.
  test::Ended r = run({"--json", "--port", "usb:serial=DUP", "fw.out"});
  EXPECT_NE(r.out.find(R"("result":"failed","exit_code":4,)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(R"("cause":"duplicate_serial")"), std::string::npos) << r.out;
  for (test::SimulatedBootLoader* untouched : {&a, &b, &c}) expectUntouched(*untouched);
}

// usb:* with one boot loader present is that one; it takes no other that is not a boot loader.
TEST_F(UsbProcess, EveryBootLoaderPresentIsTheOneThereIs) {
  test::SimulatedBootLoader& other = plug("1-3.1", "OLD", {"--version", "0x0101"});
  test::SimulatedBootLoader& b = plug("1-3.2", "B2");
  test::Ended r = run({"--port", "usb:*", "fw.out"});
  EXPECT_EQ(r.exitCode, 0) << test::describe(r);
  expectFlashed(b);
  expectUntouched(other);
}

// usb:* with several boot loaders present is a batch of them all, each updated by a process of its
// own; one that another run holds is reported busy and never opened, and the others go on.
TEST_F(UsbProcess, EveryBootLoaderPresentIsUpdatedAndABusyOneIsReportedNotTaken) {
  test::SimulatedBootLoader& a = plug("1-3.1", "A1");
  test::SimulatedBootLoader& b = plug("1-3.2", "B2");
  test::SimulatedBootLoader& c = plug("1-3.3", "C3");
  test::SimulatedBootLoader& busy = plug("2-1", "D4");
  int held = ::open(busy.path().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  test::ChildProcess flash = start({"--json", "--port", "usb:*", "--log", "units.jsonl", "fw.out"});
  std::optional<test::Ended> r = flash.finish(std::chrono::milliseconds(60000));
  ::close(held);
  ASSERT_TRUE(r) << "the batch did not end";
  EXPECT_EQ(r->exitCode, 8) << test::describe(*r);
  for (test::SimulatedBootLoader* done : {&a, &b, &c}) expectFlashed(*done);
  Json summary;
  std::istringstream lines(r->out);
  for (std::string line; std::getline(lines, line);) {
    Json e = Json::parse(line, nullptr, false);
    if (e.is_object() && e["event"] == "summary") summary = e;
  }
  ASSERT_EQ(summary["devices"], 4) << r->out;
  for (const Json& result : summary["results"]) {
    SCOPED_TRACE(result.dump());
    const bool isBusy = result["device"] == "usb:2-1";
    EXPECT_EQ(result["exit_code"], isBusy ? 4 : 0);
    EXPECT_EQ(result["serial_number"], isBusy                          ? "D4"
                                       : result["location"] == "1-3.1" ? "A1"
                                       : result["location"] == "1-3.2" ? "B2"
                                                                       : "C3");
    if (isBusy) {
      EXPECT_EQ(result["reason"], "the USB boot loader at 2-1 is busy: in use by another program");
    }
  }
  std::ifstream log("units.jsonl");
  int records = 0;
  for (std::string line; std::getline(log, line); ++records) {
    EXPECT_TRUE(Json::parse(line, nullptr, false).is_object()) << line;
  }
  EXPECT_EQ(records, 4);
  expectUntouched(busy);
}

TEST_F(UsbProcess, ASecondRunOnTheSameBootLoaderIsRefusedAsBusyAndTheFirstCompletes) {
  test::SimulatedBootLoader& b = plug("1-3.2", "B2", {"--paced"});
  test::ChildProcess first = start({"--port", "usb:1-3.2", "fw.out"});
  ASSERT_TRUE(b.next("started"));
  // The first run holds its claim from before it opens the device until it has closed it.
  for (const char* port : {"usb:1-3.2", "usb:serial=B2", "usb"}) {
    SCOPED_TRACE(port);
    test::Ended second = run({"--port", port, "fw.out"});
    EXPECT_EQ(second.exitCode, 4) << test::describe(second);
    EXPECT_NE(second.err.find(" is busy: in use by another program"), std::string::npos)
        << second.err;
  }
  std::optional<test::Ended> ended = first.finish(test::kPatience);
  ASSERT_TRUE(ended) << "the first run did not end";
  EXPECT_EQ(ended->exitCode, 0) << test::describe(*ended);
  expectFlashed(b);
  Json end = b.stop();
  EXPECT_EQ(end["connections"], 2) << "only the first run opened it, read and write handle";
  EXPECT_EQ(end["downloads"], 1);
  EXPECT_EQ(end["violations"], Json::array());
}

TEST_F(UsbProcess, ListShowsWhereEachBootLoaderIsItsSerialNumberAndWhetherItIsBusy) {
  test::SimulatedBootLoader& a = plug("1-3.1", "DUP");
  test::SimulatedBootLoader& b = plug("1-3.2", "DUP");
  test::SimulatedBootLoader& c = plug("2-1", "C3");
  // Another program holds a claim on the third, as a run does.
  int held = ::open(c.path().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  test::Ended r = run({"--list"});
  EXPECT_EQ(r.exitCode, 0) << test::describe(r);
  const std::string rows[] = {
      "  1-3.1 +DUP \\(shared\\) +0x0100 +" + a.path() + " +free",
      "  1-3.2 +DUP \\(shared\\) +0x0100 +" + b.path() + " +free",
      "  2-1 +C3 +0x0100 +" + c.path() + " +busy: in use by another program",
  };
  for (const std::string& row : rows) {
    EXPECT_TRUE(std::regex_search(r.out, std::regex(row))) << row << "\n" << r.out;
  }

  r = run({"--list", "--json"});
  EXPECT_EQ(r.exitCode, 0) << test::describe(r);
  Json devices;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    Json e = Json::parse(line, nullptr, false);
    if (e.is_object() && e["event"] == "usb") devices = e["devices"];
  }
  ASSERT_EQ(devices.size(), 3u) << r.out;
  struct Expected {
    std::string path, location, serial;
    bool shared, busy;
  };
  const Expected expected[] = {{a.path(), "1-3.1", "DUP", true, false},
                               {b.path(), "1-3.2", "DUP", true, false},
                               {c.path(), "2-1", "C3", false, true}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(expected[i].path);
    EXPECT_EQ(devices[i]["path"], expected[i].path);
    EXPECT_EQ(devices[i]["location"], expected[i].location);
    EXPECT_EQ(devices[i]["serial_number"], expected[i].serial);
    EXPECT_EQ(devices[i]["serial_number_shared"], expected[i].shared);
    EXPECT_EQ(devices[i]["busy"], expected[i].busy);
    EXPECT_EQ(devices[i]["version"], 0x0100);
    EXPECT_EQ(devices[i]["state"], "boot_loader");
  }
  // Listing opened nothing, and left the claim where it was.
  EXPECT_EQ(::flock(::open(c.path().c_str(), O_RDONLY | O_CLOEXEC), LOCK_EX | LOCK_NB), -1);
  ::close(held);
  for (test::SimulatedBootLoader* untouched : {&a, &b, &c}) expectUntouched(*untouched);
}

TEST_F(UsbProcess, ABootLoaderUnpluggedDuringTheUpdateEndsItAsGone) {
  test::SimulatedBootLoader& b = plug("1-3.2", "B2", {"--unplug-at", "100"});
  test::Ended r = run({"--port", "usb:1-3.2", "fw.out"});
  EXPECT_EQ(r.exitCode, 7) << test::describe(r);
  EXPECT_NE(r.err.find("the device went away during the update"), std::string::npos) << r.err;
  ASSERT_TRUE(b.next("unplugged"));
  EXPECT_FALSE(std::filesystem::exists(b.path())) << "an unplugged device is not listed";
  // It is no longer there to be selected.
  r = run({"--port", "usb:1-3.2", "fw.out"});
  EXPECT_EQ(r.exitCode, 4) << test::describe(r);
}

}  // namespace
}  // namespace kestrel
