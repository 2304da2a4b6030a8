// The USB link: discovery, reports, the receive thread and the whole download, against the
// simulated HID boot loader.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/window_state.h"
#include "hid/hid_download.h"
#include "hid/hid_link.h"
#include "hid/hid_reports.h"
#ifdef _WIN32
#include <windows.h>
#else
#include "platform/backends.h"
#include "platform/hidapi_errors.h"
#endif
#include "sim/elf_builder.h"
#include "sim/hid_boot_sim.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"
#include "support/wait.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

using sim::HidBootSim;
using sim::HidFaults;
using sim::HidInterface;
using test::eventually;
using test::Shown;

const std::string kBoot = HidBootSim::bootLoader().path;

// Write errors as the platform gives them: a stalled endpoint, a transfer that failed, and the
// device unplugged.
#ifdef _WIN32
constexpr int kStalled = ERROR_GEN_FAILURE;
constexpr int kTransferFailed = ERROR_CRC;
constexpr int kGone = ERROR_DEVICE_NOT_CONNECTED;
#else
constexpr int kStalled = EPIPE;
constexpr int kTransferFailed = EIO;
constexpr int kGone = ENODEV;
#endif

std::string sendError(int err) {
  return "Send error= " + std::to_string(err);
}

HidInterface device(const std::string& path, uint16_t version) {
  return HidInterface{path, {0xFFFF, 0x0012, version}, true, true};
}

class HidDiscovery : public ::testing::Test {
 protected:
  void find(std::vector<HidInterface> interfaces, HidFaults faults = {}) {
    w.reset();  // its handles belong to the old device
    w.reset();
    hid = std::make_unique<HidBootSim>(std::move(interfaces), faults);
    w = std::make_unique<test::FakeWindow>(clock, serial, *hid);
    found = FindHidDevice(*w);
  }
  test::ManualClock clock;
  test::NoSerialPorts serial;
  std::unique_ptr<HidBootSim> hid;
  std::unique_ptr<test::FakeWindow> w;
  bool found = false;
};

TEST_F(HidDiscovery, NothingPresentFindsNothingSilently) {
  find({});
  EXPECT_FALSE(found);
  EXPECT_TRUE(w->messages().empty());
  find({}, {.listFails = true});
  EXPECT_FALSE(found);
  EXPECT_EQ(w->messages(), (std::vector<Shown>{{"Couldn't get handle for HID devices", std::nullopt,
                                                MessageIcon::Warning, true}}));
}

TEST_F(HidDiscovery, SkipsUnopenableAndWrongVersionAndOpensTheBootLoaderTwice) {
  HidInterface locked = device("/dev/hidraw-locked", 0x0100);
  locked.openable = false;
  find({locked, device("/dev/hidraw-newer", 0x0101), HidBootSim::bootLoader()});
  EXPECT_TRUE(found);
  EXPECT_TRUE(w->messages().empty());
  EXPECT_EQ(hid->openHandlesOn(kBoot), 2);
  EXPECT_EQ(hid->openHandles(), 2);
  EXPECT_TRUE(w->hid.hidReadHandle.isOpen());
  EXPECT_TRUE(w->hid.hidWriteHandle.isOpen());
  CloseHidDevice(*w);
  CloseHidDevice(*w);  // a second close closes nothing
  EXPECT_EQ(hid->openHandles(), 0);
}

TEST_F(HidDiscovery, OpensTheFirstOfTwoBootLoaders) {
  find({device("/dev/hidraw-first", 0x0100), device("/dev/hidraw-second", 0x0100)});
  EXPECT_TRUE(found);
  EXPECT_EQ(hid->openHandlesOn("/dev/hidraw-first"), 2);
  EXPECT_EQ(hid->openHandlesOn("/dev/hidraw-second"), 0);
}

TEST_F(HidDiscovery, UnreadableAttributesEndTheSearch) {
  HidInterface mute = device("/dev/hidraw-mute", 0x0100);
  mute.attributesReadable = false;
  find({mute, HidBootSim::bootLoader()});
  EXPECT_FALSE(found);
  EXPECT_EQ(w->messages(), (std::vector<Shown>{{"Couldn't get HID attributes", std::nullopt,
                                                MessageIcon::Warning, true}}));
  EXPECT_EQ(hid->openHandles(), 0);
}

