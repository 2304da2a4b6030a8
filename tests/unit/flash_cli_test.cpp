// kestrel-flash against both simulators, in-process: the serial boot loader mostly on ports inside
// the process in simulated time, and on a pseudo-terminal where a device path is the point.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/inotify.h>
#endif

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "cli/console_window.h"
#include "cli/flash_command.h"
#include "cli/output_sink.h"
#include "cli/sha256.h"
#include "sim/elf_builder.h"
#include "sim/hid_boot_sim.h"
#ifdef _WIN32
#include <windows.h>
#else
#include "sim/serial_boot_sim.h"
#endif
#include "platform/backends.h"
#include "platform/process.h"
#include "platform_api/serial_port.h"
#include "sim/simulated_serial_ports.h"
#include "support/faulty_file_system.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"
#include "support/wait.h"

namespace kestrel {
namespace {

using sim::HidBootSim;
using test::eventually;

#ifndef O_BINARY
#define O_BINARY 0
#endif

// One of the command's outputs, caught in a file of the test's folder.
class Caught {
 public:
  explicit Caught(const std::string& name)
      : path_(name),
        fd_(::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0600)),
        sink_(fd_) {}
  ~Caught() { ::close(fd_); }
  OutputSink& sink() { return sink_; }
  // Everything written so far, once the sink has written it.
  std::string text() {
    EXPECT_TRUE(sink_.flush(test::kPatience)) << "the output was not written";
    auto bytes = test::readFile(path_);
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  std::string path_;
  int fd_;
  OutputSink sink_;
};

class FlashCli : public ::testing::Test {
 protected:
  // Runs kestrel-flash with the simulated ports, or with the platform's real ones.
  int flash(std::vector<std::string> args, bool real = false) {
    Caught out("stdout.txt"), err("stderr.txt");
    FlashEnvironment env{real ? systemClock() : watched,
                         real ? serialBackend() : static_cast<SerialBackend&>(ports),
                         *hid,
                         *files,
                         out.sink(),
                         err.sink(),
                         onTerminal,
                         &interrupt,
                         [this] { return columns; }};
    int code = runFlash(args, env);
    stdoutText = out.text();
    stderrText = err.text();
    return code;
  }
  void firmware(size_t size) {
    image = sim::patternBytes(size, 61);
    test::writeFile("fw.out", sim::ElfBuilder().add(0x0, image).build());
  }
  // A simulated boot loader on COM2 inside the process.
  void serialDevice(sim::SerialFaults faults = {}) { serial = &ports.plug("COM2", faults); }
#ifndef _WIN32
  // A simulated boot loader on a pseudo-terminal, linked as COM2 in the COM folder.
  void serialLine(sim::SerialFaults faults = {}) {
    ::setenv("KESTREL_COM_DIR", dir.path().c_str(), 1);
    line = std::make_unique<sim::SerialBootSim>(faults);
    line->linkAs(dir.path(), "COM2");
  }
  ~FlashCli() override {
    ::unsetenv("KESTREL_COM_DIR");
  }
  std::unique_ptr<sim::SerialBootSim> line;
#endif

  // The last line of stdout as a JSON object.
  nlohmann::json endObject() const {
    std::string last = stdoutText.substr(stdoutText.rfind('\n', stdoutText.size() - 2) + 1);
    return nlohmann::json::parse(last, nullptr, false);
  }

