// The serial service commands against the simulated device on a port inside the process.

#include <gtest/gtest.h>

#include "core/window_state.h"
#include "service/service_commands.h"
#include "sim/elf_builder.h"
#include "sim/simulated_serial_ports.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"
#include "support/wait.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

using sim::SerialFaults;
using test::Shown;

class ServiceCommand : public ::testing::Test {
 protected:
  void device(SerialFaults faults = {}) {
    w.reset();
    sim = &ports.plug("COM4", std::move(faults));
    w = std::make_unique<test::FakeWindow>(clock, ports, hid);
    w->selectPort(4);
  }
  // Runs the command; what it writes has reached the device when it returns.
  void command(int id) {
    ASSERT_TRUE(runServiceCommand(*w, id));
    EXPECT_EQ(w->BaudIndex.load(), 0);
    EXPECT_FALSE(w->serialPortHandle.isOpen());
    EXPECT_FALSE(w->serialPortClaim.held());  // the port is free for the next run
  }
  // The bytes the device got, each with the speed it came at.
  std::vector<std::pair<uint32_t, uint8_t>> line() const {
    std::vector<std::pair<uint32_t, uint8_t>> out;
    for (const auto& b : sim->received()) out.push_back({b.baud, b.byte});
    return out;
  }
  static std::vector<std::pair<uint32_t, uint8_t>> at9600(const std::vector<uint8_t>& bytes) {
    std::vector<std::pair<uint32_t, uint8_t>> out;
    for (uint8_t b : bytes) out.push_back({9600, b});
    return out;
  }

  test::TempDir dir;
  test::ManualClock clock;
  sim::SimulatedSerialPorts ports{clock};
  test::NoHidDevices hid;
  sim::SerialBootDevice* sim = nullptr;
  std::unique_ptr<test::FakeWindow> w;
};

TEST_F(ServiceCommand, WakeByteGoesAtTheRestingSpeed) {
  device();
  command(1023);
  EXPECT_EQ(line(), (std::vector<std::pair<uint32_t, uint8_t>>{{115200, 0xA2}}));
  EXPECT_TRUE(w->messages().empty());
}

TEST_F(ServiceCommand, CradleIdentityIsUpperCasedAndFramed) {
  device();
  w->cradleIdText.set("0123456789ab");
  command(1029);
  EXPECT_EQ(line(), at9600({0xA7, 0x42, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39,
                            0x41, 0x42, 0x54}));
  EXPECT_EQ(w->cradleIdText.get(), "0123456789AB");
  command(1031);
  EXPECT_EQ(w->cradleIdText.get(), "");
}

TEST_F(ServiceCommand, WrongLengthsAreRefusedAndNothingIsSent) {
  device();
  for (const char* id : {"0123456789a", "0123456789abc", ""}) {
    w->cradleIdText.set(id);
    command(1029);
  }
  for (const char* code : {"abc", "abcde"}) {
    w->commandText.set(code);
    command(1034);
  }
  EXPECT_EQ(w->texts(),
            (std::vector<std::string>{
                "Cradle ID must be 12 digits!", "Cradle ID must be 12 digits!",
                "Cradle ID must be 12 digits!", "Command Length error!", "Command Length error!"}));
  w->frameText.set(std::string(255, 'x'));
  command(1044);
  EXPECT_EQ(w->texts().size(), 6u);
  EXPECT_TRUE(line().empty());
}

TEST_F(ServiceCommand, CodesGoBehindTheServicePrefixUnchanged) {
  device();
  w->commandText.set("ab12");
  command(1034);
  for (int id : {1032, 1035, 1039, 1040}) command(id);
  EXPECT_EQ(line(), at9600({0xAA, 'a', 'b',  '1', '2', 0xAA, 'K', 'E',  '9', '9', 0xAA, '-', '-',
                            '0',  '2', 0xAA, 'K', 'E', '0',  '1', 0xAA, 'K', 'E', '9',  '7'}));
  EXPECT_TRUE(w->messages().empty());
}

TEST_F(ServiceCommand, TextFrameCarriesTheFieldBetweenDAndN) {
  device();
  command(1044);
  w->frameText.set("hi");
  command(1044);
  EXPECT_EQ(line(), at9600({0xB5, 0x44, 0x4E, 0xB5, 0x44, 'h', 'i', 0x4E}));
  w->frameText.set(std::string(254, 'y'));
  command(1044);
  EXPECT_EQ(line().size(), 8u + 1 + 256);
}

