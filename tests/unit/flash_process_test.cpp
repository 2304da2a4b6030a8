// kestrel-flash as a process: the real binary with its descriptors, signals, files and the port it
// is given, against the simulated serial boot loader on a pseudo-terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli/sha256.h"
#include "sim/elf_builder.h"
#include "sim/serial_boot_sim.h"
#include "support/pty_peer.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace kestrel {
namespace {

using Clk = std::chrono::steady_clock;

// How the program's standard output is set up.
enum class Stdout {
  Pipe,    // a pipe the test reads
  Closed,  // no descriptor 1 at all: `kestrel-flash ... >&-`
  Given,   // the descriptor in Launch::stdoutFd
};

struct Launch {
  std::vector<std::string> args;
  Stdout stdoutMode = Stdout::Pipe;
  int stdoutFd = -1;
  std::optional<uid_t> user;            // run as this user (and its group, 65534 for nobody)
  std::optional<rlim_t> fileSizeLimit;  // `ulimit -f`, in bytes
  bool errToOut = false;                // stderr goes where stdout goes: `2>&1`
  std::optional<rlim_t> addressSpace;   // RLIMIT_AS in bytes, as `prlimit --as`
  // The terminal it runs in: its controlling terminal and its standard input. Without one it runs
  // in a session of its own, with no controlling terminal.
  std::string terminal;
  std::vector<int> ignored;  // signals it is started with ignored, as nohup does
};

// The binary under test: the build's, unless the environment names another (an installed one).
const char* flashBinary() {
  const char* other = std::getenv("KESTREL_FLASH_UNDER_TEST");
  return other && *other ? other : KESTREL_FLASH_BINARY;
}

// A terminal's settings as they matter to a program that uses it next.
struct Settings {
  termios tio{};
  int exclusive = -1;  // TIOCGEXCL
  bool operator==(const Settings& o) const {
    return tio.c_iflag == o.tio.c_iflag && tio.c_oflag == o.tio.c_oflag &&
           tio.c_lflag == o.tio.c_lflag && tio.c_cflag == o.tio.c_cflag &&
           ::cfgetospeed(&tio) == ::cfgetospeed(&o.tio) &&
           ::cfgetispeed(&tio) == ::cfgetispeed(&o.tio) &&
           std::memcmp(tio.c_cc, o.tio.c_cc, sizeof tio.c_cc) == 0 && exclusive == o.exclusive;
  }
};

void PrintTo(const Settings& s, std::ostream* os) {
  *os << "iflag " << s.tio.c_iflag << " oflag " << s.tio.c_oflag << " lflag " << s.tio.c_lflag
      << " cflag " << s.tio.c_cflag << " speed " << ::cfgetospeed(&s.tio) << " min "
      << int(s.tio.c_cc[VMIN]) << " exclusive " << s.exclusive;
}

Settings settingsOf(const std::string& path) {
  Settings s;
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  EXPECT_EQ(::tcgetattr(fd, &s.tio), 0);
  EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &s.exclusive), 0);
  ::close(fd);
  return s;
}

// A new pseudo-terminal, cooked as a user's terminal is; closed at the end.
class FreshTerminal {
 public:
  FreshTerminal() {
    char name[256];
    EXPECT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    name_ = name;
  }
  ~FreshTerminal() {
    ::close(slave_);
    ::close(master_);
  }
  const std::string& name() const { return name_; }

 private:
  int master_ = -1, slave_ = -1;
  std::string name_;
};

// True when nobody holds the advisory lock on `path` (this program's claim on a port).
bool unlocked(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) ::close(fd);
  return free;
}