TEST_F(HidDiscovery, MissNoneLeftOpen) {
  find({device("/dev/hidraw-a", 0x0101), device("/dev/hidraw-b", 0x0000)});
  EXPECT_FALSE(found);
  EXPECT_EQ(hid->openHandles(), 0);
}

class HidReports : public HidDiscovery {
 protected:
  void SetUp() override {
    find({HidBootSim::bootLoader()}, {.manualAck = true});
    ASSERT_TRUE(SendHidStartReport(*w));
  }
  // The reports after the start report.
  std::vector<std::vector<uint8_t>> sent() const {
    auto r = hid->reports();
    return {r.begin() + 1, r.end()};
  }
};

TEST_F(HidReports, HeaderCarriesPageAddressChecksumAndLength) {
  std::vector<uint8_t> zeros(2048, 0);
  ASSERT_TRUE(SendHidBlock(*w, 0x0108, zeros.data()));
  auto start = hid->reports()[0];
  EXPECT_EQ(start[1], 0xB5);
  EXPECT_TRUE(std::all_of(start.begin() + 2, start.end(), [](uint8_t b) { return b == 0; }));
  auto header = sent()[0];
  ASSERT_EQ(header.size(), 65u);
  EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.begin() + 6),
            (std::vector<uint8_t>{0x00, 0xAA, 0x01, 0x08, 0x08, 0x04}));
  std::vector<uint8_t> ones(2048, 1);
  ASSERT_TRUE(SendHidBlock(*w, 0, ones.data()));
  EXPECT_EQ(sent()[42][4], 0x00);  // 2048 ones wrap to 0; page 0 adds nothing
}

TEST_F(HidReports, DataReportsCarryFiftyBytesAndTheLastRepeatsTheTailBeforeIt) {
  auto block = sim::patternBytes(2048, 9);
  ASSERT_TRUE(SendHidBlock(*w, 8, block.data()));
  auto r = sent();
  ASSERT_EQ(r.size(), 42u);
  EXPECT_EQ(r[1][1], 0x55);
  EXPECT_EQ(r[1][2], 0x32);
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 50, r[1].begin() + 3));
  EXPECT_EQ(r[41][2], 0x30);
  EXPECT_TRUE(std::equal(block.begin() + 2000, block.end(), r[41].begin() + 3));
  EXPECT_EQ(r[41][51], block[1998]);
  EXPECT_EQ(r[41][52], block[1999]);
  for (const auto& report : r) {
    EXPECT_TRUE(std::all_of(report.begin() + 53, report.end(), [](uint8_t b) { return b == 0; }));
  }
  EXPECT_TRUE(hid->violations().empty()) << hid->violations()[0];
}

TEST_F(HidReports, NothingIsWrittenWithoutADevice) {
  CloseHidDevice(*w);
  std::vector<uint8_t> block(2048);
  EXPECT_FALSE(SendHidStartReport(*w));
  EXPECT_FALSE(SendHidBlock(*w, 8, block.data()));
  EXPECT_EQ(w->texts(), (std::vector<std::string>{"Device not open!", "Device not open!"}));
  EXPECT_EQ(hid->reportsWritten(), 1);  // the start report of SetUp
}

TEST_F(HidReports, FailedDataReportSaysHowManyBytesWereLeft) {
  find({HidBootSim::bootLoader()}, {.writeFailAt = 2, .writeErrno = 32});
  ASSERT_TRUE(SendHidStartReport(*w));
  std::vector<uint8_t> block(2048);
  EXPECT_FALSE(SendHidBlock(*w, 8, block.data()));
  EXPECT_EQ(w->texts(),
            (std::vector<std::string>{"Send error= 32 len=1998", "Couldn't send data  !"}));
  find({HidBootSim::bootLoader()}, {.writeFailAt = 0, .writeErrno = 5});
  EXPECT_FALSE(SendHidStartReport(*w));
  EXPECT_EQ(w->texts(), (std::vector<std::string>{"Send error= 5"}));
}

