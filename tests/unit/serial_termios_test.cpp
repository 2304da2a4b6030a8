// The serial link over real termios against a pseudo-terminal: the port's operations and read
// rules, and whole updates at the real line timing.

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "core/window_state.h"
#include "platform/backends.h"
#include "serial/serial_session.h"
#include "sim/elf_builder.h"
#include "sim/serial_boot_sim.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/pty_peer.h"
#include "support/scoped_env.h"
#include "support/serial_checks.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"
#include "support/wait.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

using sim::SerialFaults;
using test::eventually;
using test::Shown;

constexpr int kCom = test::kSerialTestCom;
const Shown& kFinished = test::kDownloadFinished;

std::vector<uint8_t> imageBytes(size_t n) {
  return test::serialTestImage(n);
}

void expectAtRest(const test::FakeWindow& w) {
  test::expectSerialAtRest(w);
}

using Clk = std::chrono::steady_clock;

double msSince(Clk::time_point t) {
  return std::chrono::duration<double, std::milli>(Clk::now() - t).count();
}

TEST(SerialNames, MapComNamesIntoTheComFolder) {
  EXPECT_EQ(portName(1), "COM1");
  EXPECT_EQ(portName(9), "COM9");
  ::setenv("KESTREL_COM_DIR", "/tmp/ports", 1);
  EXPECT_EQ(resolveSerialPortName("COM1"), "/tmp/ports/COM1");
  EXPECT_EQ(resolveSerialPortName("COM9"), "/tmp/ports/COM9");
  EXPECT_EQ(resolveSerialPortName(portName(0)), "");   // "USB Port" is no COM port
  EXPECT_EQ(resolveSerialPortName(portName(-1)), "");  // nothing selected
  ::unsetenv("KESTREL_COM_DIR");
}

class SerialSession : public ::testing::Test {
 protected:
  SerialSession() { ::setenv("KESTREL_COM_DIR", dir.path().c_str(), 1); }
  ~SerialSession() override { ::unsetenv("KESTREL_COM_DIR"); }

  test::TempDir dir;
  const std::filesystem::path locks = dir.path() / "locks";
  const bool locksMade = std::filesystem::create_directory(locks);
  test::ScopedEnv lockFolder{"KESTREL_LOCK_DIR", locks.string()};
  test::PtyPeer peer{dir.path(), "COM3"};
  test::NoHidDevices hid;
  test::FakeWindow w{systemClock(), posixSerialBackend(), hid};

  void open(int baudIndex) {
    w.selectPort(3);
    w.BaudIndex = baudIndex;
    ASSERT_TRUE(openPort(w));
  }
};

TEST_F(SerialSession, OpensTheSelectedPortAtTheSpeedOfBaudIndex) {
  open(4);
  EXPECT_EQ(peer.speed(), speed_t(B9600));
  closePort(w);
  open(0);
  EXPECT_EQ(peer.speed(), speed_t(B115200));
  EXPECT_TRUE(w.serialPortHandle.isOpen());
  closePort(w);
  EXPECT_FALSE(w.serialPortHandle.isOpen());
  closePort(w);  // nothing open: nothing happens
  EXPECT_TRUE(w.messages().empty());
}