// Reads `fd` until its writers have all gone, for at most `patience`.
std::string drain(int fd, std::chrono::milliseconds patience = test::kPatience) {
  std::string text;
  const auto until = Clk::now() + patience;
  while (Clk::now() < until) {
    pollfd p = {fd, POLLIN, 0};
    if (::poll(&p, 1, 10) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return text;
    text.append(buf, size_t(n));
  }
  ADD_FAILURE() << "waited " << patience.count() << " ms for the output to end";
  return text;
}

// A pipe of one page, filled up: whoever writes to it next has to wait for its reader.
std::array<int, 2> fullPipe() {
  std::array<int, 2> fds{};
  EXPECT_EQ(::pipe2(fds.data(), O_CLOEXEC), 0);
  ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  std::string fill(4096, 'x');
  while (::write(fds[1], fill.data(), fill.size()) > 0) {
  }
  ::fcntl(fds[1], F_SETFL, 0);
  return fds;
}

// The text after the bytes fullPipe() put in.
std::string afterTheFill(const std::string& text) {
  return text.substr(std::min(text.find_first_not_of('x'), text.size()));
}

// The last line of `text`.
std::string lastLine(const std::string& text) {
  size_t end = text.find_last_not_of('\n');
  if (end == std::string::npos) return "";
  size_t start = text.rfind('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start + 1));
}

struct Child {
  pid_t pid = -1;
  int out = -1;  // the test's end of the program's stdout, when a pipe
  int err = -1;  // the test's end of its stderr
};

struct Result {
  int code = -1;  // the exit code, or 128 + the signal that ended it
  std::string out, err;
};

int codeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

class FlashProcess : public ::testing::Test {
 protected:
  // The children find their COM ports in the test's folder.
  FlashProcess() { ::setenv("KESTREL_COM_DIR", dir.path().c_str(), 1); }
  ~FlashProcess() override {
    for (pid_t pid : children_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    ::unsetenv("KESTREL_COM_DIR");
  }

  // Starts kestrel-flash. Between fork and exec the child only rearranges descriptors and
  // identities, so a test process with threads may fork it.
  Child start(const Launch& l) {
    std::vector<std::string> store = {flashBinary()};
    store.insert(store.end(), l.args.begin(), l.args.end());
    std::vector<char*> argv;
    for (auto& a : store) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2] = {-1, -1}, err[2];
    if (l.stdoutMode == Stdout::Pipe) {
      EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    }
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      ::dup2(null, 0);
      if (!l.terminal.empty()) {
        // The first terminal a session leader opens becomes its controlling terminal.
        int tty = ::open(l.terminal.c_str(), O_RDWR);
        if (tty < 0 || ::dup2(tty, 0) < 0) ::_exit(125);
      }
      if (l.stdoutMode == Stdout::Closed) ::close(1);
      if (l.stdoutMode == Stdout::Pipe) ::dup2(out[1], 1);
      if (l.stdoutMode == Stdout::Given) ::dup2(l.stdoutFd, 1);
      ::dup2(l.errToOut ? 1 : err[1], 2);
      // The program decides for itself what a file size limit and the requests to end do to it,
      // whatever the test runner ignores (nohup).
      for (int signal : {SIGXFSZ, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(signal, SIG_DFL);
      for (int signal : l.ignored) ::signal(signal, SIG_IGN);
      if (l.fileSizeLimit) {
        rlimit limit{*l.fileSizeLimit, *l.fileSizeLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
      }
      if (l.addressSpace) {
        rlimit limit = {*l.addressSpace, *l.addressSpace};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(124);
      }
      if (l.user && (::setgid(*l.user) != 0 || ::setuid(*l.user) != 0)) ::_exit(126);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(null);
    if (out[1] >= 0) ::close(out[1]);
    ::close(err[1]);
    children_.push_back(pid);
    return {pid, out[0], err[0]};
  }

  // Reads the child's pipes until both end, then waits for it; gives up after `patience`.
  Result finish(Child c, std::chrono::milliseconds patience = test::kPatience) {
    Result r;
    const auto until = Clk::now() + patience;
    std::vector<pollfd> fds;
    if (c.out >= 0) fds.push_back({c.out, POLLIN, 0});
    if (c.err >= 0) fds.push_back({c.err, POLLIN, 0});
    while (!fds.empty() && Clk::now() < until) {
      if (::poll(fds.data(), fds.size(), 10) <= 0) continue;
      for (size_t i = 0; i < fds.size();) {
        char buf[4096];
        ssize_t n = fds[i].revents ? ::read(fds[i].fd, buf, sizeof buf) : 1;
        if (n > 0 && fds[i].revents) (fds[i].fd == c.out ? r.out : r.err).append(buf, size_t(n));
        if (n <= 0) {
          ::close(fds[i].fd);
          fds.erase(fds.begin() + long(i));
        } else {
          fds[i].revents = 0;
          ++i;
        }
      }
    }
    for (auto& f : fds) ::close(f.fd);
    std::optional<int> status = waitExit(c.pid, until);
    EXPECT_TRUE(status) << "waited " << patience.count() << " ms for kestrel-flash to end";
    if (status) r.code = codeOf(*status);
    return r;
  }

  Result run(std::vector<std::string> args) { return finish(start({std::move(args)})); }

  // The child's wait status, or nothing when it has not ended by `until`.
  std::optional<int> waitExit(pid_t pid, Clk::time_point until) {
    for (;;) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        std::erase(children_, pid);
        return status;
      }
      if (Clk::now() > until) return std::nullopt;
      ::usleep(1000);
    }
  }

  void firmware(size_t size, const std::string& name = "fw.out") {
    image = sim::patternBytes(size, 71);
    test::writeFile(name, sim::ElfBuilder().add(0, image).build());
  }
  void device(sim::SerialFaults faults = {}) {
    sim = std::make_unique<sim::SerialBootSim>(std::move(faults));
    sim->linkAs(dir.path(), "COM1");
  }
  // What the device should get after the search: every byte of the protocol and nothing else.
  std::vector<uint8_t> protocolBytes() const {
    std::vector<uint8_t> wire = {'U', 'C', 'L', 'R', 'U'};
    size_t blocks = (image.size() + 2047) / 2048;
    std::vector<size_t> order;
    for (size_t k = 1; k < blocks; ++k) order.push_back(k);
    order.push_back(0);
    for (size_t k : order) {
      wire.insert(wire.end(), {'U', 'F', 'L', 'H', 'U'});
      uint16_t page = uint16_t(k * 8);
      wire.push_back(uint8_t(page >> 8));
      wire.push_back(uint8_t(page));
      uint8_t sum = 0;
      for (size_t i = 0; i < 2048; ++i) {
        uint8_t b = k * 2048 + i < image.size() ? image[k * 2048 + i] : 0;
        wire.push_back(b);
        sum = uint8_t(sum + b);
      }
      wire.push_back(uint8_t(sum + page));
    }
    wire.insert(wire.end(), {'U', 'R', 'B', 'T', 'U'});
    return wire;
  }
  // The line as the device got it: wake bytes and probes, then exactly the protocol.
  void expectOnlyTheProtocol() {
    ASSERT_TRUE(sim->waitForRestart(int(test::kPatience.count())));
    std::vector<uint8_t> line;
    for (const auto& b : sim->received()) line.push_back(b.byte);
    auto start = std::find(line.begin(), line.end(), uint8_t('U'));
    for (auto it = line.begin(); it != start; ++it) {
      EXPECT_TRUE(*it == 0xA2 || *it == 0xA5) << "stray byte " << int(*it) << " before UCLRU";
    }
    EXPECT_EQ(std::vector<uint8_t>(start, line.end()), protocolBytes());
  }

  test::TempDir dir;
  test::ScopedEnv lockFolder{"KESTREL_LOCK_DIR", dir.path().string()};
  std::unique_ptr<sim::SerialBootSim> sim;
  std::vector<uint8_t> image;

 private:
  std::vector<pid_t> children_;
};

// With descriptor 1 closed, the port must not become descriptor 1 and get the console's text.
TEST_F(FlashProcess, ClosedStandardOutputKeepsTheLineToTheProtocol) {
  firmware(5000);
  for (bool json : {false, true}) {
    SCOPED_TRACE(json);
    device();
    Launch l{{"--port", "COM1", "fw.out"}, Stdout::Closed};
    if (json) l.args.insert(l.args.begin(), "--json");
    Result r = finish(start(l));
    EXPECT_EQ(r.code, 0) << r.err;
    expectOnlyTheProtocol();
  }
}

// `kestrel-flash ... | head -1`: the reader goes, the update runs to its end.
TEST_F(FlashProcess, OutputThatGoesAwayDoesNotEndTheUpdate) {
  firmware(20000);
  device();
  Child c = start({{"--port", "COM1", "fw.out"}});
  std::string first;
  char ch;
  while (::read(c.out, &ch, 1) == 1 && ch != '\n') first += ch;
  ::close(c.out);  // as head does after its line
  c.out = -1;
  Result r = finish(c);
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(r.code, 0) << r.err;
  expectOnlyTheProtocol();
}

// A full pipe that nobody reads holds up no signal: SIGTERM ends the update in bounded time.
TEST_F(FlashProcess, SignalEndsTheUpdateWhileOutputIsBlocked) {
  firmware(0x40000);
  device({.paced = true});  // some 23 s at the line's real speed
  int pipefd[2];
  ASSERT_EQ(::pipe2(pipefd, O_CLOEXEC | O_NONBLOCK), 0);
  ::fcntl(pipefd[1], F_SETPIPE_SZ, 4096);
  std::string fill(65536, 'x');
  while (::write(pipefd[1], fill.data(), fill.size()) > 0) {
  }
  ::fcntl(pipefd[1], F_SETFL, 0);  // the program's writes block
  Child c = start({{"--port", "COM1", "fw.out"}, Stdout::Given, pipefd[1]});
  ::close(pipefd[1]);
  ASSERT_TRUE(test::eventually([&] { return sim->pages().size() >= 2; }, "two blocks"));
  auto sent = Clk::now();
  ::kill(c.pid, SIGTERM);
  Result r = finish(c, std::chrono::seconds(10));
  EXPECT_LT(Clk::now() - sent, std::chrono::seconds(5));
  EXPECT_EQ(r.code, 130);
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex("interrupted after the device acknowledged blocks? 1( to [0-9]+)? of 128 "
                        "\\(block 0 goes last\\); the device has no working firmware until an "
                        "update completes")))
      << r.err;
  ::close(pipefd[0]);
}

// Two runs on one port, the second started as the first closes the port after its wake bytes to
// reopen it 100 ms later: the port stays the first run's until it ends. The second is refused as a
// port in use, and not one byte of it reaches the device.
TEST_F(FlashProcess, ASecondRunOnTheSamePortIsRefusedAndSendsNothing) {
  firmware(9000);
  device();
  int wakeBytes = 0;  // the simulator's thread alone counts
  std::atomic<bool> wokenUp{false};
  sim->onByte([&](uint8_t byte, uint32_t baud) {
    if (byte == 0xA2 && baud == 9600 && ++wakeBytes == 2) wokenUp = true;
  });
  Child first = start({{"--port", "COM1", "fw.out"}});
  ASSERT_TRUE(test::eventually([&] { return wokenUp.load(); }, "the first run's wake bytes"));
  Result second = finish(start({{"--port", "COM1", "--search-timeout", "2", "fw.out"}}));
  Result done = finish(first);
  EXPECT_EQ(done.code, 0) << done.err;
  EXPECT_EQ(second.code, 4) << second.err;
  EXPECT_NE(second.err.find("port COM1 cannot be opened: " + (dir.path() / "COM1").string() +
                            ": in use by another program"),
            std::string::npos)
      << second.err;
  expectOnlyTheProtocol();
  std::vector<uint8_t> slow;  // at 9600 bit/s: the first run's two wake bytes alone
  for (const auto& b : sim->received()) {
    if (b.baud == 9600) slow.push_back(b.byte);
  }
  EXPECT_EQ(slow, (std::vector<uint8_t>{0xA2, 0xA2}));
}

// A line that stops taking bytes after the device answered (tcflow on the far end, as XOFF or a
// low CTS would): the update ends with the failure of its step, not a hang, and the outcome says
// that the line is held up.
TEST_F(FlashProcess, AHeldUpLineEndsTheUpdateWithExit7) {
  firmware(9000);  // five blocks: exchange 1 carries block 2
  device({.holdLineAt = 1});
  Result r = finish(start({{"--json", "--port", "COM1", "fw.out"}}), std::chrono::seconds(30));
  EXPECT_EQ(r.code, 7) << r.err;
  EXPECT_NE(r.out.find("\"exit_code\":7,\"reason\":\"the line is held up (flow control?) at "
                       "block 2 (page address 16); the device has no working firmware until an "
                       "update completes\",\"cause\":\"line_held_up\",\"step\":\"block_data\","
                       "\"block\":2,\"device\":\"incomplete\",\"blocks_acknowledged\":1}"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(sim->pages().size(), 1u);
}

// The device gets the image this run converted, though the file is rewritten meanwhile.
TEST_F(FlashProcess, TheImageSentIsTheImageConverted) {
  firmware(9000);
  device();
  sim->onByte([](uint8_t byte, uint32_t) {
    if (byte == 0xA2) test::writeFile("fw.bin", std::vector<uint8_t>(12000, 0x5E));
  });
  Result r = run({"--port", "COM1", "fw.out"});
  EXPECT_EQ(r.code, 0) << r.err;
  expectOnlyTheProtocol();

  // A dry run's SHA-256 is of the bytes it made, which are those it writes.
  r = run({"--dry-run", "--output", "image.bin", "fw.out"});
  EXPECT_EQ(r.code, 0) << r.err;
  std::string sha = sha256Hex(image.data(), image.size());
  EXPECT_NE(r.out.find("sha256        " + sha), std::string::npos) << r.out;
  auto written = test::readFile("image.bin");
  EXPECT_EQ(sha256Hex(written.data(), written.size()), sha);
}

// A terminal given as the port gets its settings back when the program is done with it.
TEST_F(FlashProcess, ThePortIsLeftAsItWasFound) {
  FreshTerminal terminal;
  const std::string& name = terminal.name();
  Settings before = settingsOf(name);
  ASSERT_TRUE(before.tio.c_lflag & ICANON);  // a fresh terminal, cooked
  firmware(100);
  Result r = run({"--port", name, "--search-timeout", "1", "fw.out"});
  EXPECT_EQ(r.code, 5) << r.err;
  EXPECT_EQ(settingsOf(name), before);
  EXPECT_TRUE(unlocked(name));
}

TEST_F(FlashProcess, SearchTimeoutOutsideOneSecondToADayIsRefused) {
  firmware(100);
  for (const char* value :
       {"inf", "nan", "1e999", "9e18", "4294967.296", "86401", "0.5", "0", "-3", "", "10s"}) {
    SCOPED_TRACE(value);
    Result r = run({"--search-timeout", value, "fw.out"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--search-timeout takes a number of seconds from 1 to 86400"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Try 'kestrel-flash --help'"), std::string::npos);
  }
}

// The image is written through a temporary file of an unpredictable name, short enough for any
// title: names planted where the file used to go block nothing.
TEST_F(FlashProcess, PlantedTemporaryNamesBlockNothing) {
  firmware(3000);
  int last = 0;
  std::ifstream("/proc/sys/kernel/ns_last_pid") >> last;
  for (int pid = last + 1; pid <= last + 64; ++pid) {
    test::writeFile("fw.bin.tmp" + std::to_string(pid) + "_0", {0xBA, 0xD0});
  }
  Result r = run({"--port", "COM9", "fw.out"});  // converts, then finds no port
  EXPECT_EQ(r.code, 4) << r.err;
  EXPECT_EQ(test::readFile("fw.bin"), image);

  std::string title(251, 't');  // the longest title whose .out and .bin names are legal
  firmware(3000, title + ".out");
  r = run({"--port", "COM9", title + ".out"});
  EXPECT_EQ(r.code, 4) << r.err;
  EXPECT_EQ(test::readFile(title + ".bin"), image);
}

TEST_F(FlashProcess, MessagesNameTheFileAndTheReason) {
  std::filesystem::create_directory("folder.out");
  ASSERT_EQ(::mkfifo("pipe.out", 0644), 0);
  struct Row {
    std::string file;
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"missing.out", "conversion refused: missing.out: No such file or directory"},
      {"folder.out", "conversion refused: folder.out: Is a directory"},
      {"pipe.out", "conversion refused: pipe.out: not a regular file"},
      {std::string(300, 'n') + ".out", ": File name too long"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file.substr(0, 20));
    Result r = run({"--port", "COM1", row.file});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find(row.reason), std::string::npos) << r.err;
  }

  // A device lost during the search is a device gone, not a silent one.
  firmware(100);
  device({.hangUpOnProbe = true});
  Result r = run({"--port", "COM1", "--search-timeout", "5", "fw.out"});
  EXPECT_EQ(r.code, 7) << r.err;
  EXPECT_NE(r.err.find("the device went away during the search"), std::string::npos) << r.err;

  // --list says what a port's path is when it is no terminal.
  test::writeFile("file", {1});
  std::filesystem::create_symlink(dir.path() / "file", dir.path() / "COM3");
  std::filesystem::create_symlink(dir.path() / "folder.out", dir.path() / "COM4");
  std::filesystem::create_symlink(dir.path() / "pipe.out", dir.path() / "COM5");
  r = run({"--list"});
  EXPECT_EQ(r.code, 0) << r.err;
  for (const char* kind : {"COM3  .*present, but a regular file, not a serial port",
                           "COM4  .*present, but a directory, not a serial port",
                           "COM5  .*present, but a FIFO, not a serial port"}) {
    EXPECT_TRUE(std::regex_search(r.out, std::regex(kind))) << kind << "\n" << r.out;
  }
}

// The image file keeps what the user set: its mode, owner and group, a read-only mark, and a
// writable file in a folder where no new file can be made.
TEST_F(FlashProcess, TheImageFileKeepsWhatTheUserSet) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  firmware(3000);
  auto stat = [](const char* path) {
    struct stat st {};
    EXPECT_EQ(::stat(path, &st), 0) << path;
    return st;
  };
  test::writeFile("fw.bin", {1, 2, 3});
  ASSERT_EQ(::chown("fw.bin", 65534, 65534), 0);
  ASSERT_EQ(::chmod("fw.bin", 0640), 0);
  Result r = run({"--port", "COM9", "fw.out"});  // converts, then finds no port
  EXPECT_EQ(r.code, 4) << r.err;
  EXPECT_EQ(test::readFile("fw.bin"), image);
  EXPECT_EQ(stat("fw.bin").st_mode & 07777, 0640u);
  EXPECT_EQ(stat("fw.bin").st_uid, 65534u);
  EXPECT_EQ(stat("fw.bin").st_gid, 65534u);

  test::writeFile("fw.bin", {1, 2, 3});
  ASSERT_EQ(::chmod("fw.bin", 0444), 0);
  r = run({"--port", "COM9", "fw.out"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("Cannot write fw.bin: Permission denied (the file is read-only)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(test::readFile("fw.bin"), (std::vector<uint8_t>{1, 2, 3}));

  // A folder that takes no new file from this user, holding an image file that user may write.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod("fw.bin", 0666), 0);
  ASSERT_EQ(::chmod("fw.out", 0644), 0);
  r = finish(start({{"--port", "COM9", "fw.out"}, Stdout::Pipe, -1, 65534}));
  EXPECT_EQ(r.code, 4) << r.err;
  EXPECT_EQ(test::readFile("fw.bin"), image);
}

// The names in `folder`, sorted.
std::vector<std::string> namesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// An image that does not fit leaves the old one as it was and nothing else behind, whether it goes
// through a temporary file or, in a folder that takes no new file, in place; a full disk and a
// file size limit (`ulimit -f`) alike, the limit without ending the program.
TEST_F(FlashProcess, AnImageThatDoesNotFitKeepsTheOldOne) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become a user without rights";
  firmware(131072);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);  // the user reaches the folders below
  ASSERT_EQ(::chmod("fw.out", 0644), 0);
  const std::vector<uint8_t> old(40000, 0x5A);
  struct Row {
    const char* name;
    bool inPlace;   // as a user who may write the image file but not its folder
    bool fullDisk;  // a disk of 64 KiB, with the old file on it; otherwise a 50000-byte limit
    const char* reason;
  };
  const Row rows[] = {
      {"size limit", false, false, "File too large"},
      {"size limit, in place", true, false, "File too large (the file is left as it was)"},
      {"full disk", false, true, "No space left on device"},
      {"full disk, in place", true, true, "No space left on device (the file is left as it was)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::filesystem::path folder =
        dir.path() / (std::string("f") + std::to_string(&row - rows));
    std::filesystem::create_directory(folder);
    const std::string bin = (folder / "fw.bin").string();
    Launch l{{"--port", "COM9", "--output", bin, "fw.out"}};
    if (row.inPlace) l.user = 65534;
    if (!row.fullDisk) l.fileSizeLimit = 50000;
    auto attempt = [&] {
      test::writeFile(bin, old);
      ASSERT_EQ(::chmod(bin.c_str(), 0666), 0);
      Result r = finish(start(l));
      EXPECT_EQ(r.code, 3) << r.err;
      EXPECT_NE(r.err.find("Cannot write " + bin + ": " + row.reason), std::string::npos) << r.err;
      EXPECT_EQ(test::readFile(bin), old);
      EXPECT_EQ(namesIn(folder), std::vector<std::string>{"fw.bin"});
    };
    if (!row.fullDisk) {
      attempt();
      continue;
    }
    // The small disk is mounted in a mount namespace of a thread of its own, which the program
    // started from that thread shares; it goes away with the thread.
    std::string skipped;
    std::thread([&] {
      if (::unshare(CLONE_NEWNS) != 0 ||
          ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("kestrel-full", folder.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) {
        skipped = std::string("no small disk can be mounted here: ") + std::strerror(errno);
        return;
      }
      attempt();
      ::umount(folder.c_str());
    }).join();
    if (!skipped.empty()) GTEST_SKIP() << skipped;
  }
}

// A path that the system takes is not refused because a temporary name beside it would be too long.
TEST_F(FlashProcess, TheLongestPathThatFitsTakesTheImage) {
  std::string folder;
  while (folder.size() + 200 < 4086 - 7) folder += std::string(199, 'd') + "/";
  folder += std::string(4086 - 7 - folder.size(), 'e') + "/";
  std::filesystem::create_directories(folder);
  const std::string title = folder + "fw";
  ASSERT_EQ((title + ".bin").size(), 4086u);
  firmware(3000, title + ".out");
  Result r = run({"--port", "COM9", title + ".out"});
  EXPECT_EQ(r.code, 4) << r.err;  // converted, then no port
  EXPECT_EQ(test::readFile(title + ".bin"), image);
  EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"fw.bin", "fw.out"}));
}

