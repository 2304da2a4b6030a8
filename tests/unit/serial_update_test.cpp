// A whole serial update through Run: the real termios code and the real threads against the
// simulated boot loader on a pseudo-terminal.

#include <gtest/gtest.h>
#include <sys/file.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/update_commands.h"
#include "core/window_state.h"
#include "serial/serial_download.h"
#include "serial/serial_session.h"
#include "sim/elf_builder.h"
#include "sim/serial_boot_sim.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"

namespace kestrel {
namespace {

using sim::SerialFaults;
using test::Shown;

constexpr int kCom = 2;

std::vector<uint8_t> imageBytes(size_t n) {
  return sim::patternBytes(n, 17);
}

class SerialUpdate : public ::testing::Test {
 protected:
  SerialUpdate() { ::setenv("KESTREL_COM_DIR", dir.path().c_str(), 1); }
  ~SerialUpdate() override { ::unsetenv("KESTREL_COM_DIR"); }

  // Starts a device, writes fw.out holding `image` and presses Run with COM2 selected.
  void run(size_t imageSize, SerialFaults faults = {}, Clock* clock = nullptr) {
    sim = std::make_unique<sim::SerialBootSim>(faults);
    sim->linkAs(dir.path(), "COM" + std::to_string(kCom));
    image = imageBytes(imageSize);
    test::writeFile("fw.out", sim::ElfBuilder().add(0x4000, image).build());
    w = std::make_unique<test::FakeWindow>(clock ? *clock : fastTicks, posixSerialBackend(), hid);
    w->selectPort(kCom);
    w->typeTitle("fw");
    runCommand(*w);
  }
  // Waits for the update's end: Run enabled and every worker gone.
  void finish() {
    ASSERT_TRUE(w->waitForWorkers(60000));
    ASSERT_TRUE(w->runEnabled());
  }
  // What every ending leaves behind.
  void expectAtRest() {
    EXPECT_FALSE(w->serialPortHandle.isOpen());
    EXPECT_EQ(w->BaudIndex.load(), 0);
    EXPECT_EQ(int(w->searchStopped.load()), 1);
    EXPECT_FALSE(w->serialUpdateRunning.load());
    EXPECT_TRUE(w->runEnabled());
  }

  test::TempDir dir;
  test::NoHidDevices hid;
  test::FastClock fastTicks{25.0, 0x10000, true};
  std::unique_ptr<sim::SerialBootSim> sim;
  std::unique_ptr<test::FakeWindow> w;
  std::vector<uint8_t> image;
};

TEST_F(SerialUpdate, DownloadsAFullImageFirstBlockLast) {
  run(0x40000, {}, &systemClock());
  finish();
  EXPECT_TRUE(sim->waitForRestart(1000));
  EXPECT_EQ(w->messages(), (std::vector<Shown>{{"Download Finished!", "Update"}}));
  EXPECT_EQ(sim->image(), image);
  EXPECT_EQ(sim->checksumErrors(), 0);
  auto pages = sim->pages();
  ASSERT_EQ(pages.size(), 128u);
  EXPECT_EQ(pages[0], 0x0008);
  EXPECT_EQ(pages[126], 0x03F8);
  EXPECT_EQ(pages[127], 0x0000);
  auto cmds = sim->commands();
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
  expectAtRest();
}

TEST_F(SerialUpdate, WakesAt9600ThenProbesAt115200) {
  run(100, {.silent = true}, &systemClock());
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  stopCommand(*w);
  finish();
  auto line = sim->received();
  ASSERT_GE(line.size(), 5u);
  EXPECT_EQ(line[0].byte, 0xA2);
  EXPECT_EQ(line[0].baud, 9600u);
  EXPECT_EQ(line[1].byte, 0xA2);
  EXPECT_EQ(line[1].baud, 9600u);
  EXPECT_NEAR(line[1].ms - line[0].ms, 10.0, 8.0);
  EXPECT_GE(line[2].ms - line[1].ms, 100.0);  // the port is closed in between
  for (size_t i = 2; i < line.size(); ++i) {
    EXPECT_EQ(line[i].byte, 0xA5);
    EXPECT_EQ(line[i].baud, 115200u);
    if (i > 2) {
      EXPECT_NEAR(line[i].ms - line[i - 1].ms, 150.0, 60.0);
    }
  }
  EXPECT_EQ(w->statusField(), " Stop !!");
  EXPECT_TRUE(w->messages().empty());  // a stopped search downloads nothing
  EXPECT_TRUE(sim->commands().empty());
  expectAtRest();
}

TEST_F(SerialUpdate, AnswerMustBeTheFirstByteOfARead) {
  run(100, {.answerPrefix = {0x00}});
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_GE(sim->probesAnswered(), 2);
  EXPECT_TRUE(sim->commands().empty());  // 0x00 0x5A is no answer: the search goes on
  EXPECT_FALSE(w->runEnabled());
  stopCommand(*w);
  finish();
  expectAtRest();
}

TEST_F(SerialUpdate, SmallImagesSendBlockZeroWithItsAddress) {
  for (size_t size : {size_t(0), size_t(1), size_t(2049)}) {
    SCOPED_TRACE(size);
    run(size);
    finish();
    EXPECT_EQ(w->messages(), (std::vector<Shown>{{"Download Finished!", "Update"}}));
    std::vector<uint16_t> expectedPages =
        size > 2048 ? std::vector<uint16_t>{8, 0} : std::vector<uint16_t>{0};
    EXPECT_EQ(sim->pages(), expectedPages);
    auto flash = sim->image();
    image.resize(flash.size(), 0);  // the last block goes out zero-padded
    EXPECT_EQ(flash, image);
    auto progress = w->progress();
    std::vector<int> downloadProgress(std::find(progress.begin() + 1, progress.end(), 0),
                                      progress.end());
    std::vector<int> expected =
        size > 2048 ? std::vector<int>{0, 50, 100} : std::vector<int>{0, 100};
    EXPECT_EQ(
        std::vector<int>(downloadProgress.end() - long(expected.size()), downloadProgress.end()),
        expected);
    expectAtRest();
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
  const Shown finished{"Download Finished!", "Update"};
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
       {.wrongClearAnswer = true},
       {{"A,B,C", std::nullopt}, noAck}},
      {"no acknowledgement of the first UFLHU", {.noCommandAckAt = 0}, {timeout, noCommandAck}},
      {"no acknowledgement of a middle UFLHU", {.noCommandAckAt = 2}, {timeout, noCommandAck}},
      {"no acknowledgement of block 0's UFLHU", {.noCommandAckAt = 4}, {timeout, noCommandAck}},
      {"no acknowledgement of the first frame", {.noFrameAckAt = 0}, {timeout, noFrameAck}},
      {"no acknowledgement of a middle frame", {.noFrameAckAt = 2}, {timeout, noFrameAck}},
      {"no acknowledgement of block 0's frame", {.noFrameAckAt = 4}, {timeout, noFrameAck}},
      {"stray byte before an acknowledgement",
       {.strayBeforeAckAt = 2},
       {{"x,U,5", std::nullopt}, noFrameAck}},
      {"late acknowledgement within the limit", {.lateAckAt = 2, .lateAckMs = 100}, {finished}},
      {"late acknowledgement past the limit",
       {.lateAckAt = 2, .lateAckMs = 1000},
       {timeout, noFrameAck}},
      {"hang-up in the first frame", {.hangUpAt = 0}, {timeout, noFrameAck}},
      {"hang-up in a middle frame", {.hangUpAt = 2}, {timeout, noFrameAck}},
      {"hang-up in block 0's frame", {.hangUpAt = 4}, {timeout, noFrameAck}},
  };
  // Ticks 25 times real time: the 5000 ms limit is 200 real ms, about one read of one byte.
  test::FastClock clock{25.0, 0x10000, true};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    run(10000, row.faults, &clock);
    if (row.stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      stopCommand(*w);
    }
    finish();
    EXPECT_EQ(w->messages(), row.messages);
    bool succeeded = row.messages == std::vector<Shown>{finished};
    EXPECT_EQ(sim->waitForRestart(succeeded ? 1000 : 0), succeeded);
    expectAtRest();