TEST_F(SerialSession, HeldOrMissingPortIsUnavailable) {
  int holder = ::open(peer.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  w.selectPort(3);
  EXPECT_FALSE(openPort(w));
  EXPECT_FALSE(w.serialPortHandle.isOpen());
  ::close(holder);
  w.selectPort(4);  // no COM4 in the folder
  EXPECT_FALSE(openPort(w));
  test::Shown unavailable{"Serial Port is unavaible!", std::nullopt, MessageIcon::Error, false};
  EXPECT_EQ(w.messages(), (std::vector<test::Shown>{unavailable, unavailable}));

  // A second opener within the utility is kept out too, until the first lets go.
  open(0);
  PortError error;
  auto second = posixSerialBackend().open("COM3", 115200, &error);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(error.code, EBUSY);
  EXPECT_NE(error.text.find("in use"), std::string::npos);
}

TEST_F(SerialSession, CarriesEveryByteValueUnchangedBothWays) {
  open(0);
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[size_t(i)] = uint8_t(i);
  writePort(w, all.data(), all.size());
  EXPECT_EQ(peer.receive(all.size()), all);

  peer.send(all);
  std::vector<uint8_t> got;
  uint8_t buf[257];
  ASSERT_TRUE(test::eventually(
      [&] {
        int n = readPort(w, buf, 256);
        if (n > 0) got.insert(got.end(), buf, buf + n);
        return got.size() >= all.size();
      },
      "256 bytes from the peer"));
  EXPECT_EQ(got, all);  // 0x00, XON, XOFF, CR and the interrupt characters included
}

TEST_F(SerialSession, WriteBytesSendsEachByteInOrder) {
  open(0);
  const uint8_t bytes[] = {'U', 'F', 'L', 'H', 'U'};
  writeBytes(w, bytes, 0);
  writeBytes(w, bytes, 5);
  EXPECT_EQ(peer.receive(5), std::vector<uint8_t>(bytes, bytes + 5));
  EXPECT_TRUE(peer.receive(1, std::chrono::milliseconds(50)).empty());
}

// A line held up (XOFF, CTS low) takes no byte: the write gives up after its limit instead of
// waiting for ever, the rest of a frame is not tried byte by byte, and the close does not wait for
// the line either.
TEST_F(SerialSession, WritesToAHeldUpLineEndWithinTheirLimit) {
  open(0);
  peer.holdLine(true);
  std::vector<uint8_t> frame(2051, 0x5A);
  std::atomic<bool> written{false};
  auto start = Clk::now();
  std::thread writer([&] {
    writeBytes(w, frame.data(), frame.size());
    written = true;
  });
  bool ended = eventually([&] { return written.load(); }, "the writes to give up",
                          std::chrono::milliseconds(5000));
  double took = msSince(start);
  if (!ended) closePort(w);  // wakes a write that would wait for ever
  writer.join();
  ASSERT_TRUE(ended);
  EXPECT_GE(took, double(writeLimitMs(1, 115200)) - 1);
  EXPECT_LT(took, 3 * double(writeLimitMs(1, 115200)));
  EXPECT_TRUE(w.lineHeldUp.load());
  start = Clk::now();
  closePort(w);
  EXPECT_LT(msSince(start), 1500.0);
  peer.holdLine(false);
  EXPECT_TRUE(peer.receive(1, std::chrono::milliseconds(50)).empty());  // nothing was left queued
}

// A run's claim holds the device across the closes between its opens, under every name that
// leads to it, until the run lets it go; another run meanwhile finds the port in use.
TEST_F(SerialSession, AClaimHoldsThePortAcrossClosesUntilTheRunEnds) {
  std::filesystem::create_symlink(peer.path(), dir.path() / "COM5");
  test::FakeWindow other{systemClock(), posixSerialBackend(), hid};
  open(4);
  closePort(w);  // as between the wake-up and the search
  for (int port : {3, 5}) {
    SCOPED_TRACE(port);
    other.outcome.begin();
    other.selectPort(port);
    EXPECT_FALSE(openPort(other));
    UpdateOutcome refused = other.outcome.get();
    EXPECT_EQ(refused.error, EBUSY);
    EXPECT_EQ(refused.detail, (dir.path() / ("COM" + std::to_string(port))).string() +
                                  ": in use by another program");
  }
  open(0);
  releasePort(w);
  other.selectPort(5);
  EXPECT_TRUE(openPort(other));
  releasePort(other);
  // The lock lives in the lock folder and nowhere else.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(locks), {}), 1);
}

// Where the lock folder cannot serve (missing, or a FIFO planted under the lock's name), a claim
// holds nothing and says so, without waiting; each open's own lock still keeps a second opener out.
TEST_F(SerialSession, ClaimWithoutALockFolderFallsBackToTheOpensOwnLock) {
  struct stat device {};
  ASSERT_EQ(::stat(peer.path().c_str(), &device), 0);
  const std::string lockName = "kestrel-tty-" + std::to_string(major(device.st_rdev)) + "-" +
                               std::to_string(minor(device.st_rdev)) + ".lock";
  ASSERT_EQ(::mkfifo((locks / lockName).c_str(), 0644), 0);
  for (std::filesystem::path folder : {dir.path() / "missing", locks}) {
    SCOPED_TRACE(folder);
    test::ScopedEnv lockFolder{"KESTREL_LOCK_DIR", folder.string()};
    PortError error;
    auto claim = claimSerialDevice(peer.path(), &error);
    ASSERT_TRUE(claim);
    EXPECT_FALSE(claim->held());
    open(0);
    EXPECT_EQ(posixSerialBackend().open("COM3", 115200, &error), nullptr);
    EXPECT_EQ(error.code, EBUSY);
    releasePort(w);
  }
}

// The read rules over termios, in real time: a read ends 30 ms after the last byte, at once when
// all bytes came, and after 10 * n + 200 ms when none come. Lower bounds are exact; upper bounds
// leave room for a busy machine.
TEST_F(SerialSession, ReadReturnsAPartialAnswerAfterThe30msGap) {
  open(0);
  peer.send({'a', 0x00, 'c', 'd', 'e'});
  uint8_t buf[65];
  std::fill(buf, buf + 65, 0xEE);
  auto start = Clk::now();
  int n = readTimed(w, buf, 64, 3000);
  double took = msSince(start);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(buf[1], 0x00);  // a received zero byte is delivered and counted
  EXPECT_EQ(buf[5], 0x00);  // terminator
  EXPECT_GE(took, 29.0);
  EXPECT_LT(took, 600.0);  // well short of the 840 ms a full 64-byte read may take
}

TEST_F(SerialSession, ReadReturnsAsSoonAsAllBytesCame) {
  open(0);
  std::vector<uint8_t> sent(100);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = uint8_t(i);
  peer.send(sent);
  uint8_t buf[100];
  auto start = Clk::now();
  EXPECT_EQ(readPort(w, buf, 100), 100);
  EXPECT_LT(msSince(start), 1000.0);  // the full time-out of a 100-byte read is 1200 ms
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 100), sent);
}