// As a user without rights, where the test can become one: the port exists but may not be
// opened, and both --list and the update say so and name the fix.
TEST_F(FlashProcess, PortWithoutPermissionNamesTheFix) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become a user without rights";
  firmware(100);
  device();
  ::chmod(sim->devicePath().c_str(), 0600);
  ::chmod(dir.path().c_str(), 0777);  // the user may write the image beside the ELF file
  ::chmod("fw.out", 0644);
  Result r = finish(start({{"--list"}, Stdout::Pipe, -1, 65534}));
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("present, cannot be opened: Permission denied (the port exists but this "
                       "user may not open it: add yourself to the dialout group"),
            std::string::npos)
      << r.out;
  r = finish(start({{"--port", "COM1", "--quiet", "fw.out"}, Stdout::Pipe, -1, 65534}));
  EXPECT_EQ(r.code, 4);
  EXPECT_NE(r.err.find("port COM1 cannot be opened: " + (dir.path() / "COM1").string() +
                       ": Permission denied (the port exists but this user may not open it"),
            std::string::npos)
      << r.err;
}

// Every request to end, whatever sent it (Ctrl+C, kill, a closed terminal or SSH session, Ctrl+\),
// ends a running update within seconds with its last words, and leaves the port as it was found:
// its settings, its exclusive mode and its lock.
TEST_F(FlashProcess, EveryRequestToEndLeavesThePortAsFound) {
  firmware(0x40000);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signal));
    device({.paced = true});  // some 23 s at the line's real speed
    const Settings before = settingsOf(sim->devicePath());
    Child c = start({{"--json", "--port", "COM1", "fw.out"}});
    ASSERT_TRUE(test::eventually([&] { return sim->pages().size() >= 2; }, "two blocks"));
    auto sent = Clk::now();
    ::kill(c.pid, signal);
    Result r = finish(c, std::chrono::seconds(10));
    EXPECT_LT(Clk::now() - sent, std::chrono::seconds(5));
    EXPECT_EQ(r.code, 130) << r.err;
    std::string end = lastLine(r.out);
    EXPECT_EQ(end.rfind(R"({"event":"end","result":"failed","exit_code":130,)", 0), 0u) << end;
    EXPECT_NE(end.find(R"("cause":"interrupted","device":"incomplete")"), std::string::npos) << end;
    EXPECT_EQ(settingsOf(sim->devicePath()), before);
    EXPECT_TRUE(unlocked(sim->devicePath()));
  }

  // Started with SIGHUP ignored (nohup), it goes on when the terminal closes.
  device({.paced = true});
  Launch l{{"--port", "COM1", "fw.out"}};
  l.ignored = {SIGHUP};
  Child c = start(l);
  ASSERT_TRUE(test::eventually([&] { return sim->pages().size() >= 2; }, "two blocks"));
  ::kill(c.pid, SIGHUP);
  EXPECT_TRUE(test::eventually([&] { return sim->pages().size() >= 4; }, "two more blocks"));
  ::kill(c.pid, SIGTERM);
  EXPECT_EQ(finish(c, std::chrono::seconds(10)).code, 130);
}

