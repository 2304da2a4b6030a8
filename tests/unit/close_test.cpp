// Closing the window at every phase of an update: every worker ends within a second, the port
// or both HID handles are closed, and nothing is left running over the window's state. The serial
// phases run in simulated time; closing over termios is in serial_termios_test.cpp.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <new>
#include <thread>

#include "core/window_state.h"
#include "platform/backends.h"
#include "sim/elf_builder.h"
#include "sim/hid_boot_sim.h"
#include "sim/simulated_serial_ports.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"
#include "support/wait.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

using Clk = std::chrono::steady_clock;
using test::eventually;

// Closes the window the way the window does and says how long the workers took to end.
double closeWindow(test::FakeWindow& w) {
  auto start = Clk::now();
  EXPECT_TRUE(w.shutdown(1000));
  return std::chrono::duration<double, std::milli>(Clk::now() - start).count();
}

class CloseAtEveryPhase : public ::testing::Test {
 protected:
  // A message box that stays open until the window closes, as one the user has not answered.
  void boxesWaitForTheUser() {
    w->onMessage = [this](const test::Shown&) {
      boxOpen = true;
      while (!w->closing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
  }
  // A serial update against the device on COM1, in simulated time.
  void startSerial(sim::SerialFaults faults) {
    serial = &ports.plug("COM1", std::move(faults));
    w = std::make_unique<test::FakeWindow>(manual, ports, hid);
    w->selectPort(1);
    w->typeTitle("fw");
    runCommand(*w);
  }
  void startUsb(sim::HidFaults faults, bool holdBoxes = false, Clock& clock = systemClock()) {
    hid.replace(faults);
    w = std::make_unique<test::FakeWindow>(clock, noPorts, hid);
    if (holdBoxes) boxesWaitForTheUser();
    w->typeTitle("fw");
    runCommand(*w);
  }

  test::TempDir dir;
  sim::HidBootSim hid{{sim::HidBootSim::bootLoader()}};
  test::NoSerialPorts noPorts;
  test::WatchedClock watched{systemClock()};
  std::atomic<bool> inFinalPause{false};
  test::ManualClock manual;
  sim::SimulatedSerialPorts ports{manual};
  sim::SerialBootDevice* serial = nullptr;
  std::atomic<bool> boxOpen{false};
  std::unique_ptr<test::FakeWindow> w;  // last: it goes first, before what its workers use
  void SetUp() override {
    test::writeFile("fw.out", sim::ElfBuilder().add(0, sim::patternBytes(0x10000, 3)).build());
  }
};

TEST_F(CloseAtEveryPhase, WhileSearching) {
  startSerial({.silent = true});
  ASSERT_TRUE(eventually([&] { return serial->receivedCount() >= 4; }, "two probes"));
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_FALSE(w->serialPortHandle.isOpen());
}

TEST_F(CloseAtEveryPhase, WhileDownloadingOverTheSerialLine) {
  // The device takes the fourth block's bytes only once the window has begun to close: the
  // download is in the middle of its writes when the close comes.
  std::atomic<bool> holding{false};
  serial = &ports.plug("COM1");
  serial->onByte([&](uint8_t, uint32_t) {
    if (serial->pages().size() < 3) return;
    holding = true;
    while (!w->closing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  w = std::make_unique<test::FakeWindow>(manual, ports, hid);
  w->selectPort(1);
  w->typeTitle("fw");
  runCommand(*w);
  ASSERT_TRUE(eventually([&] { return holding.load(); }, "the fourth block"));
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_FALSE(w->serialPortHandle.isOpen());
  EXPECT_FALSE(serial->restarted());
}

TEST_F(CloseAtEveryPhase, WhileATimeOutBoxFromAWorkerIsOpen) {
  // The box holds its worker until the user answers it; the window closing answers it. The
  // 5-second time-out passes in simulated time.
  serial = &ports.plug("COM1", {.noFrameAckAt = 1});
  w = std::make_unique<test::FakeWindow>(manual, ports, hid);
  boxesWaitForTheUser();
  w->selectPort(1);
  w->typeTitle("fw");
  runCommand(*w);
  ASSERT_TRUE(eventually([&] { return boxOpen.load(); }, "the time-out box"));
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_FALSE(w->serialPortHandle.isOpen());
  EXPECT_FALSE(ports.isOpen("COM1"));
}

TEST_F(CloseAtEveryPhase, WhileDownloadingOverUsb) {
  startUsb({.paced = true});
  ASSERT_TRUE(eventually([&] { return hid.pages().size() >= 3; }, "three blocks"));
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_EQ(hid.openHandles(), 0);
  EXPECT_EQ(w->hid.hidRunning.load(), 0u);
}

TEST_F(CloseAtEveryPhase, DuringTheFinalPauseOverUsb) {
  // The final pause sleeps in slices of 20 ms; the acknowledgement polls sleep 1 ms.
  watched.onSleep = [&](uint32_t ms) {
    if (ms == 20 && hid.pages().size() == 32) inFinalPause = true;
  };
  startUsb({}, false, watched);
  ASSERT_TRUE(eventually([&] { return inFinalPause.load(); }, "the pause after the last block"));
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_TRUE(w->texts().empty());  // the success box of a closed window is not shown
  EXPECT_EQ(hid.openHandles(), 0);
}

TEST_F(CloseAtEveryPhase, WhileTheReceiveThreadShowsABox) {
  startUsb({.manualAck = true, .shortReportAt = 0}, true);
  ASSERT_TRUE(eventually([&] { return boxOpen.load(); }, "the receive thread's box"));
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_EQ(hid.openHandles(), 0);
}

// The window asks before it closes exactly while a download changes the device's memory: not
// during the serial search (the device has only been woken), from the clear command until every
// block is acknowledged, and no longer once the update has ended.
TEST_F(CloseAtEveryPhase, AsksOnlyWhileTheSerialDownloadChangesTheDevice) {
  enum class Hold { Probe, FourthBlock, None };
  std::atomic<Hold> holdAt{Hold::Probe};
  std::atomic<bool> held{false};
  serial = &ports.plug("COM1");
  serial->onByte([&](uint8_t byte, uint32_t) {
    const bool probe = byte == 0xA5 && serial->commands().empty();
    const bool fourth = serial->pages().size() == 3;
    if (!((holdAt == Hold::Probe && probe) || (holdAt == Hold::FourthBlock && fourth))) return;
    held = true;
    while (held && !w->closing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  w = std::make_unique<test::FakeWindow>(manual, ports, hid);
  w->selectPort(1);
  w->typeTitle("fw");
  EXPECT_FALSE(closeQuestion(*w)) << "before Run";
  runCommand(*w);

  ASSERT_TRUE(eventually([&] { return held.load(); }, "the first probe"));
  EXPECT_TRUE(w->serialUpdateRunning.load());
  EXPECT_FALSE(closeQuestion(*w)) << "during the search";
  holdAt = Hold::FourthBlock;
  held = false;

  ASSERT_TRUE(eventually([&] { return held.load(); }, "the fourth block"));
  EXPECT_EQ(closeQuestion(*w),
            "An update is running. Closing now leaves the device without working firmware. "
            "Close anyway?");
  holdAt = Hold::None;
  held = false;

  ASSERT_TRUE(w->workersEnd());
  EXPECT_EQ(w->texts(), std::vector<std::string>{"Download Finished!"});
  EXPECT_FALSE(closeQuestion(*w)) << "after the update";
}

TEST_F(CloseAtEveryPhase, AsksOnlyWhileTheUsbDownloadChangesTheDevice) {
  // The final pause passes in simulated time.
  test::WatchedClock quick{manual};
  quick.onSleep = [&](uint32_t ms) {
    if (ms == 20 && hid.pages().size() == 32) inFinalPause = true;
  };
  startUsb({.paced = true}, false, quick);
  ASSERT_TRUE(eventually([&] { return hid.pages().size() >= 3; }, "three blocks"));
  EXPECT_TRUE(closeQuestion(*w)) << "during the download";
  ASSERT_TRUE(eventually([&] { return inFinalPause.load(); }, "the pause after the last block"));
  EXPECT_FALSE(closeQuestion(*w)) << "once block 0 is acknowledged";
  ASSERT_TRUE(w->workersEnd());

  // A download that failed has ended: its box no longer asks.
  startUsb({.noAckAt = 2}, true, manual);
  ASSERT_TRUE(eventually([&] { return boxOpen.load(); }, "the box of the missing acknowledgement"));
  EXPECT_FALSE(closeQuestion(*w)) << "after a failure";
  EXPECT_LT(closeWindow(*w), 1000);
}

// A worker that runs out of memory (any allocation of its own can fail) ends its own part of the
// update, which says so; the process goes on and the window closes as ever.
TEST_F(CloseAtEveryPhase, WhenAWorkerRunsOutOfMemory) {
  serial = &ports.plug("COM1", {.silent = true});
  w = std::make_unique<test::FakeWindow>(manual, ports, hid);
  w->onStatus = [](const std::string& status) {
    if (status == "Search Device...") throw std::bad_alloc();
  };
  w->selectPort(1);
  w->typeTitle("fw");
  runCommand(*w);
  ASSERT_TRUE(eventually([&] { return w->workers.running() == 1; }, "the SendThread to end"));
  EXPECT_EQ(w->outcome.get().cause, UpdateOutcome::Cause::NoMemory);
  EXPECT_EQ(w->outcome.get().detail, "SendThread ran out of memory");
  EXPECT_LT(closeWindow(*w), 1000);
  EXPECT_EQ(w->outcome.get().cause, UpdateOutcome::Cause::NoMemory);
  EXPECT_FALSE(ports.isOpen("COM1"));
}

}  // namespace
}  // namespace kestrel