  test::TempDir dir;
  test::ManualClock clock;
  test::WatchedClock watched{clock};   // The command's clock: a test can act at an exact sleep.
  std::atomic<bool> interrupt{false};  // What a signal raises.
  int columns = 0;                     // The terminal's width.
  sim::SimulatedSerialPorts ports{clock};
  std::unique_ptr<HidBootSim> hid = std::make_unique<HidBootSim>(std::vector<sim::HidInterface>{});
  FileSystem* files = &fileSystem();
  sim::SerialBootDevice* serial = nullptr;
  std::vector<uint8_t> image;
  std::string stdoutText, stderrText;
  bool onTerminal = false;
};

TEST_F(FlashCli, FlashesOverASerialPort) {
  firmware(10000);
  serialDevice();
  EXPECT_EQ(flash({"--port", "COM2", "fw.out"}), kExitOk) << stderrText;
  auto flashed = serial->image();
  image.resize(flashed.size(), 0);
  EXPECT_EQ(flashed, image);
  EXPECT_TRUE(serial->restarted());
  EXPECT_NE(stdoutText.find("Search Device...\n Device Found!\nProgressing...\n"),
            std::string::npos)
      << stdoutText;
  EXPECT_NE(stdoutText.find("progress 100%"), std::string::npos);
  // Success is one line, not the boxes and statuses that say the same.
  EXPECT_NE(stdoutText.find(
                "\ndownload finished: fw.out (10000 bytes, 5 blocks) on COM2; image in fw.bin\n"),
            std::string::npos)
      << stdoutText;
  EXPECT_EQ(stdoutText.find("Download Finished!"), std::string::npos) << stdoutText;
  EXPECT_EQ(stderrText, "");

#ifndef _WIN32
  // A device path works as well as a COM name, through termios.
  serialLine();
  EXPECT_EQ(flash({"--port", line->devicePath(), "--quiet", "fw.out"}, true), kExitOk)
      << stderrText;
  EXPECT_EQ(stdoutText, "");
  EXPECT_TRUE(line->waitForRestart(int(test::kPatience.count())));
#endif
}

TEST_F(FlashCli, FlashesOverUsb) {
  firmware(0x40000);
  hid = std::make_unique<HidBootSim>(std::vector<sim::HidInterface>{HidBootSim::bootLoader()});
  EXPECT_EQ(flash({"fw.out"}), kExitOk) << stderrText;
  EXPECT_EQ(hid->image(), image);
}

// One of several boot loaders, by its port or its serial number; or the reason none was taken.
TEST_F(FlashCli, TakesTheUsbBootLoaderSelectedOrSaysWhyNone) {
  firmware(5000);
  auto boot = [](const std::string& path, const std::string& location, const std::string& serial) {
    sim::HidInterface i = HidBootSim::bootLoader(path);
    i.location = location;
    i.serialNumber = serial;
    return i;
  };
  // The simulated boot loader that answers is the one at 1-3.2.
  hid = std::make_unique<HidBootSim>(
      std::vector<sim::HidInterface>{boot("/dev/hidraw-a", "1-3.1", "DUP"),
                                     boot("/dev/hidraw-b", "1-3.2", "DUP"),
                                     boot("/dev/hidraw-c", "1-3.3", "C3")},
      sim::HidFaults{}, "/dev/hidraw-b");
  EXPECT_EQ(flash({"--port", "usb:1-3.2", "fw.out"}), kExitOk) << stderrText;
  auto flashed = hid->image();
  image.resize(flashed.size(), 0);
  EXPECT_EQ(flashed, image);
  EXPECT_NE(stdoutText.find("(5000 bytes, 3 blocks) on usb:1-3.2; image in fw.bin"),
            std::string::npos)
      << stdoutText;
  EXPECT_EQ(hid->openHandlesOn("/dev/hidraw-a") + hid->openHandlesOn("/dev/hidraw-c"), 0);

  bool busy = false;
  std::unique_ptr<HidClaim> elsewhere = hid->claim("/dev/hidraw-b", &busy);
  struct Row {
    std::string port;
    int code;
    std::string reason;
    std::string cause;
  };
  const Row rows[] = {
      {"usb:1-3.2", kExitNoDevice,
       "the USB boot loader at 1-3.2 is busy: in use by another program", "device_busy"},
      {"usb:serial=DUP", kExitNoDevice,
       "more than one USB boot loader has the serial number DUP: choose one by its port with "
       "--port usb:LOCATION (--list shows them)",
       "duplicate_serial"},
      {"usb:2-1", kExitNoDevice,
       "the USB boot loader at 2-1 is not present: put the device in USB boot mode (--list shows "
       "the boot loaders present)",
       "no_usb_device"},
      // A batch, whose children this test program cannot be: none is started, and each device
      // that would have had one fails without being touched.
      {"usb:*", kExitSomeFailed, "0 of 3 devices updated; the summary says which failed and why",
       ""},
      {"usb:serial=", kExitUsage, "--port usb:serial= names no serial number", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.port);
    EXPECT_EQ(flash({"--port", row.port, "fw.out"}), row.code);
    EXPECT_EQ(stderrText.substr(0, stderrText.find('\n')), "kestrel-flash: " + row.reason);
    if (row.cause.empty()) continue;
    EXPECT_EQ(flash({"--json", "--port", row.port, "fw.out"}), row.code);
    EXPECT_NE(stdoutText.find("\"cause\":\"" + row.cause + "\""), std::string::npos) << stdoutText;
  }
  EXPECT_EQ(hid->openHandles(), 0);
}

TEST_F(FlashCli, EachFailureHasItsExitCodeAndReason) {
  test::FaultyFileSystem fullDisk({.writeError = ENOSPC});
  test::FaultyFileSystem badSector({.readFailsAt = 0x1000, .readError = EIO});
  struct Row {
    const char* name;
    std::function<void()> setUp;
    std::vector<std::string> args;
    int code;
    std::string reason;
  };
  std::vector<Row> rows = {
      {"usage", [] {}, {"--port"}, kExitUsage, "option '--port' needs a value"},
      {"missing file",
       [] {},
       {"fw.hex"},
       kExitConversion,
       "conversion refused: " + test::missingFile("fw.hex")},
      {"not ELF",
       [] { test::writeFile("fw.out", {'x'}); },
       {"--port", "COM2", "fw.out"},
       kExitConversion,
       "conversion refused: fw.out: not an ELF file (shorter than an ELF header)"},
      {"cut short",
       [&] {
         firmware(10000);
         auto whole = test::readFile("fw.out");
         test::writeFile("fw.out", std::vector<uint8_t>(whole.begin(), whole.begin() + 4096));
         serialDevice();
       },
       {"--port", "COM2", "fw.out"},
       kExitConversion,
       "conversion refused: fw.out: segment 0 (10000 bytes at file offset 0x80) runs past the end "
       "of the file at 0x1000: the file is cut short"},
      {"bad sector",
       [&] {
         firmware(10000);
         serialDevice();
         files = &badSector;
       },
       {"--port", "COM2", "fw.out"},
       kExitConversion,
       "conversion refused: fw.out: " + systemErrorText(EIO) +
           " (reading segment 0 at file offset 0x80)"},
      {"disk full",
       [&] {
         firmware(100);
         serialDevice();
         files = &fullDisk;
       },
       {"--port", "COM2", "fw.out"},
       kExitConversion,
       "Cannot write fw.bin: " + systemErrorText(ENOSPC)},
      {"no port",
       [&] { firmware(100); },
       {"--port", "COM5", "fw.out"},
       kExitNoDevice,
       "port COM5 cannot be opened: COM5: no such port"},
      {"no USB device",
       [&] { firmware(100); },
       {"fw.out"},
       kExitNoDevice,
       "no USB boot loader found: put the device in USB boot mode"},
      {"silent",
       [&] {
         firmware(100);
         serialDevice({.silent = true});
       },
       {"--port", "COM2", "--search-timeout", "1.5", "fw.out"},
       kExitNoAnswer,
       "no answer from the boot loader on COM2 within 1.5 s"},
      {"no ack",
       [&] {
         firmware(10000);
         serialDevice({.noFrameAckAt = 2});
       },
       {"--port", "COM2", "fw.out"},
       kExitNoAck,
       "no acknowledgement of the block's data at block 3 (page address 24); the device has no "
       "working firmware until an update completes"},
      {"no clear ack",
       [&] {
         firmware(100);
         serialDevice({.noClearAck = true});
       },
       {"--port", "COM2", "fw.out"},
       kExitNoAck,
       "no acknowledgement of the clear command"},
      {"hang-up",
       [&] {
         firmware(10000);
         serialDevice({.hangUpAt = 1});
       },
       {"--port", "COM2", "fw.out"},
       kExitDeviceGone,
       "the device went away during the update at block 2"},
      {"unplugged",
       [&] {
         firmware(10000);
         hid =
             std::make_unique<HidBootSim>(std::vector<sim::HidInterface>{HidBootSim::bootLoader()},
                                          sim::HidFaults{.unplugAt = 50});
       },
       {"fw.out"},
       kExitDeviceGone,
       "the device went away during the update at block 2"},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    hid = std::make_unique<HidBootSim>(std::vector<sim::HidInterface>{});
    files = &fileSystem();
    row.setUp();
    EXPECT_EQ(flash(row.args), row.code);
    EXPECT_NE(stderrText.find(row.reason), std::string::npos) << stderrText;
  }
}

TEST_F(FlashCli, JsonGivesOneEventPerLine) {
  firmware(5000);
  serialDevice();
  ASSERT_EQ(flash({"--json", "--port", "COM2", "fw.out"}), kExitOk);
  std::istringstream lines(stdoutText);
  std::string line;
  std::vector<std::string> events;
  std::vector<int> percents;
  const std::regex event(R"re(^\{"event":"(\w+)"(,.*)?\}$)re");
  while (std::getline(lines, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, event)) << line;
    events.push_back(m[1]);
    std::smatch p;
    if (std::regex_search(line, p, std::regex(R"("percent":(\d+))")))
      percents.push_back(std::stoi(p[1]));
  }
  EXPECT_EQ(events.front(), "progress");  // the search shows 0 before its status
  EXPECT_EQ(events.back(), "end");
  EXPECT_NE(stdoutText.find(R"({"event":"status","text":"Search Device..."})"), std::string::npos);
  EXPECT_NE(
      stdoutText.find(
          R"({"event":"message","text":"Download Finished!","caption":"Update","icon":"none"})"),
      std::string::npos);
  EXPECT_NE(stdoutText.find(
                R"("result":"ok","exit_code":0,"reason":"download finished","cause":"success",)"
                R"("device":"complete","blocks_acknowledged":3})"),
            std::string::npos);
  EXPECT_TRUE(std::is_sorted(percents.begin() + 1, percents.end()));
  EXPECT_EQ(percents.back(), 100);
  EXPECT_EQ(stderrText, "");
}

TEST_F(FlashCli, JsonEscapesWhateverTheDeviceSent) {
  firmware(100);
  serialDevice({.clearAnswer = {'A', 'B', 'C', 'D', 'E'}});
  EXPECT_EQ(flash({"--json", "--port", "COM2", "fw.out"}), kExitNoAck);
  EXPECT_NE(stdoutText.find(R"({"event":"message","text":"A,B,C","caption":"kestrel-flash")"),
            std::string::npos);
}

TEST_F(FlashCli, DryRunShowsTheSegmentMapWithoutADevice) {
  auto code = sim::patternBytes(0x400, 1);  // whole 512-byte units: nothing of the data rides along
  auto data = sim::patternBytes(0x10, 2);
  test::writeFile("fw.out", sim::ElfBuilder().add(0x1000, code).add(0x2000, data).build());
  ASSERT_EQ(flash({"--dry-run", "fw.out"}), kExitOk) << stderrText;
  std::vector<uint8_t> expected(0x1010, 0);
  std::copy(code.begin(), code.end(), expected.begin());
  std::copy(data.begin(), data.end(), expected.begin() + 0x1000);
  EXPECT_NE(stdoutText.find("0x00001000  0x00000400  0x00000"), std::string::npos) << stdoutText;
  EXPECT_NE(stdoutText.find("0x00002000  0x00000010  0x01000"), std::string::npos);
  EXPECT_NE(stdoutText.find("image length  4112 bytes (0x1010)"), std::string::npos);
  EXPECT_NE(stdoutText.find("blocks        3 blocks of 2048 bytes"), std::string::npos);
  EXPECT_NE(stdoutText.find(sha256Hex(expected.data(), expected.size())), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists("fw.bin"));  // a dry run writes nothing
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(sha256Hex(nullptr, 0),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string abc = "abc";
  EXPECT_EQ(sha256Hex(reinterpret_cast<const uint8_t*>(abc.data()), 3),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two =
      "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56 bytes: two tail blocks
  EXPECT_EQ(sha256Hex(reinterpret_cast<const uint8_t*>(two.data()), two.size()),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// --list's probe of a port that a run has claimed (from its wake bytes to its end, the 100 ms
// between its two opens included) says "in use" without opening it: an open in that gap would make
// the run's reopen fail. Let go, the port is tried by an open again.
TEST_F(FlashCli, ProbeOfAClaimedPortFindsItInUseWithoutOpeningIt) {
#ifdef _WIN32
  // No such port: an open would fail as "not found".
  const std::string path = "\\\\.\\COM200";
  const PortProbe free = PortProbe::Unopenable;
#else
  serialLine();
  const std::string path = line->devicePath();
  const PortProbe free = PortProbe::Openable;
  // Every open of the device shows here.
  const int opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(opens, 0);
  ASSERT_GE(::inotify_add_watch(opens, path.c_str(), IN_OPEN), 0);
#endif
  PortError error;
  auto claim = claimSerialDevice(path, &error);
  ASSERT_TRUE(claim && claim->held());
  EXPECT_EQ(probeSerialDevice(path, &error), PortProbe::InUse);
  EXPECT_EQ(error.text, path + ": in use by another program");
#ifndef _WIN32
  char event[4096];
  EXPECT_LT(::read(opens, event, sizeof event), 0) << "the claimed port was opened";
  ::close(opens);
#endif
  claim.reset();
  EXPECT_EQ(probeSerialDevice(path, &error), free) << error.text;
}

#ifndef _WIN32
TEST_F(FlashCli, ListShowsWhereEachPortLeads) {
  serialLine();
  sim::HidInterface boot = HidBootSim::bootLoader();
  boot.location = "1-3.2";
  boot.serialNumber = "A1";
  hid = std::make_unique<HidBootSim>(std::vector<sim::HidInterface>{boot});
  ASSERT_EQ(flash({"--list"}), kExitOk);
  EXPECT_NE(stdoutText.find("COM1  " + (dir.path() / "COM1").string() + "  not present"),
            std::string::npos);
  EXPECT_NE(stdoutText.find("COM2  " + (dir.path() / "COM2").string() + "  present, can be opened"),
            std::string::npos);
  EXPECT_TRUE(
      std::regex_search(stdoutText, std::regex("\n  location +serial number +version +path +state\n"
                                               "  1-3.2 +A1 +0x0100 +/dev/hidraw-boot +free\n")))
      << stdoutText;
}
#endif

// The conventions people script against: option forms, usage errors, names, versions.
TEST_F(FlashCli, FollowsTheCommandLineConventions) {
  firmware(3000);
  serialDevice();
  EXPECT_EQ(flash({"--port=COM2", "--", "fw.out"}), kExitOk) << stderrText;

  EXPECT_EQ(flash({"--bogus", "fw.out"}), kExitUsage);
  EXPECT_EQ(stderrText,
            "kestrel-flash: unknown option '--bogus'\n"
            "Try 'kestrel-flash --help' for more information.\n");
  EXPECT_EQ(stdoutText, "");
  // Options are written out in full: a script's meaning cannot change when one is added.
  EXPECT_EQ(flash({"--out=x.bin", "fw.out"}), kExitUsage);
  EXPECT_EQ(stderrText.rfind("kestrel-flash: unknown option '--out' (options are not abbreviated: "
                             "--output)\n",
                             0),
            0u)
      << stderrText;

  EXPECT_EQ(flash({"-V"}), kExitOk);
  EXPECT_EQ(stdoutText, "kestrel-flash 1.0.0\n");
  EXPECT_EQ(flash({"--help"}), kExitOk);
  EXPECT_EQ(stdoutText.rfind("usage: kestrel-flash [options] FILE", 0), 0u);

  // Any ELF file name: the image goes beside it, under its title.
  std::filesystem::create_directory("build");
  for (const char* name : {"fw.elf", "FW.OUT", "build/fw"}) {
    SCOPED_TRACE(name);
    test::writeFile(name, sim::ElfBuilder().add(0x0, image).build());
    serialDevice();
    EXPECT_EQ(flash({"--port", "COM2", name}), kExitOk) << stderrText;
    std::string title = name;
    title = title.substr(0, title.find('.'));
    EXPECT_EQ(test::readFile(title + ".bin"), image);
  }
}

TEST_F(FlashCli, JsonForEveryRunEndingWithAnEndObject) {
  firmware(3000);
  const std::regex line(R"(^\{"event":"\w+".*\}$)");
  std::filesystem::copy_file("fw.out", "fw.bin");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--json", "--list"},
           {"--json", "--dry-run", "fw.out"},
           {"--json", "--bogus"},
           {"--json", "--port"},
           {"--json", "--port", "USB", "fw.out"},
           {"--json", "--output", "fw.out", "fw.out"},
           {"--json", "fw.bin"},
           {"--json", "--po", "COM2", "fw.out"},
           {"--js", "fw.out"},
           {"--dry", "--json", "fw.out"},
       }) {
    SCOPED_TRACE(args[1]);
    int code = flash(args);
    std::istringstream lines(stdoutText);
    std::string l, last;
    while (std::getline(lines, l)) {
      EXPECT_TRUE(std::regex_match(l, line)) << l;
      last = l;
    }
    EXPECT_EQ(last.rfind(R"({"event":"end",)", 0), 0u) << stdoutText;
    EXPECT_NE(last.find(R"("exit_code":)" + std::to_string(code)), std::string::npos) << last;
  }
  flash({"--json", "--list"});
  EXPECT_NE(stdoutText.find(R"({"event":"ports","ports":[{"name":"COM1")"), std::string::npos);
  EXPECT_NE(stdoutText.find(R"({"event":"usb","listed":true,"devices":[]})"), std::string::npos);
  flash({"--json", "--dry-run", "fw.out"});
  EXPECT_NE(stdoutText.find(R"("image_length":3000,"blocks":2,"sha256":")"), std::string::npos);
  // A UTF-8 name stays the name it is.
  std::filesystem::copy_file("fw.out", std::filesystem::path(u8"d\u00e9.out"));
  EXPECT_EQ(flash({"--json", "--dry-run", "d\xC3\xA9.out"}), kExitOk);
  EXPECT_NE(stdoutText.find("\"file\":\"d\xC3\xA9.out\""), std::string::npos) << stdoutText;
}

TEST_F(FlashCli, SaysWhatMattersWithoutLegacyNoise) {
  // A dry run of an empty image: the download would still send one block.
  test::writeFile("empty.out", sim::ElfBuilder().build());
  EXPECT_EQ(flash({"--dry-run", "empty.out"}), kExitOk);
  EXPECT_NE(stdoutText.find("blocks        1 block of 2048 bytes"), std::string::npos)
      << stdoutText;
  // Quietly: the SHA-256 line alone.
  EXPECT_EQ(flash({"--dry-run", "--quiet", "empty.out"}), kExitOk);
  EXPECT_EQ(stdoutText, "sha256        " + sha256Hex(nullptr, 0) + "\n");
  EXPECT_EQ(flash({"--dry-run", "--quiet", "gone.out"}), kExitConversion);
  EXPECT_EQ(stdoutText, "");
  EXPECT_NE(stderrText.find(test::missingFile("gone.out")), std::string::npos);

  // No USB boot loader: the clear sentence, and not the window's prompt before it.
  firmware(100);
  EXPECT_EQ(flash({"fw.out"}), kExitNoDevice);
  EXPECT_EQ(stdoutText, "");
  EXPECT_EQ(stderrText.rfind("kestrel-flash: no USB boot loader found", 0), 0u) << stderrText;

  // On a terminal the bar says "--" until it knows the speed.
  onTerminal = true;
  serialDevice();
  EXPECT_EQ(flash({"--port", "COM2", "fw.out"}), kExitOk);
  EXPECT_NE(stdoutText.find("   0%      -- KiB/s    -- s left"), std::string::npos) << stdoutText;
}

#ifdef _WIN32
constexpr const char* kSeparator = "\\";
#else
constexpr const char* kSeparator = "/";
#endif

// The bytes of the file at `path` through the platform's files, which take paths of any length.
std::vector<uint8_t> readBack(const std::string& path) {
  FileError error;
  auto file = fileSystem().openForReading(path, &error);
  EXPECT_TRUE(file) << error.text;
  if (!file) return {};
  std::vector<uint8_t> bytes(size_t(file->size()));
  EXPECT_EQ(file->readAt(0, bytes.data(), bytes.size(), &error), int64_t(bytes.size()))
      << error.text;
  return bytes;
}

// The image goes beside the ELF file, whichever separator the platform takes, and the last line
// says where it went.
TEST_F(FlashCli, TheImageGoesBesideTheElfFileAndTheLastLineSaysWhere) {
  firmware(3000);
  const std::string sep = kSeparator;
  std::filesystem::create_directory("sub.d");
  std::filesystem::create_directory("x");
  struct Row {
    std::string file, image;
  };
  const Row rows[] = {
      {"sub.d" + sep + "fw", "sub.d" + sep + "fw.bin"},
      {"x" + sep + ".." + sep + "fwup", "x" + sep + ".." + sep + "fwup.bin"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    std::filesystem::copy_file("fw.out", row.file);
    serialDevice();
    EXPECT_EQ(flash({"--port", "COM2", row.file}), kExitOk) << stderrText;
    EXPECT_EQ(readBack(row.image), image);
    EXPECT_NE(stdoutText.find(" on COM2; image in " + row.image + "\n"), std::string::npos)
        << stdoutText;
  }
  EXPECT_FALSE(std::filesystem::exists("sub.bin"));
  EXPECT_FALSE(std::filesystem::exists("x/..bin"));

  // An ELF file whose image would be itself.
  std::filesystem::copy_file("fw.out", "sub.d/self.bin");
  EXPECT_EQ(flash({"sub.d" + sep + "self.bin"}), kExitUsage);
  EXPECT_NE(stderrText.find("would overwrite it"), std::string::npos) << stderrText;
}

// The names Windows keeps for devices in every folder are no image files there: never is an image
// written to a device. Elsewhere they are names like any other.
TEST_F(FlashCli, DeviceNamesAreNoImageFiles) {
  firmware(100);
  struct Row {
    std::string name, device;
  };
  const Row rows[] = {{"NUL.bin", "NUL"}, {"aux.bin", "aux"},     {"COM1.bin", "COM1"},
                      {"CON.bin", "CON"}, {"lpt9.x.bin", "lpt9"}, {"Com3 .bin", "Com3"},
                      {"prn", "prn"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
#ifdef _WIN32
    EXPECT_EQ(flash({"--port", "COM9", "--output", row.name, "fw.out"}), kExitConversion);
    EXPECT_NE(stderrText.find("Cannot write " + row.name + ": " + row.device +
                              " is a device name that Windows reserves in every folder"),
              std::string::npos)
        << stderrText;
#else
    EXPECT_EQ(flash({"--port", "COM9", "--output", row.name, "fw.out"}), kExitNoDevice)
        << stderrText;
    EXPECT_EQ(test::readFile(row.name), image);
#endif
  }
#ifdef _WIN32
  EXPECT_EQ(flash({"--port", "COM9", "--output", "\\\\.\\COM1", "fw.out"}), kExitConversion);
  EXPECT_NE(stderrText.find("Cannot write \\\\.\\COM1: a device, not a file"), std::string::npos)
      << stderrText;
#endif
}

#ifdef _WIN32
// Any path Windows can hold takes the image, however deep the folder, as the firmware's or as
// --output; one it cannot hold is refused with the reason. No temporary file is left either way.
TEST_F(FlashCli, DeepFoldersTakeTheImage) {
  firmware(3000);
  const std::string base = std::filesystem::current_path().string();
  // A folder below the current one whose full path is `length` characters long.
  auto deepFolder = [&](size_t length) {
    std::string folder;
    while (base.size() + 1 + folder.size() + 101 < length) folder += std::string(100, 'd') + "\\";
    folder += std::string(length - base.size() - 1 - folder.size(), 'e');
    std::filesystem::create_directories(folder);
    return folder;
  };
  // Listed in the "\\?\" form, which no MAX_PATH limits. The names here are ASCII.
  auto onlyThese = [&](const std::string& folder, std::vector<std::string> names) {
    std::vector<std::string> found;
    const std::string pattern = "\\\\?\\" + base + "\\" + folder + "\\*";
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW(std::wstring(pattern.begin(), pattern.end()).c_str(), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE) << folder.size();
    do {
      const std::wstring wide = entry.cFileName;
      std::string name(wide.begin(), wide.end());
      if (name != "." && name != "..") found.push_back(name);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    std::sort(found.begin(), found.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(found, names) << folder.size();
  };
  for (size_t length : {size_t(281), size_t(300), size_t(1000)}) {
    SCOPED_TRACE(length);
    const std::string folder = deepFolder(length);
    std::filesystem::copy_file("fw.out", folder + "\\fw.out");
    EXPECT_EQ(flash({"--port", "COM9", folder + "\\fw.out"}), kExitNoDevice) << stderrText;
    EXPECT_EQ(readBack(folder + "\\fw.bin"), image);
    EXPECT_EQ(flash({"--port", "COM9", "--output", folder + "\\out.bin", "fw.out"}), kExitNoDevice)
        << stderrText;
    EXPECT_EQ(readBack(folder + "\\out.bin"), image);
    onlyThese(folder, {"fw.out", "fw.bin", "out.bin"});
  }

  const std::string folder = deepFolder(310);
  const std::string tooLongAName = folder + "\\" + std::string(300, 'n') + ".bin";
  std::string tooLongAPath = folder;
  while (tooLongAPath.size() < 33000) tooLongAPath += "\\" + std::string(200, 'p');
  for (const std::string& output : {tooLongAName, tooLongAPath + "\\fw.bin"}) {
    SCOPED_TRACE(output.size());
    EXPECT_EQ(flash({"--port", "COM9", "--output", output, "fw.out"}), kExitConversion);
    EXPECT_EQ(stderrText.rfind("kestrel-flash: Cannot create " + output + ": " +
                                   systemErrorText(ERROR_FILENAME_EXCED_RANGE) + "\n",
                               0),
              0u)
        << stderrText.substr(0, 200);
  }
  onlyThese(folder, {});
}
#endif

// Told to stop (Ctrl+C, kill, a closing terminal) at any moment, the update stops before the next
// thing would reach the device, and its end says truthfully what the device has got.
TEST_F(FlashCli, InterruptStopsBeforeTheNextThingReachesTheDevice) {
  struct Row {
    const char* name;
    std::function<void()> setUp;  // the device, and the moment the interrupt comes
    std::vector<std::string> args;
    int code;
    std::string reason;
    const char* device;           // what the end object says the device got
    std::function<void()> check;  // what the device did get
  };
  auto usb = [&](sim::HidFaults faults = {}) {
    hid = std::make_unique<HidBootSim>(std::vector<sim::HidInterface>{HidBootSim::bootLoader()},
                                       faults);
  };
  // Counts the block commands the serial device gets and interrupts at the third.
  auto interruptAtThirdBlockCommand = [&] {
    auto tail = std::make_shared<std::string>();
    auto commands = std::make_shared<int>(0);
    serial->onByte([this, tail, commands](uint8_t byte, uint32_t) {
      *tail = (*tail + char(byte)).substr(tail->size() >= 5 ? 1 : 0);
      if (*tail == "UFLHU" && ++*commands == 3) interrupt = true;
    });
  };
  const std::string noFirmware = "the device has no working firmware";
  std::vector<Row> rows = {
      {"during the conversion, serial",
       [&] {
         serialDevice();
         interrupt = true;
       },
       {"--port", "COM2"},
       kExitInterrupted,
       "interrupted before anything was sent to the device",
       "untouched",
       [&] {
         EXPECT_EQ(serial->receivedCount(), 0u);
         EXPECT_EQ(test::readFile("fw.bin"), image);  // the conversion itself is done
       }},
      {"during the conversion, USB",
       [&] {
         usb();
         interrupt = true;
       },
       {},
       kExitInterrupted,
       "interrupted before anything was sent to the device",
       "untouched",
       [&] { EXPECT_EQ(hid->reportsWritten(), 0); }},
      {"in the wake-up's 100 ms",
       [&] {
         serialDevice();
         watched.onSleep = [&](uint32_t ms) {
           if (ms == 100) interrupt = true;
         };
       },
       {"--port", "COM2"},
       kExitInterrupted,
       "interrupted after the device was woken into boot mode; nothing was written to it",
       "woken",
       [&] {
         std::vector<uint8_t> got;
         for (const auto& b : serial->received()) got.push_back(b.byte);
         EXPECT_EQ(got, (std::vector<uint8_t>{0xA2, 0xA2}));  // no probe
       }},
      {"as the USB boot loader is found",
       [&] {
         usb();
         hid->onEnumerate = [&] { interrupt = true; };
       },
       {},
       kExitInterrupted,
       "interrupted before anything was sent to the device",
       "untouched",
       [&] { EXPECT_EQ(hid->reportsWritten(), 0); }},
      {"while the third block waits over USB",
       [&] {
         usb({.noAckAt = 2});
         watched.onSleep = [&](uint32_t ms) {
           if (ms == 1 && hid->pages().size() == 3) interrupt = true;
         };
       },
       {},
       kExitInterrupted,
       "interrupted after the device acknowledged blocks 1 to 2 of 5 (block 0 goes last); " +
           noFirmware,
       "incomplete",
       [&] { EXPECT_EQ(hid->reportsWritten(), 1 + 3 * 42); }},
      {"at the third block command over the serial line",
       [&] {
         serialDevice();
         interruptAtThirdBlockCommand();
       },
       {"--port", "COM2"},
       kExitInterrupted,
       "interrupted after the device acknowledged blocks 1 to 2 of 5 (block 0 goes last); " +
           noFirmware,
       "incomplete",
       [&] {
         EXPECT_EQ(serial->pages(), (std::vector<uint16_t>{8, 16}));
       }},
      {"in the final pause, every block acknowledged",
       [&] {
         usb();
         watched.onSleep = [&](uint32_t ms) {
           if (ms == 20 && hid->pages().size() == 5) interrupt = true;
         };
       },
       {},
       kExitInterrupted,
       "interrupted after the device acknowledged every block, block 0 last",
       "complete",
       [&] { EXPECT_EQ(hid->pages().back(), 0); }},
      {"after the device refused the start report",
       [&] {
         usb({.writeFailAt = 0, .writeErrno = EPIPE});
         watched.onSleep = [&](uint32_t ms) {
           if (ms == 20) interrupt = true;  // the pause before the device is closed
         };
       },
       {},
       kExitFailure,
       "a USB report could not be written",
       "untouched",
       [&] { EXPECT_FALSE(hid->started()); }},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    firmware(10000);
    interrupt = false;
    watched.onSleep = nullptr;
    hid = std::make_unique<HidBootSim>(std::vector<sim::HidInterface>{});
    row.setUp();
    std::vector<std::string> args = {"--json"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back("fw.out");
    EXPECT_EQ(flash(args), row.code) << stdoutText;
    watched.onSleep = nullptr;
    nlohmann::json end = endObject();
    ASSERT_TRUE(end.is_object()) << stdoutText;
    std::string reason = end.value("reason", "");
    EXPECT_EQ(reason.rfind(row.reason, 0), 0u) << reason;
    if (row.reason.find(noFirmware) == std::string::npos) {
      EXPECT_EQ(reason.find(noFirmware), std::string::npos) << reason;
    }
    EXPECT_EQ(end.value("device", ""), row.device);
    EXPECT_FALSE(ports.isOpen("COM2"));
    EXPECT_EQ(hid->openHandles(), 0);
    row.check();
  }
}

// The request to end as the system delivers it (a closing terminal or console): the handler raises
// what the update watches. Windows ends the process as soon as the handler for a closing console
// returns, so that handler holds on until the program says it is done. Wine delivers no console
// events to a program it runs: this calls the handler as the system would.
TEST_F(FlashCli, ClosingTheConsoleEndsTheUpdateBeforeTheProcessGoes) {
#ifdef _WIN32
  const int kConsoleClosed = CTRL_CLOSE_EVENT;
#else
  const int kConsoleClosed = SIGHUP;
#endif
  static std::atomic<bool> stopRequested{false};
  stopRequested = false;  // the flag lives as long as the process, this test maybe not alone
  watchStopRequests(&stopRequested);
  firmware(10000);
  serialDevice();
  std::atomic<bool> handlerReturned{false}, handled{false};
  std::thread handler;
  auto tail = std::make_shared<std::string>();
  serial->onByte([&, tail](uint8_t byte, uint32_t) {
    *tail = (*tail + char(byte)).substr(tail->size() >= 5 ? 1 : 0);
    if (*tail != "UFLHU" || handler.joinable()) return;
    // The system runs the handler on a thread of its own.
    handler = std::thread([&] {
      handled = runStopHandler(kConsoleClosed);
      handlerReturned = true;
    });
    ASSERT_TRUE(eventually([&] { return stopRequested.load(); }, "the handler to raise the flag"));
  });
  Caught out("stdout.txt"), err("stderr.txt");
  FlashEnvironment env{watched, ports, *hid, *files, out.sink(), err.sink(), false, &stopRequested};
  EXPECT_EQ(runFlash({"--json", "--port", "COM2", "fw.out"}, env), kExitInterrupted);
  EXPECT_FALSE(ports.isOpen("COM2"));
  EXPECT_EQ(serial->pages().size(), 0u);  // stopped at the first block command
#ifdef _WIN32
  EXPECT_FALSE(handlerReturned) << "the handler returned before the update had ended";
#endif
  stopRequestsHandled();
  ASSERT_TRUE(handler.joinable());
  handler.join();
  EXPECT_TRUE(handled);
  EXPECT_NE(out.text().find(R"("exit_code":130,"reason":"interrupted before the device )"
                            R"(acknowledged a block; the device has no working firmware)"),
            std::string::npos);
#ifndef _WIN32
  // The test goes on with the signals' usual effects.
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(s, SIG_DFL);
#endif
}

// Control characters in a file name or in what a device sends cannot move the cursor, retitle the
// terminal or split a line: text lines show them escaped; JSON escapes by its own rules.
TEST_F(FlashCli, TextLinesShowControlCharactersEscaped) {
  const std::string name = "fw\x1b]2;owned\x07\xc2\x9b\xff.out";
  const std::string shown = "fw\\x1b]2;owned\\x07\\xc2\\x9b\\xff.out";
  auto noControls = [](const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
      uint8_t c = uint8_t(text[i]);
      bool c1 = c == 0xC2 && i + 1 < text.size() && uint8_t(text[i + 1]) < 0xA0;
      if ((c < 0x20 && c != '\n' && c != '\r') || c == 0x7F || c1 || c == 0xFF) return false;
    }
    return true;
  };
  firmware(3000);
#ifndef _WIN32
  // Windows takes no control characters in a file name.
  onTerminal = true;
  test::writeFile(name, test::readFile("fw.out"));
  serialDevice();
  EXPECT_EQ(flash({"--port", "COM2", name}), kExitOk) << stderrText;
  EXPECT_NE(stdoutText.find("download finished: " + shown), std::string::npos) << stdoutText;
  EXPECT_TRUE(noControls(stdoutText));
  onTerminal = false;
#endif

  EXPECT_EQ(flash({"missing\x1b[2J.out"}), kExitConversion);
  EXPECT_NE(stderrText.find("conversion refused: missing\\x1b[2J.out"), std::string::npos)
      << stderrText;
  EXPECT_TRUE(noControls(stderrText));

  serialDevice({.clearAnswer = {0x1B, ']', '2'}});
  EXPECT_EQ(flash({"--port", "COM2", "fw.out"}), kExitNoAck);
  EXPECT_NE(stdoutText.find("[kestrel-flash] \\x1b,],2"), std::string::npos) << stdoutText;
  EXPECT_TRUE(noControls(stdoutText));

  EXPECT_EQ(flash({"--json", "missing\x1b[2J.out"}), kExitConversion);
  EXPECT_NE(stdoutText.find("missing\\u001b[2J.out"), std::string::npos) << stdoutText;
}

TEST(Printable, EscapesControlsAndBrokenUtf8AndKeepsText) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"fw.out", "fw.out"},
      {"d\xC3\xA9j\xC3\xA0 \xE2\x82\xAC \xF0\x9F\x94\xA5",
       "d\xC3\xA9j\xC3\xA0 \xE2\x82\xAC \xF0\x9F\x94\xA5"},
      {"a\tb\rc\nd", "a\\x09b\\x0dc\\x0ad"},
      {"\x1b]0;x\x07", "\\x1b]0;x\\x07"},
      {"del\x7f", "del\\x7f"},
      {"csi\xC2\x9B"
       "2J",
       "csi\\xc2\\x9b2J"},               // U+009B, the C1 CSI
      {"nbsp\xC2\xA0", "nbsp\xC2\xA0"},  // U+00A0 is text
      {"lone\x9B", "lone\\x9b"},         // not UTF-8
      {"cut\xE2\x82", "cut\\xe2\\x82"},  // a sequence cut short
      {"overlong\xC0\xAF", "overlong\\xc0\\xaf"},
      {"surrogate\xED\xA0\x80", "surrogate\\xed\\xa0\\x80"},
  };
  for (const auto& [text, shown] : rows) EXPECT_EQ(printable(text), shown) << shown;
  EXPECT_EQ(printable("one\ntwo\x1b", true), "one\ntwo\\x1b");
}

// A refused conversion is one line: the path and the reason, not the window's boxes before it.
TEST_F(FlashCli, RefusedConversionIsOneLine) {
  firmware(100);
  test::writeFile("text.out", {'h', 'i'});
  const std::vector<std::vector<std::string>> rows = {
      {"--port", "COM2", "missing.out"},
      {"--port", "COM2", "text.out"},
      {"--port", "COM2", "--output", "no/such/folder/fw.bin", "fw.out"},
      {"--dry-run", "text.out"},
  };
  for (const auto& args : rows) {
    SCOPED_TRACE(args[args.size() - 1]);
    EXPECT_EQ(flash(args), kExitConversion);
    EXPECT_EQ(stdoutText, "");
    EXPECT_EQ(std::count(stderrText.begin(), stderrText.end(), '\n'), 1) << stderrText;
    EXPECT_EQ(stderrText.find("Convert fail"), std::string::npos);
  }
  EXPECT_EQ(stderrText,
            "kestrel-flash: conversion refused: text.out: not an ELF file (shorter "
            "than an ELF header)\n");
}

// On a terminal the progress line fits its width, and the bar that stood at 0 while the search ran
// gives way to the lines that follow it instead of staying above them.
TEST_F(FlashCli, ProgressLineFitsTheTerminalAndGivesWayAtZero) {
  firmware(10000);
  onTerminal = true;
  for (int width : {24, 40, 132}) {
    SCOPED_TRACE(width);
    columns = width;
    serialDevice();
    ASSERT_EQ(flash({"--port", "COM2", "fw.out"}), kExitOk) << stderrText;
    std::string segment;
    for (char c : stdoutText) {
      if (c == '\r' || c == '\n') {
        // The progress line, drawn or covered with blanks; other lines may wrap.
        if (segment.rfind("[", 0) == 0 || segment.find_first_not_of(' ') == std::string::npos) {
          EXPECT_LT(int(segment.size()), width) << segment;
        }
        segment.clear();
      } else {
        segment += c;
      }
    }
    // Each status line shows the status alone: a bar drawn there before was covered.
    for (const char* status : {"Search Device...", " Device Found!", "Progressing..."}) {
      size_t at = stdoutText.find(std::string(status) + "\n");
      ASSERT_NE(at, std::string::npos) << status;
      size_t lineStart = stdoutText.rfind('\n', at);
      lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
      std::string shown;  // the line as the terminal shows it: \r goes back to its start
      size_t column = 0;
      for (char c : stdoutText.substr(lineStart, at + std::strlen(status) - lineStart)) {
        if (c == '\r') {
          column = 0;
          continue;
        }
        if (column == shown.size()) shown += ' ';
        shown[column++] = c;
      }
      EXPECT_EQ(shown.substr(0, shown.find_last_not_of(' ') + 1), status);
    }
    EXPECT_NE(stdoutText.find("100%"), std::string::npos);
  }
  EXPECT_EQ(progressLine(50, false, 0, 0, 132),
            "[###############---------------]  50%      -- KiB/s    -- s left");
  EXPECT_EQ(progressLine(50, true, 2048, 3, 24), "[########--------]  50%");
  EXPECT_EQ(progressLine(7, true, 2048, 3, 4), "7%");
}

// Text written to two descriptors that lead to one place (2>&1) comes out in the order written.
TEST(OutputSink, TwoDescriptorsOfOnePlaceKeepTheirOrder) {
  test::TempDir dir;
  int fd = ::open("both.txt", O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0600);
  int second = ::dup(fd);
  int other = ::open("other.txt", O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0600);
  EXPECT_TRUE(sameOutput(fd, second));
  EXPECT_FALSE(sameOutput(fd, other));
  std::string expected;
  {
    OutputSink out(fd);
    OutputSink err(second, out);
    for (int i = 0; i < 200; ++i) {
      std::string line = std::to_string(i) + "\n";
      (i % 3 ? out : err).write(line);
      expected += line;
    }
    EXPECT_TRUE(err.flush(test::kPatience));
  }
  auto bytes = test::readFile("both.txt");
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);
  ::close(fd);
  ::close(second);
  ::close(other);
}

// --port names as the platform has them: device paths, and on Windows every COMn.
TEST(PortNames, DeviceArgumentsLeadToTheirDevice) {
  const std::vector<std::pair<std::string, std::string>> rows = {
#ifdef _WIN32
      {"COM12", "\\\\.\\COM12"},
      {"com3", "\\\\.\\COM3"},
      {"\\\\.\\com10", "\\\\.\\COM10"},
      {"\\\\.\\COM256", "\\\\.\\COM256"},
      {"//./COM11", "\\\\.\\COM11"},
      {"\\\\.\\CNCA0", "\\\\.\\CNCA0"},
      {"C:\\ports\\x", "C:\\ports\\x"},
      {"COM0", ""},
      {"COM01", ""},
      {"COM1a", ""},
#else
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"./link", "./link"},
      {"COM12", ""},
      {"com3", ""},
#endif
      {"USB", ""},
      {"COM", ""},
      {"ttyUSB0", ""},
  };
  for (const auto& [name, path] : rows) EXPECT_EQ(serialDevicePathFor(name), path) << name;
}

// The exit-code table of the README and the EXIT STATUS list of the manual page, each as code ->
// meaning. Fails the test when a document cannot be read.
std::map<int, std::string> readmeExitCodes() {
  std::ifstream in(KESTREL_README);
  EXPECT_TRUE(in) << "cannot read " << KESTREL_README;
  std::map<int, std::string> codes;
  const std::regex row(R"(^\| (\d+) \| (.+) \|$)");
  bool inTable = false;
  for (std::string line; std::getline(in, line);) {
    if (line == "| code | meaning |") inTable = true;
    if (!inTable) continue;
    if (line.empty()) break;
    std::smatch m;
    if (std::regex_match(line, m, row)) codes[std::stoi(m[1])] = m[2];
  }
  return codes;
}

std::map<int, std::string> manualExitCodes() {
  std::ifstream in(KESTREL_FLASH_MANUAL);
  EXPECT_TRUE(in) << "cannot read " << KESTREL_FLASH_MANUAL;
  std::map<int, std::string> codes;
  const std::regex item(R"(^\.B (\d+)$)");
  bool inSection = false;
  int code = -1;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(".SH", 0) == 0) {
      if (inSection) break;
      inSection = line == ".SH EXIT STATUS";
      continue;
    }
    std::smatch m;
    if (!inSection || line == ".TP") continue;
    if (std::regex_match(line, m, item)) {
      code = std::stoi(m[1]);
    } else if (code >= 0) {
      codes[code] +=
          (codes[code].empty() ? "" : " ") + std::regex_replace(line, std::regex(R"(\\-)"), "-");
    }
  }
  return codes;
}