// Interrupted during the search, the device has been woken into boot mode, and the last line says
// so; nothing of the download has gone out.
TEST_F(FlashProcess, InterruptDuringTheSearchSaysTheDeviceWasWoken) {
  firmware(100);
  for (bool json : {false, true}) {
    SCOPED_TRACE(json);
    device({.silent = true});
    std::atomic<pid_t> pid{0};
    std::atomic<bool> sent{false};
    sim->onByte([&](uint8_t byte, uint32_t) {
      if (byte != 0xA5 || sent.exchange(true)) return;
      EXPECT_TRUE(test::eventually([&] { return pid.load() != 0; }, "the child's pid"));
      ::kill(pid, SIGINT);
    });
    Launch l{{"--port", "COM1", "fw.out"}};
    if (json) l.args.insert(l.args.begin(), "--json");
    Child c = start(l);
    pid = c.pid;
    Result r = finish(c);
    EXPECT_EQ(r.code, 130) << r.err;
    if (json) {
      EXPECT_NE(lastLine(r.out).find(R"("cause":"interrupted","device":"woken")"),
                std::string::npos)
          << r.out;
    } else {
      EXPECT_EQ(r.err,
                "kestrel-flash: interrupted after the device was woken into boot mode; nothing was "
                "written to it, and it may wait in its boot loader until it is reset\n");
    }
    for (const auto& b : sim->received()) {
      EXPECT_TRUE(b.byte == 0xA2 || b.byte == 0xA5) << "byte " << int(b.byte);
    }
  }
}