    sim = std::make_unique<sim::SerialBootSim>();
    sim->linkAs(dir.path(), "COM" + std::to_string(kCom));
    runCommand(*w);
    finish();
    EXPECT_EQ(w->messages().back(), finished);
    auto flashed = sim->image();
    image.resize(flashed.size(), 0);
    EXPECT_EQ(flashed, image);
  }
}

TEST_F(SerialUpdate, SilentDeviceKeepsTheSearchGoingUntilStop) {
  run(100, {.silent = true});
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_FALSE(w->runEnabled());
  EXPECT_TRUE(w->serialUpdateRunning.load());
  EXPECT_EQ(w->statusField(), "Search Device...");
  stopCommand(*w);
  finish();
  EXPECT_TRUE(w->messages().empty());
  expectAtRest();
}

TEST_F(SerialUpdate, MissingPortIsReportedOnceAndStartsNothing) {
  test::writeFile("fw.out", sim::ElfBuilder().add(0, {1}).build());
  w = std::make_unique<test::FakeWindow>(fastTicks, posixSerialBackend(), hid);
  w->selectPort(7);  // no COM7 in the folder
  w->typeTitle("fw");
  runCommand(*w);
  EXPECT_EQ(w->messages(),
            (std::vector<Shown>{{"Serial Port is unavaible!", std::nullopt, MessageIcon::Error}}));
  EXPECT_EQ(w->workers.running(), 0);
  expectAtRest();
}

TEST_F(SerialUpdate, ThreadThatCannotStartIsReportedAndRunComesBack) {
  for (const char* thread : {"SendThread", "ReceiveThread"}) {
    SCOPED_TRACE(thread);
    sim = std::make_unique<sim::SerialBootSim>();
    sim->linkAs(dir.path(), "COM2");
    test::writeFile("fw.out", sim::ElfBuilder().add(0, {1}).build());
    w = std::make_unique<test::FakeWindow>(fastTicks, posixSerialBackend(), hid);
    std::string failing = thread;
    w->workers.setStartFault([failing](std::string_view name) { return name == failing; });
    w->selectPort(kCom);
    w->typeTitle("fw");
    runCommand(*w);
    finish();
    EXPECT_EQ(w->texts().back(), failing + " fail!");
    expectAtRest();
  }
}

TEST_F(SerialUpdate, MissingImageEndsTheDownloadWithItsName) {
  run(100, {.silent = true});
  stopCommand(*w);
  finish();
  std::filesystem::remove("fw.bin");
  w->selectPort(kCom);
  ASSERT_TRUE(openPort(*w));
  serialDownload(*w);
  EXPECT_EQ(w->messages().back(),
            (Shown{"Cannot open fw.bin: No such file or directory", "Error", MessageIcon::Error}));
  EXPECT_FALSE(w->serialPortHandle.isOpen());
}

TEST_F(SerialUpdate, ClosingTheWindowEndsSearchAndDownloadPromptly) {
  for (bool downloading : {false, true}) {
    SCOPED_TRACE(downloading);
    run(0x40000, {.silent = !downloading, .paced = true}, &systemClock());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (downloading && sim->pages().size() < 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(shutdownWorkers(*w, 1000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_FALSE(w->serialPortHandle.isOpen());
    EXPECT_FALSE(sim->restarted());
  }
}

}  // namespace
}  // namespace kestrel
