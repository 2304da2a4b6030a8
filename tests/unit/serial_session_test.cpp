// The serial port operations over real termios, against a pseudo-terminal.

#include "serial/serial_session.h"

#include <gtest/gtest.h>
#include <sys/file.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "core/window_state.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/pty_peer.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"

namespace kestrel {
namespace {

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

TEST(SerialNames, BaudTableFallsBackTo9600) {
  EXPECT_EQ(baudFor(0), 115200u);
  EXPECT_EQ(baudFor(4), 9600u);
  EXPECT_EQ(baudFor(6), 2400u);
  EXPECT_EQ(baudFor(7), 9600u);
  EXPECT_EQ(baudFor(-1), 9600u);
}

class SerialSession : public ::testing::Test {
 protected:
  SerialSession() { ::setenv("KESTREL_COM_DIR", dir.path().c_str(), 1); }
  ~SerialSession() override { ::unsetenv("KESTREL_COM_DIR"); }

  test::TempDir dir;
  test::PtyPeer peer{dir.path(), "COM3"};
  test::FastClock clock{20.0, 0x10000, true};
  test::NoHidDevices hid;
  test::FakeWindow w{clock, posixSerialBackend(), hid};

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
  std::string error;
  auto second = posixSerialBackend().open("COM3", 115200, &error);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(error.find("in use"), std::string::npos);
}

TEST_F(SerialSession, CarriesEveryByteValueUnchangedBothWays) {
  open(0);
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[size_t(i)] = uint8_t(i);
  writePort(w, all.data(), all.size());
  EXPECT_EQ(peer.receive(200), all);

  peer.send(all);
  std::vector<uint8_t> got;
  uint8_t buf[257];
  auto start = Clk::now();
  while (got.size() < all.size() && msSince(start) < 2000) {
    int n = readPort(w, buf, 256);
    if (n > 0) got.insert(got.end(), buf, buf + n);
  }
  EXPECT_EQ(got, all);  // 0x00, XON, XOFF, CR and the interrupt characters included
}

TEST_F(SerialSession, WriteBytesSendsEachByteInOrder) {
  open(0);
  const uint8_t bytes[] = {'U', 'F', 'L', 'H', 'U'};
  writeBytes(w, bytes, 0);
  writeBytes(w, bytes, 5);
  EXPECT_EQ(peer.receive(100), std::vector<uint8_t>(bytes, bytes + 5));
}

TEST_F(SerialSession, ReadReturnsAPartialAnswerAfterThe30msGap) {
  open(0);
  peer.send({'a', 0x00, 'c', 'd', 'e'});
  uint8_t buf[17];
  std::fill(buf, buf + 17, 0xEE);
  auto start = Clk::now();
  int n = readTimed(w, buf, 16, 3000);
  double took = msSince(start);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(buf[1], 0x00);  // a received zero byte is delivered and counted
  EXPECT_EQ(buf[5], 0x00);  // terminator
  EXPECT_GE(took, 25.0);
  EXPECT_LT(took, 300.0);  // well before the 360 ms a full 16-byte read may take
}

TEST_F(SerialSession, ReadReturnsAsSoonAsAllBytesCame) {
  open(0);
  peer.send({1, 2, 3, 4});
  uint8_t buf[5];
  auto start = Clk::now();
  EXPECT_EQ(readPort(w, buf, 4), 4);
  EXPECT_LT(msSince(start), 25.0);
}

TEST_F(SerialSession, ReadFromSilentPortTimesOutAfterItsLimit) {
  open(0);
  uint8_t buf[2];
  uint32_t before = clock.tickCount();
  EXPECT_EQ(readTimed(w, buf, 1, 3000), 0);
  uint32_t took = ticksSince(before, clock.tickCount());
  EXPECT_GE(took, 3000u);
  EXPECT_LE(took, 3000u + 20 * 260);  // the limit plus one read's time-out, in fast ticks
  ASSERT_EQ(w.messages().size(), 1u);
  EXPECT_EQ(w.messages()[0], (test::Shown{"Timeout fail!", "Fail", MessageIcon::None, false}));
}

TEST(SerialSessionWrap, LimitHoldsAcrossTheTickCountersWrap) {
  test::TempDir dir;
  ::setenv("KESTREL_COM_DIR", dir.path().c_str(), 1);
  test::PtyPeer peer{dir.path(), "COM1"};
  test::FastClock clock{20.0, 0xFFFFFFFFu - 1000, true};  // wraps 1000 ms into the wait
  test::NoHidDevices hid;
  test::FakeWindow w{clock, posixSerialBackend(), hid};
  w.selectPort(1);
  ASSERT_TRUE(openPort(w));
  uint8_t buf[2];
  uint32_t before = clock.tickCount();
  auto start = Clk::now();
  EXPECT_EQ(readTimed(w, buf, 1, 3000), 0);
  uint32_t took = ticksSince(before, clock.tickCount());
  EXPECT_GE(took, 3000u);
  EXPECT_LE(took, 3000u + 20 * 260);
  EXPECT_LT(msSince(start), 1000.0);  // no spinning until the wrap, no wait beyond it
  ::unsetenv("KESTREL_COM_DIR");
}

TEST_F(SerialSession, ClosingWakesAReaderAtOnce) {
  open(0);
  std::atomic<int> result{99};
  auto start = Clk::now();
  std::thread reader([&] {
    uint8_t buf[66];
    result = w.serialPortHandle.acquire()->read(buf, 65);  // up to 850 ms if nothing wakes it
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  closePort(w);
  reader.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_LT(msSince(start), 400.0);
}

}  // namespace
}  // namespace kestrel