// The terminal the program runs in, by any name, is no port: raw mode would turn Ctrl+C into a
// byte on the line, and nothing could stop the update any more.
TEST_F(FlashProcess, TheTerminalItRunsInIsRefusedAsAPort) {
  FreshTerminal terminal;
  const std::string& name = terminal.name();
  std::filesystem::create_symlink(name, dir.path() / "COM1");
  const Settings before = settingsOf(name);
  firmware(100);
  for (std::string port : {std::string(name), std::string("/dev/tty"), std::string("/dev/stdin"),
                           std::string("COM1")}) {
    SCOPED_TRACE(port);
    Launch l{{"--port", port, "--search-timeout", "1", "fw.out"}};
    l.terminal = name;
    Result r = finish(start(l));
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("kestrel-flash: port " + port + " is the terminal this program runs in"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(settingsOf(name), before);
  }
}

// --list says what an open would find now, without taking a port or changing it.
TEST_F(FlashProcess, ListTriesEachPortsOpen) {
  test::PtyPeer locked(dir.path(), "COM1"), exclusive(dir.path(), "COM2"), free(dir.path(), "COM3");
  std::filesystem::create_symlink("/dev/tty", dir.path() / "COM4");
  int lock = ::open(locked.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  int excl = ::open(exclusive.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_EQ(::ioctl(excl, TIOCEXCL), 0);
  const Settings before = settingsOf(free.path());
  Result r = run({"--list"});  // in a session of its own: no controlling terminal
  EXPECT_EQ(r.code, 0) << r.err;
  for (const char* line : {"COM1  [^\n]*  present, in use by another program\n",
                           "COM2  [^\n]*  present, in use by another program\n",
                           "COM3  [^\n]*  present, can be opened\n",
                           "COM4  [^\n]*  present, cannot be opened: this program has no "
                           "controlling terminal\n"}) {
    EXPECT_TRUE(std::regex_search(r.out, std::regex(line))) << line << "\n" << r.out;
  }
  EXPECT_EQ(settingsOf(free.path()), before);
  EXPECT_TRUE(free.receive(1, std::chrono::milliseconds(0)).empty());  // not a byte sent
  EXPECT_TRUE(unlocked(free.path()));

  r = run({"--json", "--list"});
  EXPECT_NE(r.out.find(R"("name":"COM1","path":")" + (dir.path() / "COM1").string() +
                       R"(","state":"in_use"})"),
            std::string::npos)
      << r.out;
  ::close(lock);
  ::close(excl);
}

// Starved of memory (prlimit --as) at whatever limit, the program says so and exits 1, with the end
// object in JSON; it never dies in std::terminate.
TEST_F(FlashProcess, StarvedOfMemoryItSaysSoAndExitsOne) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer maps terabytes of shadow memory before main(): under an address-space limit its
  // own allocator fails first, and what is seen is the sanitizer's ending, not the program's.
  GTEST_SKIP() << "an address-space limit starves the sanitizer, not the program";
#endif
  firmware(5000);
  for (rlim_t mib = 6; mib <= 40; mib += 2) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--dry-run", "fw.out"},
          std::vector<std::string>{"--json", "--port", "COM1", "fw.out"}}) {
      SCOPED_TRACE(std::to_string(mib) + " MiB " + args[0]);
      device();
      Launch l{args};
      l.addressSpace = mib << 20;
      Result r = finish(start(l));
      // At the lowest limits the dynamic loader cannot map the program and its libraries: none of
      // the program runs, and the loader's own words and exit status 127 are all there is.
      if (mib < 10 && r.code == 127 &&
          r.err.find("error while loading shared libraries") != std::string::npos) {
        continue;
      }
      EXPECT_TRUE(r.code == 0 || r.code == 1) << r.code << "\n" << r.out << r.err;
      // In JSON the reason is the end object's; below some 8 MiB not even the command line can
      // be read, and only the words on stderr come.
      const bool json = args[0] == "--json" && mib >= 8;
      if (json) {
        EXPECT_EQ(lastLine(r.out).rfind(R"({"event":"end",)", 0), 0u) << r.out << r.err;
      }
      if (r.code == 1) {
        EXPECT_TRUE(std::regex_search(json ? lastLine(r.out) : r.err, std::regex("memory|thread")))
            << r.out << r.err;
      }
    }
  }
}

