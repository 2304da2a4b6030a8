// kestrel-flash as a process: the real binary with its descriptors, signals, files and the port it
// is given, against the simulated serial boot loader on a pseudo-terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
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
};

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
    std::vector<std::string> store = {KESTREL_FLASH_BINARY};
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
      ::dup2(null, 0);
      if (l.stdoutMode == Stdout::Closed) ::close(1);
      if (l.stdoutMode == Stdout::Pipe) ::dup2(out[1], 1);
      if (l.stdoutMode == Stdout::Given) ::dup2(l.stdoutFd, 1);
      ::dup2(err[1], 2);
      // The program decides for itself what a file size limit does to it.
      ::signal(SIGXFSZ, SIG_DFL);
      if (l.fileSizeLimit) {
        rlimit limit{*l.fileSizeLimit, *l.fileSizeLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
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
                       "\"block\":2}"),
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
  int master, slave;
  char name[256];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  termios before{};
  ASSERT_EQ(::tcgetattr(slave, &before), 0);
  ASSERT_TRUE(before.c_lflag & ICANON);  // a fresh terminal, cooked
  firmware(100);
  Result r = run({"--port", name, "--search-timeout", "1", "fw.out"});
  EXPECT_EQ(r.code, 5) << r.err;
  termios after{};
  ASSERT_EQ(::tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
  EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc), 0);
  ::close(slave);
  ::close(master);
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

}  // namespace
}  // namespace kestrel