TEST_F(ServiceCommand, TextQueryShowsTheAnswerUpToItsFirstZero) {
  device({.textAnswer = {'v', '1', '.', '2', 0x00, 'z', 'z'}});
  command(1036);
  EXPECT_EQ(w->messages(), (std::vector<Shown>{{"v1.2", std::nullopt}}));
  // Bytes from 0x80 are the single-byte characters they are.
  device({.textAnswer = {'v', 0xB2, ' ', 0xE9, 0x00, 'z'}});
  command(1036);
  EXPECT_EQ(w->messages(), (std::vector<Shown>{{"v\xC2\xB2 \xC3\xA9", std::nullopt}}));
}

TEST_F(ServiceCommand, FieldsWithCharactersBeyondAsciiAreRefused) {
  device();
  w->cradleIdText.set("0123456789\xC3\xA9");  // 11 characters, 12 bytes
  command(1029);
  w->commandText.set("ab\xC3\xA9");  // 3 characters, 4 bytes
  command(1034);
  EXPECT_EQ(w->texts(), (std::vector<std::string>{
                            "The cradle ID may hold only ASCII characters. Nothing was sent.",
                            "The command may hold only ASCII characters. Nothing was sent."}));
  EXPECT_TRUE(line().empty());
}

TEST_F(ServiceCommand, UndiscoverConfirmsOnlyAnAcknowledgement) {
  device({.cr01Answer = {0x06}});
  command(1037);
  EXPECT_EQ(w->texts(), (std::vector<std::string>{"Set undiscover Successfully"}));
  device({.cr01Answer = {0x15}});
  command(1037);
  EXPECT_TRUE(w->messages().empty());
}

TEST_F(ServiceCommand, PortReadingShowsFiveBytesOfAGoodFrame) {
  std::vector<uint8_t> good = {0x43, 0x01, 0x02, 0x03, 0x04, 0xAB, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x52};
  device({.cr02Answer = good});
  command(1038);
  EXPECT_EQ(w->texts(), (std::vector<std::string>{"P0=01,P1=02,P2=03,P3=04,P4=AB"}));

  std::vector<uint8_t> shortFrame(good.begin(), good.end() - 1);
  device({.cr02Answer = shortFrame});
  command(1038);
  EXPECT_TRUE(w->messages().empty());
  std::vector<uint8_t> wrongStart = good;
  wrongStart[0] = 0x44;
  device({.cr02Answer = wrongStart});
  command(1038);
  EXPECT_TRUE(w->messages().empty());
}

TEST_F(ServiceCommand, SilenceTimesOut) {
  device({.silent = true});
  command(1037);
  EXPECT_EQ(w->messages(), (std::vector<Shown>{{"Timeout fail!", "Fail"}}));
}

TEST_F(ServiceCommand, UsbPortSelectedHasNoSerialPort) {
  device();
  w->selectPort(0);
  command(1032);
  EXPECT_EQ(w->messages(),
            (std::vector<Shown>{{"Serial Port is unavaible!", std::nullopt, MessageIcon::Error}}));
}

// Another run holds the port between its close and its reopen: a command gets the port's refusal
// and sends nothing, in each of its patterns (one-shot, two one-shots, exchange).
TEST_F(ServiceCommand, PortClaimedByAnotherRunIsUnavailable) {
  device({.cr01Answer = {0x06}});
  PortError error;
  auto other = ports.claim("COM4", &error);
  ASSERT_TRUE(other);
  w->frameText.set("hi");
  for (int id : {1023, 1044, 1037}) command(id);
  const Shown unavailable{"Serial Port is unavaible!", std::nullopt, MessageIcon::Error};
  EXPECT_EQ(w->messages(), (std::vector<Shown>(4, unavailable)));
  EXPECT_TRUE(line().empty());
  other.reset();
  command(1037);
  EXPECT_EQ(w->texts().back(), "Set undiscover Successfully");
}

TEST_F(ServiceCommand, RefusedWhileASerialSearchHoldsThePort) {
  device({.silent = true});
  test::writeFile("fw.out", sim::ElfBuilder().add(0, {1}).build());
  w->typeTitle("fw");
  runCommand(*w);
  ASSERT_TRUE(w->serialUpdateRunning.load());
  size_t before = line().size();
  ASSERT_TRUE(runServiceCommand(*w, 1032));
  ASSERT_TRUE(runServiceCommand(*w, 1031));  // uses no port: still allowed
  EXPECT_EQ(w->texts().size(), 1u);
  EXPECT_NE(w->texts()[0].find("busy"), std::string::npos);
  EXPECT_TRUE(w->serialPortHandle.isOpen());  // the search goes on undisturbed
  ASSERT_TRUE(test::eventually([&] { return line().size() >= before + 2; }, "two more probes"));
  for (size_t i = before; i < line().size(); ++i) EXPECT_EQ(line()[i].second, 0xA5);
  stopCommand(*w);
  ASSERT_TRUE(w->workersEnd());
}

}  // namespace
}  // namespace kestrel