TEST_F(HidReports, ReceiveThreadTakesTheTokenAtBytesTwoToFourOnly) {
  w->hid.hidRunning = 1;
  auto receiver = w->workers.start("HidReceiveThread", HidReceiveThread);
  auto report = [](size_t at) {
    std::vector<uint8_t> r(65, 0);
    r[at] = 'U';
    r[at + 1] = '5';
    r[at + 2] = 'U';
    return r;
  };
  hid->deliver(report(1));
  hid->deliver(report(3));
  hid->deliver({0x00, 0x02});  // too short
  // The box for the short report comes once the two reports before it have been read too.
  ASSERT_TRUE(eventually([&] { return !w->texts().empty(); }, "the box of the 2-byte report"));
  EXPECT_EQ(w->hid.hidAckReceived.load(), 0u);
  hid->deliver(report(2));
  ASSERT_TRUE(eventually([&] { return w->hid.hidAckReceived != 0; }, "the acknowledgement"));
  EXPECT_EQ(w->texts(), (std::vector<std::string>{"Only read 2 bytes"}));

  // Unplugged: nothing is shown, and the thread ends within one wait once told to.
  hid->unplug();
  ASSERT_TRUE(eventually([&] { return w->linkLost.load(); }, "the receive thread to see the loss"));
  auto stop = std::chrono::steady_clock::now();
  w->hid.hidRunning = 0;
  receiver->wait();
  EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::milliseconds(500));
  EXPECT_EQ(w->texts().size(), 1u);
}

class UsbUpdate : public ::testing::Test {
 protected:
  void run(size_t imageSize, HidFaults faults = {}, Clock* clock = nullptr) {
    w.reset();  // its handles belong to the old device
    w.reset();
    hid = std::make_unique<HidBootSim>(
        std::vector<HidInterface>{device("/dev/hidraw-kbd", 0x0111), HidBootSim::bootLoader()},
        faults);
    image = sim::patternBytes(imageSize, 33);
    test::writeFile("fw.out", sim::ElfBuilder().add(0x0, image).build());
    w = std::make_unique<test::FakeWindow>(clock ? *clock : ticks, serial, *hid);
    w->typeTitle("fw");
    w->onMessage = [this](const Shown&) { statusAtMessage = w->statusField(); };
    runCommand(*w);
  }
  void finish() {
    ASSERT_TRUE(w->workersEnd());
    EXPECT_TRUE(w->runEnabled());
    EXPECT_EQ(hid->openHandles(), 0);
    EXPECT_EQ(w->hid.hidRunning.load(), 0u);
    EXPECT_FALSE(w->hid.hidReadHandle.isOpen());
    EXPECT_FALSE(w->hid.hidWriteHandle.isOpen());
    EXPECT_FALSE(w->hid.hidClaim.held());
    EXPECT_FALSE(hid->claimed(kBoot)) << "every ending lets the claim go";
  }
  std::vector<int> progress() const { return w->progress(); }

  test::TempDir dir;
  test::NoSerialPorts serial;
  test::ManualClock ticks;
  std::unique_ptr<HidBootSim> hid;
  std::unique_ptr<test::FakeWindow> w;
  std::vector<uint8_t> image;
  std::string statusAtMessage;
};

TEST_F(UsbUpdate, DownloadsAFullImageFirstBlockLast) {
  run(0x40000);
  finish();
  EXPECT_EQ(w->messages(), (std::vector<Shown>{{"Download Finished!", "Update"}}));
  EXPECT_EQ(statusAtMessage, "Progressing...");  // the status changes after the box
  EXPECT_EQ(w->statusField(), "Download Finished!");
  EXPECT_TRUE(hid->started());
  EXPECT_EQ(hid->image(), image);
  EXPECT_TRUE(hid->violations().empty()) << hid->violations()[0];
  auto pages = hid->pages();
  ASSERT_EQ(pages.size(), 128u);
  EXPECT_EQ(pages[0], 8);
  EXPECT_EQ(pages[126], 0x3F8);
  EXPECT_EQ(pages[127], 0);
  EXPECT_EQ(hid->reportsWritten(), 1 + 128 * 42);
  EXPECT_EQ(progress().front(), 0);
  EXPECT_EQ(progress()[progress().size() - 2], 99);
  EXPECT_EQ(progress().back(), 100);
}

TEST_F(UsbUpdate, ThreeBlocksGoOneTwoThenZero) {
  run(4097);
  finish();
  EXPECT_EQ(hid->pages(), (std::vector<uint16_t>{8, 16, 0}));
  EXPECT_EQ(progress(), (std::vector<int>{0, 33, 66, 100}));
  for (size_t size : {size_t(0), size_t(2048)}) {
    run(size);
    finish();
    EXPECT_EQ(hid->pages(), (std::vector<uint16_t>{0}));
    EXPECT_EQ(progress(), (std::vector<int>{0, 100}));
    EXPECT_EQ(w->texts(), (std::vector<std::string>{"Download Finished!"}));
  }
}

