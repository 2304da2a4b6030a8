// Closing the window at every phase of an update: every worker ends within a second, the port
// or both HID handles are closed, and nothing is left running over the window's state.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "app/update_commands.h"
#include "core/window_state.h"
#include "sim/elf_builder.h"
#include "sim/hid_boot_sim.h"
#include "sim/serial_boot_sim.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"

namespace kestrel {
namespace {

using Clk = std::chrono::steady_clock;

// Waits up to five seconds for `ready`.
bool reach(const std::function<bool()>& ready) {
  auto until = Clk::now() + std::chrono::seconds(5);
  while (!ready()) {
    if (Clk::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Closes the window the way the window does and says how long the workers took to end.
double closeWindow(test::FakeWindow& w) {
  auto start = Clk::now();
  EXPECT_TRUE(shutdownWorkers(w, 1000));
  return std::chrono::duration<double, std::milli>(Clk::now() - start).count();
}

class CloseAtEveryPhase : public ::testing::Test {
 protected:
  CloseAtEveryPhase() { ::setenv("KESTREL_COM_DIR", dir.path().c_str(), 1); }
  ~CloseAtEveryPhase() override { ::unsetenv("KESTREL_COM_DIR"); }

  // A message box that stays open until the window closes, as one the user has not answered.
  void boxesWaitForTheUser() {
    w->onMessage = [this](const test::Shown&) {
      boxOpen = true;
      while (!w->closing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
  }
  void startSerial(sim::SerialFaults faults, Clock& clock = systemClock(), bool holdBoxes = false) {
    serial = std::make_unique<sim::SerialBootSim>(faults);
    serial->linkAs(dir.path(), "COM1");
    w = std::make_unique<test::FakeWindow>(clock, posixSerialBackend(), hid);
    if (holdBoxes) boxesWaitForTheUser();
    w->selectPort(1);
    w->typeTitle("fw");
    runCommand(*w);
  }
  void startUsb(sim::HidFaults faults, bool holdBoxes = false) {
    hid.replace(faults);
    w = std::make_unique<test::FakeWindow>(systemClock(), posixSerialBackend(), hid);
    if (holdBoxes) boxesWaitForTheUser();
    w->typeTitle("fw");
    runCommand(*w);
  }

  test::TempDir dir;
  sim::HidBootSim hid{{sim::HidBootSim::bootLoader()}};
  std::unique_ptr<sim::SerialBootSim> serial;
  std::unique_ptr<test::FakeWindow> w;
  std::atomic<bool> boxOpen{false};
  void SetUp() override {
    test::writeFile("fw.out", sim::ElfBuilder().add(0, sim::patternBytes(0x10000, 3)).build());
  }
};

TEST_F(CloseAtEveryPhase, WhileSearching) {
  startSerial({.silent = true});
  ASSERT_TRUE(reach([&] { return w->serialUpdateRunning.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // both threads in their loops
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_FALSE(w->serialPortHandle.isOpen());
}

TEST_F(CloseAtEveryPhase, WhileDownloadingOverTheSerialLine) {
  startSerial({.paced = true});
  ASSERT_TRUE(reach([&] { return serial->pages().size() >= 3; }));
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_FALSE(w->serialPortHandle.isOpen());
  EXPECT_FALSE(serial->restarted());
}

TEST_F(CloseAtEveryPhase, WhileATimeOutBoxFromAWorkerIsOpen) {
  test::FastClock fastTicks{25.0, 0x10000, true};  // the 5 s time-out in 200 ms
  // The box holds its worker until the user answers it; the window closing answers it.
  startSerial({.noFrameAckAt = 1}, fastTicks, true);
  ASSERT_TRUE(reach([&] { return boxOpen.load(); }));
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_FALSE(w->serialPortHandle.isOpen());
}

TEST_F(CloseAtEveryPhase, WhileDownloadingOverUsb) {
  startUsb({.paced = true});
  ASSERT_TRUE(reach([&] { return hid.pages().size() >= 3; }));
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_EQ(hid.openHandles(), 0);
  EXPECT_EQ(w->hid.hidRunning.load(), 0u);
}

TEST_F(CloseAtEveryPhase, DuringTheFinalPauseOverUsb) {
  startUsb({});
  ASSERT_TRUE(
      reach([&] { return !w->progress().empty() && w->progress().back() == 96; }));  // 31 of 32
  ASSERT_TRUE(reach([&] { return hid.pages().size() == 32 && w->hid.hidAckReceived == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well inside the 2500 ms pause
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_TRUE(w->texts().empty());  // the success box of a closed window is not shown
  EXPECT_EQ(hid.openHandles(), 0);
}

TEST_F(CloseAtEveryPhase, WhileTheReceiveThreadShowsABox) {
  startUsb({.manualAck = true, .shortReportAt = 0}, true);
  ASSERT_TRUE(reach([&] { return boxOpen.load(); }));
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_EQ(hid.openHandles(), 0);
}

}  // namespace
}  // namespace kestrel
