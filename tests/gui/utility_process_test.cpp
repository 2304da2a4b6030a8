// kestrel-utility as a process: the real binary, its start without a display and its end on a
// termination signal in the middle of an update, against the simulated serial boot loader on a
// pseudo-terminal. The window is worked by the test's Qt plugin (driver_plugin.cpp).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "sim/elf_builder.h"
#include "sim/serial_boot_sim.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace kestrel {
namespace {

using Clk = std::chrono::steady_clock;

// Without a display the window cannot be shown: one line says so and what to do, exit 1 (not
// Qt's abort).
TEST(UtilityProcess, WithoutADisplaySaysSoInOneLineAndExits1) {
  test::TempDir dir;
  const std::map<std::string, std::optional<std::string>> kNoDisplay[] = {
      {{"DISPLAY", {}}, {"WAYLAND_DISPLAY", {}}, {"QT_QPA_PLATFORM", {}}, {"XDG_SESSION_TYPE", {}}},
      {{"DISPLAY", {}}, {"WAYLAND_DISPLAY", {}}, {"QT_QPA_PLATFORM", "xcb"}},
  };
  for (const auto& changes : kNoDisplay) {
    SCOPED_TRACE(changes.count("QT_QPA_PLATFORM") && changes.at("QT_QPA_PLATFORM")
                     ? "QT_QPA_PLATFORM=xcb"
                     : "QT_QPA_PLATFORM unset");
    test::ChildProcess utility({KESTREL_UTILITY_BINARY}, test::environmentWith(changes));
    ASSERT_TRUE(utility.started());
    std::optional<test::Ended> r = utility.finish(test::kPatience);
    ASSERT_TRUE(r) << "kestrel-utility did not end within " << test::kPatience.count() << " ms";
    EXPECT_EQ(r->exitCode, 1) << test::describe(*r);
    EXPECT_EQ(r->out, "");
    EXPECT_EQ(r->err,
              "kestrel-utility: no display to show the window on (neither DISPLAY nor "
              "WAYLAND_DISPLAY is set); start it in a desktop session, or update from a terminal "
              "with kestrel-flash\n");
  }
}

// The settings of a terminal that matter to a serial line, and its exclusive mode.
struct LineState {
  termios tio{};
  int exclusive = -1;
  bool operator==(const LineState& o) const {
    return tio.c_iflag == o.tio.c_iflag && tio.c_oflag == o.tio.c_oflag &&
           tio.c_cflag == o.tio.c_cflag && tio.c_lflag == o.tio.c_lflag &&
           ::cfgetispeed(&tio) == ::cfgetispeed(&o.tio) &&
           ::cfgetospeed(&tio) == ::cfgetospeed(&o.tio) &&
           std::memcmp(tio.c_cc, o.tio.c_cc, sizeof tio.c_cc) == 0 && exclusive == o.exclusive;
  }
};

void PrintTo(const LineState& s, std::ostream* os) {
  *os << "speed " << ::cfgetospeed(&s.tio) << " iflag " << std::hex << s.tio.c_iflag << " lflag "
      << s.tio.c_lflag << " cflag " << s.tio.c_cflag << std::dec << " VMIN "
      << int(s.tio.c_cc[VMIN]) << " exclusive " << s.exclusive;
}

LineState lineState(int fd) {
  LineState s;
  ::tcgetattr(fd, &s.tio);
  ::ioctl(fd, TIOCGEXCL, &s.exclusive);
  return s;
}

// A session that ends (SIGTERM, SIGHUP) in the middle of a serial download: the window stops the
// update, puts the port back as it found it and exits within seconds, 128 plus the signal.
TEST(UtilityProcess, ATerminationSignalMidUpdateStopsItAndLeavesThePortAsFound) {
  for (int signal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signal));
    test::TempDir dir;
    // Paced at 115200 bit/s, the 128 blocks take some 23 s: the signal comes well inside.
    sim::SerialBootSim device({.paced = true});
    device.linkAs(dir.path().string(), "COM1");
    test::writeFile("fw.out", sim::ElfBuilder().add(0, sim::patternBytes(0x40000, 5)).build());
    int line = ::open(device.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(line, 0) << device.devicePath() << ": " << std::strerror(errno);
    const LineState found = lineState(line);

    test::ChildProcess utility({KESTREL_UTILITY_BINARY},
                               test::environmentWith({
                                   {"QT_QPA_PLATFORM", "offscreen"},
                                   {"KESTREL_COM_DIR", dir.path().string()},
                                   {"QT_PLUGIN_PATH", KESTREL_TEST_QT_PLUGINS},
                                   {"QT_QPA_GENERIC_PLUGINS", "kestreldriver"},
                                   {"KESTREL_DRIVE_PORT", "1"},
                                   {"KESTREL_DRIVE_TITLE", "fw"},
                               }));
    ASSERT_TRUE(utility.started());
    if (!test::eventually([&] { return device.pages().size() >= 2; }, "the download",
                          std::chrono::seconds(30))) {
      utility.signal(SIGKILL);
      std::optional<test::Ended> r = utility.finish(test::kPatience);
      FAIL() << "waited 30 s for the second block of the download, in vain; the device got "
             << device.receivedCount()
             << " bytes; kestrel-utility: " << (r ? test::describe(*r) : "still running");
    }
    EXPECT_NE(lineState(line), found) << "the update has the line";

    const auto signalled = Clk::now();
    utility.signal(signal);
    std::optional<test::Ended> r = utility.finish(std::chrono::seconds(5));
    ASSERT_TRUE(r) << "kestrel-utility still ran 5 s after " << ::strsignal(signal);
    const double seconds = std::chrono::duration<double>(Clk::now() - signalled).count();
    EXPECT_EQ(r->exitCode, 128 + signal) << test::describe(*r) << " after " << seconds << " s";
    EXPECT_EQ(lineState(line), found);
    EXPECT_FALSE(device.restarted());
    ::close(line);
  }
}

}  // namespace
}  // namespace kestrel
