// kestrel-flash against both simulators, in-process: the serial boot loader mostly on ports inside
// the process in simulated time, and on a pseudo-terminal where a device path is the point.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

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
#include "platform/process.h"
#include "sim/simulated_serial_ports.h"
#include "support/faulty_file_system.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"
#include "support/wait.h"

namespace kestrel {
namespace {

using sim::HidBootSim;

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
    FlashEnvironment env{real ? systemClock() : clock,
                         real ? serialBackend() : static_cast<SerialBackend&>(ports),
                         *hid,
                         *files,
                         out.sink(),
                         err.sink(),
                         onTerminal};
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

  test::TempDir dir;
  test::ManualClock clock;
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

#ifndef _WIN32
TEST_F(FlashCli, ListShowsWhereEachPortLeads) {
  serialLine();
  hid = std::make_unique<HidBootSim>(std::vector<sim::HidInterface>{HidBootSim::bootLoader()});
  ASSERT_EQ(flash({"--list"}), kExitOk);
  EXPECT_NE(stdoutText.find("COM1  " + (dir.path() / "COM1").string() + "  not present"),
            std::string::npos);
  EXPECT_NE(stdoutText.find("COM2  " + (dir.path() / "COM2").string() + "  present, can be opened"),
            std::string::npos);
  EXPECT_NE(stdoutText.find("/dev/hidraw-boot  vendor 0xFFFF product 0x0012 version 0x0100"),
            std::string::npos);
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
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--json", "--list"}, {"--json", "--dry-run", "fw.out"}, {"--json", "--bogus"}}) {
    SCOPED_TRACE(args[1]);
    flash(args);
    std::istringstream lines(stdoutText);
    std::string l, last;
    while (std::getline(lines, l)) {
      EXPECT_TRUE(std::regex_match(l, line)) << l;
      last = l;
    }
    EXPECT_EQ(last.rfind(R"({"event":"end",)", 0), 0u) << stdoutText;
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

// The exit code is a function of the update's outcome alone: no message's text takes part, so a
// change to a prescribed text cannot move it.
TEST(FlashExitCode, FollowsTheOutcomeAlone) {
  using Cause = UpdateOutcome::Cause;
  const std::vector<std::pair<Cause, int>> rows = {
      {Cause::Success, kExitOk},
      {Cause::ImageRefused, kExitConversion},
      {Cause::ImageFileError, kExitConversion},
      {Cause::PortUnavailable, kExitNoDevice},
      {Cause::NoUsbDevice, kExitNoDevice},
      {Cause::NoAnswer, kExitNoAnswer},
      {Cause::NoAcknowledgement, kExitNoAck},
      {Cause::DeviceGone, kExitDeviceGone},
      {Cause::Interrupted, kExitInterrupted},
      {Cause::NoMemory, kExitFailure},
      {Cause::SendError, kExitFailure},
      {Cause::ThreadFailed, kExitFailure},
      {Cause::Running, kExitFailure},
  };
  for (auto [cause, code] : rows) {
    UpdateOutcome outcome;
    outcome.cause = cause;
    outcome.detail = "any words at all";
    EXPECT_EQ(exitCodeFor(outcome), code) << int(cause);
  }
}

}  // namespace
}  // namespace kestrel