// Every fault of the simulated device, one row each: the messages the user sees, the state left
// behind (checked by finish()), and a following Run against a healthy device that succeeds. The
// image has five blocks: exchanges 0 to 4 carry blocks 1, 2, 3, 4 and last 0; report 0 is the start
// report and exchange e's header is report 1 + 42 * e.
TEST_F(UsbUpdate, FaultMatrix) {
  struct Row {
    const char* name;
    HidFaults faults;
    std::vector<std::string> messages;
    int ackOnPoll = 0;      // with manualAck: the poll on which each acknowledgement comes
    bool anyOrder = false;  // the receive thread's box and the download's race each other
  };
  const std::vector<Row> rows = {
      {"no acknowledgement at all", {.noAck = true}, {"NO ACK ,Block no:0X08"}},
      {"no acknowledgement of the first block", {.noAckAt = 0}, {"NO ACK ,Block no:0X08"}},
      {"no acknowledgement of a middle block", {.noAckAt = 2}, {"NO ACK ,Block no:0X18"}},
      {"no acknowledgement of block 0", {.noAckAt = 4}, {"NO Ack1!"}},
      {"acknowledgement on the last poll", {.manualAck = true}, {"Download Finished!"}, 500},
      {"acknowledgement one poll too late", {.manualAck = true}, {"NO ACK ,Block no:0X08"}, 501},
      {"2-byte report", {.shortReportAt = 2}, {"Only read 2 bytes", "Download Finished!"}},
      // Write errors go through the platform backend's rule: a stalled endpoint and a failed
      // transfer are errors of the write; only an unplugged device is "gone".
      {"start report not written",
       {.writeFailAt = 0, .writeErrno = kStalled},
       {sendError(kStalled)}},
      {"header not written", {.writeFailAt = 85, .writeErrno = kStalled}, {sendError(kStalled)}},
      {"data report's transfer failed",
       {.writeFailAt = 87, .writeErrno = kTransferFailed},
       {sendError(kTransferFailed) + " len=1948", "Couldn't send data  !"}},
      {"data report's device gone",
       {.writeFailAt = 86, .writeErrno = kGone},
       {"NO ACK ,Block no:0X18"}},
      {"data report not written",
       {.writeFailAt = 86, .writeErrno = kStalled},
       {sendError(kStalled) + " len=1998", "Couldn't send data  !"}},
      // Read errors: one that is not the device's going away ends the receive thread, and the
      // block goes unacknowledged; a waited result that could not be fetched is reported and
      // reading goes on.
      {"input report not read",
       {.readFailAt = 2, .readErrno = kStalled},
       {"Read error= " + std::to_string(kStalled), "NO ACK ,Block no:0X18"},
       0,
       true},
      {"input report's waited result not fetched",
       {.readFailAt = 2, .readErrno = kStalled, .readFailsAfterWait = true},
       {"GetOverlappedResult error: " + std::to_string(kStalled), "Download Finished!"}},
      {"unplugged at the start", {.unplugAt = 0}, {"NO ACK ,Block no:0X08"}},
      {"unplugged in the middle", {.unplugAt = 100}, {"NO ACK ,Block no:0X18"}},
      {"unplugged in block 0", {.unplugAt = 179}, {"NO Ack1!"}},
  };
  test::WatchedClock clock(ticks);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // The rows that time the acknowledgement to a poll wait for the receive thread at that poll
    // themselves; their thousands of polls need no real pauses. In the others, every poll first
    // lets the receive thread take what the boot loader has answered: a busy machine may keep that
    // thread from running for longer than the polls' 500 ticks of real pauses last. (A failed
    // read, unless only its waited result is lost, ends the receive thread: what comes after it
    // stays unread.)
    ticks.realPauses(row.ackOnPoll == 0);
    const bool readerEnds = row.faults.readFailAt >= 0 && !row.faults.readFailsAfterWait;
    int polls = 0;
    clock.onSleep = [&](uint32_t ms) {
      if (row.ackOnPoll == 0 && ms == 1 && !readerEnds) {
        EXPECT_TRUE(eventually([&] { return hid->inputWaiting() == 0 || hid->unplugged(); },
                               "the receive thread to take the boot loader's answer"));
      }
      if (row.ackOnPoll == 0 || ms != 1 || ++polls != row.ackOnPoll) return;
      polls = 0;
      hid->deliverAck();  // after this poll's sleep, before its look at the flag
      EXPECT_TRUE(eventually([&] { return w->hid.hidAckReceived != 0 || w->hid.hidRunning == 0; },
                             "the receive thread to raise the acknowledgement"));
    };
    run(10000, row.faults, &clock);
    finish();
    std::vector<std::string> texts = w->texts(), expected = row.messages;
    if (row.anyOrder) {
      std::sort(texts.begin(), texts.end());
      std::sort(expected.begin(), expected.end());
    }
    EXPECT_EQ(texts, expected);
    clock.onSleep = nullptr;
    ticks.realPauses(true);
    hid->replace({});
    runCommand(*w);
    finish();
    EXPECT_EQ(w->texts().back(), "Download Finished!");
    std::vector<uint8_t> padded = image;
    padded.resize(5 * 2048, 0);
    EXPECT_EQ(hid->image(), padded);
  }
}