TEST_F(SerialSession, SilentReadWaitsItsTimeOut) {
  open(0);
  uint8_t buf[2];
  auto start = Clk::now();
  EXPECT_EQ(readPort(w, buf, 1), 0);
  EXPECT_GE(msSince(start), 209.0);
  EXPECT_LT(msSince(start), 1000.0);
}

// The reader is past its look for a cancel and waits for bytes that never come: only the close
// can end its wait before the read's 850 ms are up.
TEST_F(SerialSession, ClosingWakesAReaderAtOnce) {
  open(0);
  std::atomic<int> result{99};
  std::atomic<bool> waiting{false};
  setReadWaitHook([&] { waiting = true; });
  auto start = Clk::now();
  std::thread reader([&] {
    uint8_t buf[66];
    auto port = w.serialPortHandle.acquire();
    result = port ? port->read(buf, 65) : -1;  // up to 850 ms if nothing wakes it
  });
  bool blocked = test::eventually([&] { return waiting.load(); }, "the reader to wait for bytes");
  closePort(w);
  reader.join();
  setReadWaitHook({});
  ASSERT_TRUE(blocked);
  EXPECT_EQ(result.load(), -1);
  EXPECT_LT(msSince(start), 800.0);  // well short of the 850 ms the read could take
}

// The termios ports, with the moment the utility handed each byte to its port and the port's speed:
// the line's timing as the utility makes it, which the far end of a pseudo-terminal only sees
// blurred by when its reader gets to run.
class TimedWrites final : public SerialBackend {
 public:
  struct Write {
    Clk::time_point at;
    uint32_t baud;
    uint8_t byte;
  };
  std::vector<Write> writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  std::unique_ptr<PortClaim> claim(const std::string& name, PortError* error) override {
    return posixSerialBackend().claim(name, error);
  }
  std::unique_ptr<SerialPort> open(const std::string& name, uint32_t baud,
                                   PortError* error) override {
    auto port = posixSerialBackend().open(name, baud, error);
    return port ? std::make_unique<Port>(std::move(port), baud, *this) : nullptr;
  }

 private:
  class Port final : public SerialPort {
   public:
    Port(std::unique_ptr<SerialPort> port, uint32_t baud, TimedWrites& record)
        : port_(std::move(port)), baud_(baud), record_(record) {}
    bool write(const uint8_t* data, size_t n) override {
      {
        std::lock_guard lock(record_.mutex_);
        for (size_t i = 0; i < n; ++i) record_.writes_.push_back({Clk::now(), baud_, data[i]});
      }
      return port_->write(data, n);
    }
    bool drain() override { return port_->drain(); }
    int read(uint8_t* data, size_t n) override { return port_->read(data, n); }
    void purge() override { port_->purge(); }
    void cancel() override { port_->cancel(); }
    bool lineLost() const override { return port_->lineLost(); }
    bool lineHeldUp() const override { return port_->lineHeldUp(); }

   private:
    std::unique_ptr<SerialPort> port_;
    const uint32_t baud_;
    TimedWrites& record_;
  };

  mutable std::mutex mutex_;  // Guards writes_.
  std::vector<Write> writes_;
};

