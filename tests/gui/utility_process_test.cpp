// kestrel-utility as a process: the real binary, its start without a display and its end on a
// termination signal in the middle of an update, against the simulated serial boot loader on a
// pseudo-terminal. The window is worked by the test's Qt plugin (driver_plugin.cpp).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/elf_builder.h"
#include "sim/serial_boot_sim.h"
#include "support/temp_dir.h"
#include "support/wait.h"

extern char** environ;

namespace kestrel {
namespace {

using Clk = std::chrono::steady_clock;

struct Result {
  std::optional<int> exitCode;  // when it exited; nothing when a signal ended it
  int signal = 0;               // the signal that ended it
  std::string out, err;
};

// The environment of the test with `changes` made: a name mapped to nothing is removed.
std::vector<std::string> environmentWith(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (!changes.count(entry.substr(0, entry.find('=')))) out.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) out.push_back(name + "=" + *value);
  }
  return out;
}

// kestrel-utility started in the current folder with `env`; its output goes to pipes.
class Utility {
 public:
  explicit Utility(const std::vector<std::string>& env) {
    std::vector<std::string> envStore = env;
    std::string path = KESTREL_UTILITY_BINARY;
    std::vector<char*> argv = {path.data(), nullptr};
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec: the test has threads.
      ::dup2(null, 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(null);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Utility() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }
  Utility(const Utility&) = delete;
  Utility& operator=(const Utility&) = delete;

  bool started() const { return pid_ > 0; }
  void signal(int number) const { ::kill(pid_, number); }

  // Reads its output until it has ended, for at most `patience`; nothing when it has not ended.
  std::optional<Result> finish(std::chrono::milliseconds patience) {
    Result r;
    const auto until = Clk::now() + patience;
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    std::string* text[2] = {&r.out, &r.err};
    int status = 0;
    while (Clk::now() < until) {
      if (::poll(fds, 2, 10) > 0) {
        for (int i = 0; i < 2; ++i) {
          if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
          char buf[4096];
          ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
          if (n > 0) text[i]->append(buf, size_t(n));
          if (n <= 0) fds[i].fd = -1;
        }
      }
      if (fds[0].fd < 0 && fds[1].fd < 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
        return r;
      }
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool reaped_ = false;
};

std::string describe(const Result& r) {
  return (r.exitCode ? "exit " + std::to_string(*r.exitCode)
                     : "ended by signal " + std::to_string(r.signal)) +
         "; stdout \"" + r.out + "\"; stderr \"" + r.err + "\"";
}

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
    Utility utility(environmentWith(changes));
    ASSERT_TRUE(utility.started());
    std::optional<Result> r = utility.finish(test::kPatience);
    ASSERT_TRUE(r) << "kestrel-utility did not end within " << test::kPatience.count() << " ms";
    EXPECT_EQ(r->exitCode, 1) << describe(*r);
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

    Utility utility(environmentWith({
        {"QT_QPA_PLATFORM", "offscreen"},
        {"KESTREL_COM_DIR", dir.path().string()},
        {"QT_PLUGIN_PATH", KESTREL_TEST_QT_PLUGINS},
        {"QT_QPA_GENERIC_PLUGINS", "kestreldriver"},
        {"KESTREL_DRIVE_PORT", "1"},
        {"KESTREL_DRIVE_TITLE", "fw"},
    }));
    ASSERT_TRUE(utility.started());
    ASSERT_TRUE(test::eventually([&] { return device.pages().size() >= 2; },
                                 "the second block of the download", std::chrono::seconds(30)));
    EXPECT_NE(lineState(line), found) << "the update has the line";

    const auto signalled = Clk::now();
    utility.signal(signal);
    std::optional<Result> r = utility.finish(std::chrono::seconds(5));
    ASSERT_TRUE(r) << "kestrel-utility still ran 5 s after " << ::strsignal(signal);
    const double seconds = std::chrono::duration<double>(Clk::now() - signalled).count();
    EXPECT_EQ(r->exitCode, 128 + signal) << describe(*r) << " after " << seconds << " s";
    EXPECT_EQ(lineState(line), found);
    EXPECT_FALSE(device.restarted());
    ::close(line);
  }
}

}  // namespace
}  // namespace kestrel