// The codes whose meaning holds `words`.
std::vector<int> codesSaying(const std::map<int, std::string>& codes, const std::string& words) {
  std::vector<int> found;
  for (const auto& [code, meaning] : codes) {
    if (meaning.find(words) != std::string::npos) found.push_back(code);
  }
  return found;
}

// The exit code is a function of the update's outcome alone (no message's text takes part, so a
// change to a prescribed text cannot move it), and it is the code that the README's table and the
// manual page give: each cause is held against the one row whose meaning names it, in both
// documents, so that neither the code nor the documents can drift from the other.
TEST(FlashExitCode, FollowsTheOutcomeAlone) {
  using Cause = UpdateOutcome::Cause;
  // Each cause with the words that name it in both documents.
  const std::map<Cause, std::string> rows = {
      {Cause::None, "other failure"},
      {Cause::Running, "other failure"},
      {Cause::Success, "success"},
      {Cause::ImageRefused, "refused"},
      {Cause::ImageFileError, "written"},
      {Cause::NoMemory, "memory"},
      {Cause::PortUnavailable, "port or device not found"},
      {Cause::NoUsbDevice, "device not found"},
      {Cause::DeviceBusy, "busy"},
      {Cause::DuplicateSerial, "serial number"},
      {Cause::NoAnswer, "no answer"},
      {Cause::NoAcknowledgement, "no acknowledgement"},
      {Cause::DeviceGone, "went away"},
      {Cause::LineHeldUp, "held up"},
      {Cause::SendError, "I/O error"},
      {Cause::ThreadFailed, "other failure"},
      {Cause::Interrupted, "interrupted"},
  };
  for (int c = int(Cause::None); c <= int(Cause::Interrupted); ++c) {
    EXPECT_TRUE(rows.count(Cause(c)))
        << "cause " << c
        << " has no row here: add it with the words of its exit code's "
           "row in the README";
  }
  const auto readme = readmeExitCodes();
  const auto manual = manualExitCodes();
  ASSERT_FALSE(readme.empty()) << "no exit-code table in the README";
  std::set<int> used = {kExitUsage};
  for (const auto& [cause, words] : rows) {
    UpdateOutcome outcome;
    outcome.cause = cause;
    outcome.detail = "any words at all";
    const int code = exitCodeFor(outcome);
    used.insert(code);
    EXPECT_EQ(codesSaying(readme, words), std::vector<int>{code})
        << "cause " << int(cause) << ", the README's row with \"" << words << "\"";
    EXPECT_EQ(codesSaying(manual, words), std::vector<int>{code})
        << "cause " << int(cause) << ", the manual page's entry with \"" << words << "\"";
  }
  EXPECT_EQ(codesSaying(readme, "bad usage"), std::vector<int>{kExitUsage});
  EXPECT_EQ(codesSaying(manual, "bad usage"), std::vector<int>{kExitUsage});
  // A batch's code stands beside the outcome's: the code of several devices of which any failed.
  used.insert(kExitSomeFailed);
  EXPECT_EQ(codesSaying(readme, "batch"), std::vector<int>{kExitSomeFailed});
  EXPECT_EQ(codesSaying(manual, "batch"), std::vector<int>{kExitSomeFailed});
  // Every code either document names is one the program gives.
  std::set<int> inReadme, inManual;
  for (const auto& entry : readme) inReadme.insert(entry.first);
  for (const auto& entry : manual) inManual.insert(entry.first);
  EXPECT_EQ(inReadme, used);
  EXPECT_EQ(inManual, used);
}

}  // namespace
}  // namespace kestrel