// The same update through termios over a pseudo-terminal, in real time.
class SerialUpdateOverTermios : public ::testing::Test {
 protected:
  SerialUpdateOverTermios() { ::setenv("KESTREL_COM_DIR", dir.path().c_str(), 1); }
  ~SerialUpdateOverTermios() override { ::unsetenv("KESTREL_COM_DIR"); }

  void run(size_t imageSize, SerialFaults faults = {}) {
    sim = std::make_unique<sim::SerialBootSim>(std::move(faults));
    sim->linkAs(dir.path(), "COM" + std::to_string(kCom));
    image = imageBytes(imageSize);
    test::writeFile("fw.out", sim::ElfBuilder().add(0x4000, image).build());
    w = std::make_unique<test::FakeWindow>(systemClock(), ports, hid);
    w->selectPort(kCom);
    w->typeTitle("fw");
    runCommand(*w);
  }

  test::TempDir dir;
  test::ScopedEnv lockFolder{"KESTREL_LOCK_DIR", dir.path().string()};
  test::NoHidDevices hid;
  TimedWrites ports;
  std::unique_ptr<sim::SerialBootSim> sim;
  std::unique_ptr<test::FakeWindow> w;
  std::vector<uint8_t> image;
};

TEST_F(SerialUpdateOverTermios, DownloadsAFullImage) {
  run(0x40000);
  ASSERT_TRUE(w->workersEnd());
  EXPECT_TRUE(sim->waitForRestart(int(test::kPatience.count())));
  EXPECT_EQ(w->messages(), (std::vector<Shown>{kFinished}));
  EXPECT_EQ(sim->image(), image);
  EXPECT_EQ(sim->checksumErrors(), 0);
  EXPECT_EQ(sim->pages().back(), 0x0000);
  expectAtRest(*w);
}

// The wake-up and the probes at their real speeds and spacing: the speeds as the device got them,
// the spacing as the utility wrote them (upper bounds leave room for a busy machine).
TEST_F(SerialUpdateOverTermios, WakesAt9600ThenProbesAt115200) {
  run(100, {.silent = true});
  ASSERT_TRUE(eventually([&] { return sim->receivedCount() >= 7; }, "two wake bytes, five probes"));
  stopCommand(*w);
  ASSERT_TRUE(w->workersEnd());
  auto line = sim->received();
  auto writes = ports.writes();
  ASSERT_GE(line.size(), 7u);
  ASSERT_GE(writes.size(), line.size());
  auto msBetween = [&](size_t a, size_t b) {
    return std::chrono::duration<double, std::milli>(writes[b].at - writes[a].at).count();
  };
  for (size_t i = 0; i < line.size(); ++i) {
    EXPECT_EQ(line[i].byte, writes[i].byte) << i;
    EXPECT_EQ(line[i].baud, writes[i].baud) << i;
  }
  EXPECT_EQ(line[0].byte, 0xA2);
  EXPECT_EQ(line[0].baud, 9600u);
  EXPECT_EQ(line[1].byte, 0xA2);
  EXPECT_EQ(line[1].baud, 9600u);
  EXPECT_GE(msBetween(0, 1), 5.0);
  EXPECT_LT(msBetween(0, 1), 500.0);
  EXPECT_GE(msBetween(1, 2), 90.0);  // the port is closed in between
  std::vector<double> spacing;
  for (size_t i = 2; i < line.size(); ++i) {
    EXPECT_EQ(line[i].byte, 0xA5);
    EXPECT_EQ(line[i].baud, 115200u);
    if (i > 2) spacing.push_back(msBetween(i - 1, i));
  }
  std::sort(spacing.begin(), spacing.end());
  double median = spacing[spacing.size() / 2];
  EXPECT_GE(median, 140.0);
  EXPECT_LT(median, 400.0);
  EXPECT_TRUE(w->messages().empty());
  expectAtRest(*w);
}

TEST_F(SerialUpdateOverTermios, ClosingTheWindowEndsSearchAndDownloadPromptly) {
  for (bool downloading : {false, true}) {
    SCOPED_TRACE(downloading);
    run(0x40000, {.silent = !downloading, .paced = true});
    if (downloading) {
      ASSERT_TRUE(eventually([&] { return sim->pages().size() >= 2; }, "two blocks"));
    } else {
      ASSERT_TRUE(eventually([&] { return sim->receivedCount() >= 4; }, "two probes"));
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(w->shutdown(1000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_FALSE(w->serialPortHandle.isOpen());
    EXPECT_FALSE(sim->restarted());
  }
}

}  // namespace
}  // namespace kestrel
