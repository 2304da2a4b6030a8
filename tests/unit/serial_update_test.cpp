// The serial link through Run, with the real search and download threads, and its time limits:
// against the simulated boot loader on ports inside the process, in simulated time. The same over
// termios and a pseudo-terminal, at the real line timing, is in serial_termios_test.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "core/window_state.h"
#include "serial/serial_download.h"
#include "serial/serial_search.h"
#include "serial/serial_session.h"
#include "sim/elf_builder.h"
#include "sim/simulated_serial_ports.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
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
using test::expectFlashed;

std::vector<uint8_t> imageBytes(size_t n) {
  return test::serialTestImage(n);
}

void expectAtRest(const test::FakeWindow& w) {
  test::expectSerialAtRest(w);
}

class SerialUpdate : public ::testing::Test {
 protected:
  // Plugs a device with `faults` into COM2, writes fw.out holding `image` and presses Run.
  void run(size_t imageSize, SerialFaults faults = {}) {
    device = &ports.plug("COM2", std::move(faults));
    image = imageBytes(imageSize);
    test::writeFile("fw.out", sim::ElfBuilder().add(0x4000, image).build());
    window().clearRecords();
    runCommand(*w);
  }
  // The window, made on first use with COM2 chosen and "fw" typed.
  test::FakeWindow& window() {
    if (!w) {
      w = std::make_unique<test::FakeWindow>(clock, ports, hid);
      w->selectPort(kCom);
      w->typeTitle("fw");
    }
    return *w;
  }
  // Waits for the update's end: every worker gone and Run enabled.
  void finish() {
    ASSERT_TRUE(w->workersEnd());
    ASSERT_TRUE(w->runEnabled());
  }
  // Waits until `n` probes have reached the device (behind the two wake bytes): the search runs.
  void searching(size_t n = 2) {
    ASSERT_TRUE(eventually([&] { return device->receivedCount() >= 2 + n; },
                           std::to_string(n) + " probes"));
  }

  test::TempDir dir;
  test::NoHidDevices hid;
  test::ManualClock clock;
  sim::SimulatedSerialPorts ports{clock};
  sim::SerialBootDevice* device = nullptr;
  std::unique_ptr<test::FakeWindow> w;
  std::vector<uint8_t> image;
};

TEST_F(SerialUpdate, DownloadsAFullImageFirstBlockLast) {
  run(0x40000);
  finish();
  EXPECT_TRUE(device->restarted());
  EXPECT_EQ(w->messages(), (std::vector<Shown>{kFinished}));
  EXPECT_EQ(device->image(), image);
  EXPECT_EQ(device->checksumErrors(), 0);
  auto pages = device->pages();
  ASSERT_EQ(pages.size(), 128u);
  EXPECT_EQ(pages[0], 0x0008);
  EXPECT_EQ(pages[126], 0x03F8);
  EXPECT_EQ(pages[127], 0x0000);
  auto cmds = device->commands();
  EXPECT_EQ(cmds.front(), "UCLRU");
  EXPECT_EQ(cmds.back(), "URBTU");
  EXPECT_EQ(cmds.size(), 130u);

  auto progress = w->progress();
  ASSERT_GE(progress.size(), 3u);
  EXPECT_EQ(progress.back(), 100);
  EXPECT_EQ(progress[progress.size() - 2], 99);
  auto statuses = w->statuses();
  EXPECT_EQ(statuses.front(), "Search Device...");
  std::vector<std::string> tail(statuses.end() - 3, statuses.end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{" Device Found!", "Progressing...", "Download Finished!"}));
  expectAtRest(*w);
}

// The search's two threads: once the receive thread takes the answer, the send thread sends no
// further probe and sets no "Search Device..." over " Device Found!", however long the receive
// thread takes. The receive thread is held where it reports the find.
TEST_F(SerialUpdate, NothingOfTheSearchFollowsTheFoundAnswer) {
  std::atomic<size_t> takenAt{0};
  // What the utility wrote, not what the device got: a probe sent before the answer was taken may
  // still be on its way then.
  auto written = [&] { return ports.written("COM2").size(); };
  window().onStatus = [&](const std::string& text) {
    if (text != " Device Found!") return;
    takenAt = written();
    // Time for a send thread that has not stopped to send its next probe (it does at once: its
    // pause is simulated); one that has stopped sends nothing, and the wait runs out.
    (void)eventually([&] { return written() > takenAt; }, "another probe",
                     std::chrono::milliseconds(300));
  };
  run(4096);
  finish();
  EXPECT_EQ(w->messages(), (std::vector<Shown>{kFinished}));
  auto bytes = ports.written("COM2");
  ASSERT_GT(takenAt.load(), 0u);
  ASSERT_GT(bytes.size(), takenAt.load());
  EXPECT_EQ(bytes[takenAt], 'U') << "the first byte written after the answer was taken";
  auto statuses = w->statuses();
  auto found = std::find(statuses.begin(), statuses.end(), " Device Found!");
  ASSERT_NE(found, statuses.end());
  EXPECT_EQ(std::find(found, statuses.end(), "Search Device..."), statuses.end());
}