#ifndef _WIN32
// The hidapi backend's reading of errno: only an unplugged device is "gone".
TEST(HidapiErrors, OnlyAnUnpluggedDeviceIsGone) {
  for (int err : {ENODEV, ESHUTDOWN}) EXPECT_TRUE(hidapiWriteMeansGone(err)) << err;
  for (int err : {EPIPE, EIO, EAGAIN, ETIMEDOUT}) EXPECT_FALSE(hidapiWriteMeansGone(err)) << err;
  for (int err : {0, ENODEV, ESHUTDOWN, EIO}) EXPECT_TRUE(hidapiReadMeansGone(err)) << err;
  for (int err : {EPIPE, EAGAIN, EINVAL}) EXPECT_FALSE(hidapiReadMeansGone(err)) << err;
}
#endif

TEST_F(UsbUpdate, MissingAcknowledgementOfBlock32NamesPage0x100) {
  run(0x40000, {.noAckAt = 31});
  finish();
  EXPECT_EQ(w->texts(), (std::vector<std::string>{"NO ACK ,Block no:0X100"}));
  EXPECT_EQ(progress().back(), 31 * 100 / 128);
}

TEST_F(UsbUpdate, DeviceGoneWhileWaitingForAnAcknowledgement) {
  run(0x8000, {.noAckAt = 3});
  ASSERT_TRUE(eventually([&] { return hid->pages().size() >= 4; }, "the fourth block"));
  hid->unplug();
  finish();
  ASSERT_EQ(w->texts().size(), 1u);
  EXPECT_EQ(w->texts()[0].rfind("NO ACK ,Block no:0X", 0), 0u);
}

TEST_F(UsbUpdate, SendsTheImageItsRunConvertedEvenIfTheFileChanges) {
  hid = std::make_unique<HidBootSim>(std::vector<HidInterface>{HidBootSim::bootLoader()});
  image = sim::patternBytes(5000, 33);
  test::writeFile("fw.out", sim::ElfBuilder().add(0x0, image).build());
  // The boot loader is looked for after the conversion and before the download.
  hid->onEnumerate = [] { test::writeFile("fw.bin", std::vector<uint8_t>(7000, 0xEE)); };
  w = std::make_unique<test::FakeWindow>(ticks, serial, *hid);
  w->typeTitle("fw");
  runCommand(*w);
  finish();
  EXPECT_EQ(w->texts(), (std::vector<std::string>{"Download Finished!"}));
  std::vector<uint8_t> padded = image;
  padded.resize(3 * 2048, 0);
  EXPECT_EQ(hid->image(), padded);
}

TEST_F(UsbUpdate, DownloadWithoutAConvertedImageSaysSo) {
  w.reset();
  hid = std::make_unique<HidBootSim>(std::vector<HidInterface>{HidBootSim::bootLoader()});
  w = std::make_unique<test::FakeWindow>(ticks, serial, *hid);
  ASSERT_TRUE(FindHidDevice(*w));
  w->disableRun();
  ASSERT_TRUE(w->workers.start("HidDownloadThread", HidDownloadThread));
  finish();
  EXPECT_EQ(w->messages(),
            (std::vector<Shown>{{"No firmware image was converted for this download.", "Error",
                                 MessageIcon::Error}}));
  EXPECT_FALSE(hid->started());
}