// `kestrel-flash ... 2>&1 | tee log`: the failure's line comes last, after everything the update
// printed before it, however slowly the reader reads.
TEST_F(FlashProcess, TheLastLineComesLastWhenBothOutputsAreOne) {
  firmware(100);
  device({.silent = true});
  std::array<int, 2> pipe = fullPipe();
  Launch l{{"--port", "COM1", "--search-timeout", "1", "fw.out"}, Stdout::Given, pipe[1]};
  l.errToOut = true;
  Child c = start(l);
  ::close(pipe[1]);
  // Everything is written while the reader is behind: the update ends when the program lets go
  // of the port.
  auto holdsThePort = [&] {
    std::error_code ec;
    for (const auto& fd :
         std::filesystem::directory_iterator("/proc/" + std::to_string(c.pid) + "/fd", ec)) {
      if (std::filesystem::read_symlink(fd.path(), ec) == sim->devicePath()) return true;
    }
    return false;
  };
  ASSERT_TRUE(test::eventually([&] { return sim->receivedCount() > 2; }, "the search"));
  ASSERT_TRUE(test::eventually([&] { return !holdsThePort(); }, "the port to be let go"));
  std::string text = afterTheFill(drain(pipe[0]));
  Result r = finish(c);
  EXPECT_EQ(r.code, 5);
  EXPECT_NE(text.find("Search Device...\n"), std::string::npos) << text;
  EXPECT_EQ(lastLine(text).rfind("kestrel-flash: no answer from the boot loader on COM1", 0), 0u)
      << text;
  ::close(pipe[0]);
}

// A standard output that another program made non-blocking, full for a while: the program waits
// for its reader instead of giving the output up.
TEST_F(FlashProcess, AFullNonBlockingOutputIsWaitedFor) {
  firmware(20000);
  device();
  std::array<int, 2> pipe = fullPipe();
  ::fcntl(pipe[1], F_SETFL, O_NONBLOCK);  // on the pipe itself, shared with the program
  Child c = start({{"--port", "COM1", "fw.out"}, Stdout::Given, pipe[1]});
  ::close(pipe[1]);
  // Every line is written while the pipe is full; then it is read.
  ASSERT_TRUE(sim->waitForRestart(int(test::kPatience.count())));
  std::string text = afterTheFill(drain(pipe[0]));
  Result r = finish(c);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(text.rfind("progress 0%\nSearch Device...\n", 0), 0u) << text;
  EXPECT_EQ(lastLine(text),
            "download finished: fw.out (20000 bytes, 10 blocks) on COM1; image in fw.bin");
  ::close(pipe[0]);
}

}  // namespace
}  // namespace kestrel