TEST_F(SerialUpdate, AnswerMustBeTheFirstByteOfARead) {
  run(100, {.answerPrefix = {0x00}});
  ASSERT_TRUE(eventually([&] { return device->probesAnswered() >= 3; }, "three answered probes"));
  EXPECT_TRUE(device->commands().empty());  // 0x00 0x5A is no answer: the search goes on
  EXPECT_FALSE(w->runEnabled());
  stopCommand(*w);
  finish();
  expectAtRest(*w);
}

TEST_F(SerialUpdate, SmallImagesSendBlockZeroWithItsAddress) {
  for (size_t size : {size_t(0), size_t(1), size_t(2049)}) {
    SCOPED_TRACE(size);
    run(size);
    finish();
    EXPECT_EQ(w->messages(), (std::vector<Shown>{kFinished}));
    std::vector<uint16_t> expectedPages =
        size > 2048 ? std::vector<uint16_t>{8, 0} : std::vector<uint16_t>{0};
    EXPECT_EQ(device->pages(), expectedPages);
    expectFlashed(*device, image);
    auto progress = w->progress();
    std::vector<int> downloadProgress(std::find(progress.begin() + 1, progress.end(), 0),
                                      progress.end());
    std::vector<int> expected =
        size > 2048 ? std::vector<int>{0, 50, 100} : std::vector<int>{0, 100};
    EXPECT_EQ(
        std::vector<int>(downloadProgress.end() - long(expected.size()), downloadProgress.end()),
        expected);
    expectAtRest(*w);
  }
}