TEST_F(UsbUpdate, NoDeviceAsksForBootModeAndStaysReady) {
  w.reset();
  hid = std::make_unique<HidBootSim>(std::vector<HidInterface>{device("/dev/hidraw-kbd", 0x0111)});
  test::writeFile("fw.out", sim::ElfBuilder().add(0x0, {1}).build());
  w = std::make_unique<test::FakeWindow>(ticks, serial, *hid);
  w->typeTitle("fw");
  runCommand(*w);
  runCommand(*w);
  Shown prompt{"Make sure the Device work under USB-Boot Mode", "Prompt"};
  EXPECT_EQ(w->messages(), (std::vector<Shown>{prompt, prompt}));
  EXPECT_EQ(hid->openHandles(), 0);
  EXPECT_TRUE(w->runEnabled());
}

// A boot loader that another run is updating is left alone, as one that cannot be opened: the
// window asks for boot mode, and takes it once the other run has let it go.
TEST_F(UsbUpdate, ABootLoaderInUseElsewhereIsLeftAloneUntilItIsFree) {
  hid = std::make_unique<HidBootSim>(std::vector<HidInterface>{HidBootSim::bootLoader()});
  bool busy = false;
  std::unique_ptr<HidClaim> elsewhere = hid->claim(kBoot, &busy);
  test::writeFile("fw.out", sim::ElfBuilder().add(0x0, {1, 2, 3}).build());
  w = std::make_unique<test::FakeWindow>(ticks, serial, *hid);
  w->typeTitle("fw");
  runCommand(*w);
  EXPECT_EQ(w->messages(),
            (std::vector<Shown>{{"Make sure the Device work under USB-Boot Mode", "Prompt"}}));
  EXPECT_EQ(w->outcome.get().cause, UpdateOutcome::Cause::DeviceBusy);
  EXPECT_EQ(hid->reportsWritten(), 0);
  EXPECT_EQ(hid->openHandles(), 0);
  elsewhere.reset();
  w->clearRecords();
  runCommand(*w);
  finish();
  EXPECT_EQ(w->messages(), (std::vector<Shown>{{"Download Finished!", "Update"}}));
}

TEST_F(UsbUpdate, DownloadThreadThatCannotStartIsReported) {
  w.reset();
  hid = std::make_unique<HidBootSim>(std::vector<HidInterface>{HidBootSim::bootLoader()});
  test::writeFile("fw.out", sim::ElfBuilder().add(0x0, {1}).build());
  w = std::make_unique<test::FakeWindow>(ticks, serial, *hid);
  w->workers.setStartFault([](std::string_view name) { return name == "HidDownloadThread"; });
  w->typeTitle("fw");
  runCommand(*w);
  ASSERT_EQ(w->messages().size(), 1u);
  EXPECT_EQ(w->messages()[0].caption, "Error");
  EXPECT_EQ(hid->openHandles(), 0);
  EXPECT_TRUE(w->runEnabled());
}

// Without its receive thread no acknowledgement could be seen: the device gets nothing, and the
// failure is the thread's, not the device's.
TEST_F(UsbUpdate, ReceiveThreadThatCannotStartIsReportedBeforeAnythingIsSent) {
  w.reset();
  hid = std::make_unique<HidBootSim>(std::vector<HidInterface>{HidBootSim::bootLoader()});
  test::writeFile("fw.out", sim::ElfBuilder().add(0x0, sim::patternBytes(5000, 1)).build());
  w = std::make_unique<test::FakeWindow>(ticks, serial, *hid);
  w->workers.setStartFault([](std::string_view name) { return name == "HidReceiveThread"; });
  w->typeTitle("fw");
  runCommand(*w);
  finish();
  EXPECT_EQ(w->texts(), (std::vector<std::string>{"HidReceiveThread fail!"}));
  EXPECT_EQ(w->outcome.get().cause, UpdateOutcome::Cause::ThreadFailed);
  EXPECT_EQ(hid->reportsWritten(), 0);
  EXPECT_EQ(hid->openHandles(), 0);
  EXPECT_TRUE(w->runEnabled());
  EXPECT_FALSE(w->downloadBegun);
}

TEST_F(UsbUpdate, ClosingTheWindowEndsBothThreadsAndClosesTheDevice) {
  run(0x40000, {.paced = true}, &systemClock());
  ASSERT_TRUE(eventually([&] { return hid->pages().size() >= 3; }, "three blocks"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(w->shutdown(1000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(hid->openHandles(), 0);
  EXPECT_EQ(w->hid.hidRunning.load(), 0u);
}

}  // namespace
}  // namespace kestrel
