// The programs beside the utility (the sample firmware writer, the simulators) on their
// command lines: --help explains, a usage error exits 2 with a message, and no argument that reads
// as an option ever becomes a file.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace kestrel {
namespace {

struct Call {
  std::vector<std::string> args;
  int exitCode;
  std::string inOut;  // found in stdout
  std::string inErr;  // found in stderr
};

// Runs each call in an empty folder of its own; only a call that succeeds may leave a file.
void expectCalls(const std::string& program, const std::vector<Call>& calls) {
  for (const Call& call : calls) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), call.args.begin(), call.args.end());
    SCOPED_TRACE(::testing::PrintToString(argv));
    test::TempDir dir;
    test::ChildProcess child(argv);
    ASSERT_TRUE(child.started());
    auto ended = child.finish(test::kPatience);
    ASSERT_TRUE(ended) << "still running after " << test::kPatience.count() << " ms";
    EXPECT_EQ(ended->exitCode, call.exitCode) << test::describe(*ended);
    EXPECT_NE(ended->out.find(call.inOut), std::string::npos) << ended->out;
    EXPECT_NE(ended->err.find(call.inErr), std::string::npos) << ended->err;
    if (call.exitCode == 2) {
      EXPECT_NE(ended->err.find("Try '" + std::filesystem::path(program).filename().string() +
                                " --help'."),
                std::string::npos)
          << ended->err;
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(call.exitCode == 0 && name[0] != '-') << "left behind: " << name;
    }
  }
}

TEST(Tools, SampleFirmwareExplainsItselfAndWritesOnlyWhatItIsAskedFor) {
  expectCalls(KESTREL_SAMPLE_FIRMWARE,
              {
                  {{"--help"}, 0, "usage: kestrel-sample-firmware [--] OUT.out [IMAGE_BYTES]", ""},
                  {{"-h"}, 0, "IMAGE_BYTES", ""},
                  {{"fw.out", "--help"}, 0, "usage:", ""},
                  {{}, 2, "", "no output file given"},
                  {{"--size", "fw.out"}, 2, "", "unknown option '--size'"},
                  {{"-o"}, 2, "", "unknown option '-o'"},
                  {{"--", "--help"}, 2, "", "'--help' reads as an option"},
                  {{"fw.out", "12abc"}, 2, "", "not '12abc'"},
                  {{"fw.out", "0x100"}, 2, "", "from 0x200 to 0x40000"},
                  {{"fw.out", "-5"}, 2, "", "unknown option '-5'"},
                  {{"fw.out", "0x1000", "extra"}, 2, "", "too many arguments: 'extra'"},
                  {{"fw.out", "0x1000"}, 0, "", ""},
                  {{"--", "fw.out"}, 0, "", ""},
              });
  // What it writes is an ELF file of the size asked for: two segments of 0x800 and 0x200 bytes.
  test::TempDir dir;
  test::ChildProcess child({KESTREL_SAMPLE_FIRMWARE, "fw.out", "0x1000"});
  ASSERT_TRUE(child.finish(test::kPatience));
  auto bytes = test::readFile("fw.out");
  ASSERT_GE(bytes.size(), 0x800u + 0x200u);
  EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 4), "ELF");
}

TEST(Tools, SerialSimulatorExplainsItselfAndRefusesWhatItDoesNotKnow) {
  expectCalls(KESTREL_SERIAL_SIM,
              {
                  {{"--help"}, 0, "KESTREL_COM_DIR=", ""},
                  {{"-h"}, 0, "--link DIR/COMn", ""},
                  {{"--paced", "--help"}, 0, "--hold-line-at N", ""},
                  {{}, 2, "", "no --link DIR/COMn given"},
                  {{"--paced"}, 2, "", "no --link DIR/COMn given"},
                  {{"--link"}, 2, "", "--link needs a path"},
                  {{"--link", "--paced"}, 2, "", "not '--paced'"},
                  {{"--link="}, 2, "", "--link needs a path"},
                  {{"--speed", "9600"}, 2, "", "unknown option '--speed'"},
                  {{"--link", "ports/COM1", "--hold-line-at", "x"}, 2, "", "not 'x'"},
                  {{"--link", "ports/COM1", "--hold-line-at"}, 2, "", "--hold-line-at needs"},
                  {{"--link", "ports/COM1", "COM2"}, 2, "", "unexpected argument 'COM2'"},
              });
}

TEST(Tools, HidSimulatorExplainsItselfAndRefusesWhatPlugsInNothing) {
  expectCalls(KESTREL_HID_SIM,
              {
                  {{"--help"}, 0, "usage: kestrel-hid-sim --dir DIR", ""},
                  {{"--dir", "m", "-h"}, 0, "KESTREL_HIDSIM_DIR=", ""},
                  {{}, 2, "", "--dir is needed"},
                  {{"--dir"}, 2, "", "--dir needs a value"},
                  {{"--dir", "--paced"}, 2, "", "--dir needs a value"},
                  {{"--dir", "m", "--location", "1-3:1.0"}, 2, "", "such as 1-3.2, not '1-3:1.0'"},
                  {{"--dir", "m", "--version", "0x10000"}, 2, "", "from 0 to 65535"},
                  {{"--dir", "m", "--unplug-at", "x"}, 2, "", "--unplug-at takes a number"},
                  {{"--dir", "m", "--bogus"}, 2, "", "unknown option '--bogus'"},
              });
}

}  // namespace
}  // namespace kestrel