// Every fault of the simulated device, one row each: the messages the user sees, the state left
// behind, and a following Run against a healthy device that succeeds. The image has five blocks:
// exchanges 0 to 4 carry blocks 1, 2, 3, 4 and last 0.
TEST_F(SerialUpdate, FaultMatrix) {
  const Shown timeout{"Timeout fail!", "Fail"};
  const Shown noAck{"NO Ack!", "UCLRU"};
  const Shown noCommandAck{"NO Ack!", "UFLHU"};
  const Shown noFrameAck{"NO Ack 2!", "data"};
  struct Row {
    const char* name;
    SerialFaults faults;
    std::vector<Shown> messages;
    bool stop = false;  // the search never ends by itself: Stop it
  };
  const std::vector<Row> rows = {
      {"silent device", {.silent = true}, {}, true},
      {"no acknowledgement of UCLRU", {.noClearAck = true}, {timeout, noAck}},
      {"wrong acknowledgement of UCLRU",
       {.clearAnswer = {'A', 'B', 'C', 'D', 'E'}},
       {{"A,B,C", std::nullopt}, noAck}},
      // Device bytes are single-byte characters, and the text ends at a zero byte.
      {"acknowledgement with bytes above 0x7F",
       {.clearAnswer = {0xE9, 'A', 0xFF}},
       {{"\xC3\xA9,A,\xC3\xBF", std::nullopt}, noAck}},
      {"acknowledgement with a zero byte",
       {.clearAnswer = {'x', 0x00, 'y'}},
       {{"x,", std::nullopt}, noAck}},
      {"no acknowledgement of the first UFLHU", {.noCommandAckAt = 0}, {timeout, noCommandAck}},
      {"no acknowledgement of a middle UFLHU", {.noCommandAckAt = 2}, {timeout, noCommandAck}},
      {"no acknowledgement of block 0's UFLHU", {.noCommandAckAt = 4}, {timeout, noCommandAck}},
      {"no acknowledgement of the first frame", {.noFrameAckAt = 0}, {timeout, noFrameAck}},
      {"no acknowledgement of a middle frame", {.noFrameAckAt = 2}, {timeout, noFrameAck}},
      {"no acknowledgement of block 0's frame", {.noFrameAckAt = 4}, {timeout, noFrameAck}},
      {"stray byte before an acknowledgement",
       {.strayBeforeAckAt = 2},
       {{"x,U,5", std::nullopt}, noFrameAck}},
      // The wait starts as the frame is handed to the port; the frame takes 178 ms on the line.
      {"late acknowledgement within the limit", {.lateAckAt = 2, .lateAckMs = 4750}, {kFinished}},
      {"late acknowledgement past the limit",
       {.lateAckAt = 2, .lateAckMs = 5300},
       {timeout, noFrameAck}},
      {"hang-up in the first frame", {.hangUpAt = 0}, {timeout, noFrameAck}},
      {"hang-up in a middle frame", {.hangUpAt = 2}, {timeout, noFrameAck}},
      {"hang-up in block 0's frame", {.hangUpAt = 4}, {timeout, noFrameAck}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    run(10000, row.faults);
    if (row.stop) {
      searching();
      stopCommand(*w);
    }
    finish();
    EXPECT_EQ(w->messages(), row.messages);
    EXPECT_EQ(device->restarted(), row.messages == std::vector<Shown>{kFinished});
    test::expectNothingGarbled(*device);
    expectAtRest(*w);

    run(10000);
    finish();
    EXPECT_EQ(w->messages(), (std::vector<Shown>{kFinished}));
    expectFlashed(*device, image);
  }
}

// The port's settings change at every close (back to how they were found, or to the next speed):
// the bytes written before it, the second wake byte and the restart command last of all, have left
// the line at their own speed first. The wake-up keeps its timing: 10 ms between the wake bytes,
// then at least 100 ms with the port closed.
TEST_F(SerialUpdate, SettingsChangeOnlyOnceTheWrittenBytesHaveLeft) {
  run(3000);
  finish();
  EXPECT_EQ(w->messages(), (std::vector<Shown>{kFinished}));
  test::expectNothingGarbled(*device);
  EXPECT_TRUE(device->restarted());
  auto line = device->received();
  ASSERT_GE(line.size(), 3u);
  for (int i : {0, 1}) {
    EXPECT_EQ(line[size_t(i)].byte, 0xA2);
    EXPECT_EQ(line[size_t(i)].baud, 9600u);
  }
  EXPECT_NEAR(line[1].ms - line[0].ms, 10.0, 1.0);
  EXPECT_EQ(line[2].byte, 0xA5);
  EXPECT_EQ(line[2].baud, 115200u);
  EXPECT_GE(line[2].ms - line[1].ms, 100.0);
  EXPECT_EQ(line.back().byte, 'U');
  EXPECT_EQ(line.back().baud, 115200u);
  expectAtRest(*w);
}

// A second run on the same port, started while the first has the port closed between its wake-up
// and its search: the port is still the first run's, so the second is refused as a port in use,
// and none of its bytes reaches the device. The first ends as if alone.
TEST_F(SerialUpdate, ASecondRunInTheFirstsGapIsRefusedAndSendsNothing) {
  device = &ports.plug("COM2");
  image = imageBytes(5000);
  test::writeFile("fw.out", sim::ElfBuilder().add(0x4000, image).build());
  // The second window first: the workers reach the window made last, the first one.
  test::FakeWindow second(clock, ports, hid);
  second.selectPort(kCom);
  second.typeTitle("fw");
  test::WatchedClock watched(clock);
  w = std::make_unique<test::FakeWindow>(watched, ports, hid);
  w->selectPort(kCom);
  w->typeTitle("fw");
  std::atomic<bool> tried{false};
  const auto firstThread = std::this_thread::get_id();
  watched.onSleep = [&](uint32_t ms) {
    // The 100 ms between the close after the wake bytes and the reopen.
    if (ms != 100 || tried || std::this_thread::get_id() != firstThread) return;
    tried = true;
    EXPECT_FALSE(ports.isOpen("COM2"));
    runCommand(second);
  };
  runCommand(*w);
  finish();
  ASSERT_TRUE(tried.load());
  ASSERT_TRUE(second.workersEnd());
  EXPECT_EQ(w->messages(), (std::vector<Shown>{kFinished}));
  EXPECT_EQ(second.messages(),
            (std::vector<Shown>{{"Serial Port is unavaible!", std::nullopt, MessageIcon::Error}}));
  UpdateOutcome refused = second.outcome.get();
  EXPECT_EQ(refused.cause, UpdateOutcome::Cause::PortUnavailable);
  EXPECT_EQ(refused.error, EBUSY);
  EXPECT_NE(refused.detail.find("in use by another program"), std::string::npos) << refused.detail;
  std::vector<uint8_t> wake;  // the bytes at 9600 bit/s: the first run's two wake bytes alone
  for (const sim::LineByte& b : device->received()) {
    if (b.baud == 9600) wake.push_back(b.byte);
  }
  EXPECT_EQ(wake, (std::vector<uint8_t>{0xA2, 0xA2}));
  expectFlashed(*device, image);
  expectAtRest(*w);
  test::expectSerialAtRest(second);
  EXPECT_FALSE(ports.isClaimed("COM2"));
}

// Flow control holds the line up as the device takes exchange 2's block command: the frame does
// not leave. With a port buffer that takes the whole frame, the drain at the close finds the line
// held; with a small one, a write runs out of its time and the writes stop there (not one time-out
// per byte). Either way the ack wait fails as the protocol says, the outcome says why, and the
// update ends within the limits of what it waited for, not one time-out per byte: counted in the
// line's time from the moment the line stopped (the device's last byte), which no scheduling of
// the search's two threads can move, the acknowledgement's time-out and the read under way, one
// write's limit, the drain's limit at the close, and a slice of the send thread's last pause.
TEST_F(SerialUpdate, HeldUpLineEndsTheUpdateAsHeldUp) {
  const uint32_t bound =
      5000 + 210 + writeLimitMs(1, 115200) + drainLimitMs(kPortBufferBytes, 115200) + 20;
  for (size_t buffer : {size_t(4096), size_t(16)}) {
    SCOPED_TRACE(buffer);
    run(10000, {.holdLineAt = 2, .portBuffer = buffer});
    finish();
    const double heldAt = device->received().back().ms;  // exchange 2's block command
    EXPECT_LE(double(clock.tickCount()) - heldAt, double(bound));
    EXPECT_EQ(w->messages(),
              (std::vector<Shown>{{"Timeout fail!", "Fail"}, {"NO Ack 2!", "data"}}));
    UpdateOutcome held = w->outcome.get();
    EXPECT_EQ(held.cause, UpdateOutcome::Cause::LineHeldUp);
    EXPECT_EQ(held.step, UpdateOutcome::Step::BlockData);
    EXPECT_EQ(held.block, 3);
    EXPECT_EQ(device->pages().size(), 2u);
    EXPECT_FALSE(device->restarted());
    expectAtRest(*w);

    run(10000);
    finish();
    EXPECT_EQ(w->messages(), (std::vector<Shown>{kFinished}));
    EXPECT_EQ(w->outcome.get().cause, UpdateOutcome::Cause::Success);
  }
}

TEST_F(SerialUpdate, SilentDeviceKeepsTheSearchGoingUntilStop) {
  run(100, {.silent = true});
  searching(4);
  EXPECT_FALSE(w->runEnabled());
  EXPECT_TRUE(w->serialUpdateRunning.load());
  EXPECT_EQ(w->statusField(), "Search Device...");
  stopCommand(*w);
  finish();
  EXPECT_EQ(w->statusField(), " Stop !!");
  EXPECT_TRUE(w->messages().empty());  // a stopped search downloads nothing
  EXPECT_TRUE(device->commands().empty());
  expectAtRest(*w);
}

// The search within the limits a front end gives it (the command line's --search-timeout), in time
// that moves on only once the search's threads sleep, so that every moment is exact.
class SerialSearchLimits : public ::testing::Test {
 protected:
  SerialSearchLimits() {
    // The workers, and this thread while it starts them one after the other: the first must not
    // run ahead in time before the second is there.
    clock.participants = [this] {
      test::FakeWindow* shown = window.load();
      return (shown ? shown->workers.running() : 0) + int(starting.load());
    };
    // The tick at which the search was given up: the first that ends with the search stopped.
    clock.onMove = [this](uint32_t leaving) {
      test::FakeWindow* shown = window.load();
      if (!shown) return;
      if (shown->searchStopped == 0) {
        searched = true;
      } else if (searched && stoppedAt < 0) {
        stoppedAt = leaving;
      }
    };
  }
  ~SerialSearchLimits() override { EXPECT_FALSE(clock.stalled()); }

  // Starts an update on COM2, wired to a device with `faults`, as the command line does; waits
  // for its end. Returns the ticks, from the search's start (its first probe), at which the
  // device got each probe.
  std::vector<uint32_t> search(SerialFaults faults, SearchLimits limits) {
    w.reset();
    window = nullptr;
    stoppedAt = -1;
    searched = false;
    device = &ports.plug("COM2", std::move(faults));
    w = std::make_unique<test::FakeWindow>(clock, ports, hid);
    w->selectPort(kCom);
    window = w.get();
    beginConversion(*w);
    w->readWindow();
    starting = true;
    startUpdate(*w, std::make_shared<const std::vector<uint8_t>>(imageBytes(100)), {}, limits);
    starting = false;
    EXPECT_TRUE(w->workersEnd());
    // No sleep followed the search's end: the clock still stands where it ended.
    if (searched && stoppedAt < 0) stoppedAt = clock.tickCount();
    std::vector<uint32_t> probes;
    for (const sim::LineByte& b : device->received()) {
      if (b.byte == kProbeByte) probes.push_back(uint32_t(b.ms));
    }
    start = probes.empty() ? 0 : probes.front();
    for (uint32_t& at : probes) at -= start;
    return probes;
  }

  test::TempDir dir;
  test::NoHidDevices hid;
  test::EventClock clock;
  sim::SimulatedSerialPorts ports{clock};
  sim::SerialBootDevice* device = nullptr;
  std::unique_ptr<test::FakeWindow> w;
  std::atomic<test::FakeWindow*> window{nullptr};
  std::atomic<bool> starting{false};  // This thread starts the update.
  std::atomic<bool> searched{false};  // The clock has moved on with the search under way.
  std::atomic<int64_t> stoppedAt{-1};
  uint32_t start = 0;  // The tick of the first probe.
};

// A device that never answers: the search probes every 150 ms up to its deadline, not once after
// it, and gives up at the deadline to the millisecond, as NoAnswer; the port is put back.
TEST_F(SerialSearchLimits, SilentDeviceIsGivenUpAtTheDeadline) {
  for (uint32_t deadline : {1u, 149u, 150u, 1400u, 1500u}) {
    SCOPED_TRACE(deadline);
    auto probes = search({.silent = true}, {.deadlineMs = deadline});
    std::vector<uint32_t> expected;
    for (uint32_t at = 0; at < deadline; at += 150) expected.push_back(at);
    EXPECT_EQ(probes, expected);
    EXPECT_EQ(stoppedAt - int64_t(start), int64_t(deadline));
    EXPECT_EQ(w->outcome.get().cause, UpdateOutcome::Cause::NoAnswer);
    EXPECT_TRUE(device->commands().empty());
    EXPECT_TRUE(w->messages().empty());
    expectAtRest(*w);
  }
}

// The line goes away at the first probe: the search ends as soon as a read finds it gone, long
// before its deadline, as DeviceGone. Without the rule the search would read on until the deadline.
TEST_F(SerialSearchLimits, LineLostDuringTheSearchEndsItAsDeviceGone) {
  search({.hangUpOnProbe = true}, {.deadlineMs = 30000, .endWhenLineLost = true});
  ASSERT_GE(stoppedAt, 0) << "the search was never given up";

  // Within two reads of the port (850 ms each, 50 ms between).
  EXPECT_LE(stoppedAt - int64_t(start), 1750);
  UpdateOutcome gone = w->outcome.get();
  EXPECT_EQ(gone.cause, UpdateOutcome::Cause::DeviceGone);
  EXPECT_EQ(gone.detail, "the line went away during the search");
  expectAtRest(*w);

  search({.hangUpOnProbe = true}, {.deadlineMs = 3000});
  EXPECT_EQ(stoppedAt - int64_t(start), 3000);
  EXPECT_EQ(w->outcome.get().cause, UpdateOutcome::Cause::DeviceGone);
  expectAtRest(*w);
}

TEST_F(SerialUpdate, MissingPortIsReportedOnceAndStartsNothing) {
  test::writeFile("fw.out", sim::ElfBuilder().add(0, {1}).build());
  w = std::make_unique<test::FakeWindow>(clock, ports, hid);
  w->selectPort(7);  // nothing plugged into COM7
  w->typeTitle("fw");
  runCommand(*w);
  EXPECT_EQ(w->messages(),
            (std::vector<Shown>{{"Serial Port is unavaible!", std::nullopt, MessageIcon::Error}}));
  EXPECT_EQ(w->workers.running(), 0);
  expectAtRest(*w);
}

TEST_F(SerialUpdate, ThreadThatCannotStartIsReportedAndRunComesBack) {
  for (const char* thread : {"SendThread", "ReceiveThread"}) {
    SCOPED_TRACE(thread);
    std::string failing = thread;
    w.reset();
    w = std::make_unique<test::FakeWindow>(clock, ports, hid);
    w->workers.setStartFault([failing](std::string_view name) { return name == failing; });
    w->selectPort(kCom);
    w->typeTitle("fw");
    run(1);
    finish();
    EXPECT_EQ(w->texts().back(), failing + " fail!");
    expectAtRest(*w);
  }
}

// The download sends the bytes its Run converted, whatever happens to the image file meanwhile
// (another conversion of the same title, a build).
TEST_F(SerialUpdate, SendsTheImageItsRunConvertedEvenIfTheFileChanges) {
  device = &ports.plug("COM2");
  image = imageBytes(5000);
  test::writeFile("fw.out", sim::ElfBuilder().add(0x4000, image).build());
  // The wake byte comes after the conversion and before the download.
  device->onByte([](uint8_t byte, uint32_t) {
    if (byte == 0xA2) test::writeFile("fw.bin", std::vector<uint8_t>(7000, 0xEE));
  });
  w = std::make_unique<test::FakeWindow>(clock, ports, hid);
  w->selectPort(kCom);
  w->typeTitle("fw");
  runCommand(*w);
  finish();
  EXPECT_EQ(w->messages(), (std::vector<Shown>{kFinished}));
  expectFlashed(*device, image);
}

TEST_F(SerialUpdate, HiddenUpdateCommandNamesAnImageFileItCannotRead) {
  run(100, {.silent = true});
  stopCommand(*w);
  finish();
  std::filesystem::remove("fw.bin");
  ASSERT_TRUE(openPort(*w));
  updateCommand(*w);
  EXPECT_EQ(w->messages().back(),
            (Shown{"Cannot open " + test::missingFile("fw.bin"), "Error", MessageIcon::Error}));
  EXPECT_FALSE(w->serialPortHandle.isOpen());
  EXPECT_EQ(w->outcome.get().cause, UpdateOutcome::Cause::ImageFileError);
}

TEST(SerialNames, BaudTableFallsBackTo9600) {
  EXPECT_EQ(baudFor(0), 115200u);
  EXPECT_EQ(baudFor(4), 9600u);
  EXPECT_EQ(baudFor(6), 2400u);
  EXPECT_EQ(baudFor(7), 9600u);
  EXPECT_EQ(baudFor(-1), 9600u);
}

// readTimed's limit in simulated time, where it can be measured exactly.
class TimedRead : public ::testing::Test {
 protected:
  void open(uint32_t origin) {
    w.reset();
    clock = std::make_unique<test::ManualClock>(origin);
    ports = std::make_unique<sim::SimulatedSerialPorts>(*clock);
    ports->plug("COM1", {.silent = true});
    w = std::make_unique<test::FakeWindow>(*clock, *ports, hid);
    w->selectPort(1);
    ASSERT_TRUE(openPort(*w));
  }
  test::NoHidDevices hid;
  std::unique_ptr<test::ManualClock> clock;
  std::unique_ptr<sim::SimulatedSerialPorts> ports;
  std::unique_ptr<test::FakeWindow> w;
};

TEST_F(TimedRead, SilentPortTimesOutAfterItsLimitPlusAtMostOneRead) {
  // Once well clear of the counter's wrap, and once with the wrap 1000 ms into the wait.
  for (uint32_t origin : {0x10000u, 0xFFFFFFFFu - 1000}) {
    SCOPED_TRACE(origin);
    open(origin);
    uint8_t buf[2];
    uint32_t before = clock->tickCount();
    EXPECT_EQ(readTimed(*w, buf, 1, 3000), 0);
    uint32_t took = ticksSince(before, clock->tickCount());
    EXPECT_GE(took, 3000u);
    EXPECT_LE(took, 3000u + 210);
    ASSERT_EQ(w->messages().size(), 1u);
    EXPECT_EQ(w->messages()[0], (test::Shown{"Timeout fail!", "Fail", MessageIcon::None, false}));
  }
}

}  // namespace
}  // namespace kestrel
