// kestrel-flash updating several devices at once, as a process: the real binary starting its
// children, against simulated serial boot loaders on pseudo-terminals in this process, with the
// bytes each device got, the summary and the log checked.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/sha256.h"
#include "sim/elf_builder.h"
#include "sim/serial_boot_sim.h"
#include "support/child_process.h"
#include "support/json_lines.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace kestrel {
namespace {

using Json = nlohmann::json;
using test::jsonLines;
using Clk = std::chrono::steady_clock;

// A batch waits out a device's five-second silence and a search's time-out: more than the
// patience for what should happen at once.
constexpr std::chrono::milliseconds kBatchPatience{60000};

// The whole text of the file at `path`; "" when there is none.
std::string readText(const std::filesystem::path& path) {
  std::vector<uint8_t> bytes = test::readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// The first event named `name` in `events`, or null.
Json eventNamed(const std::vector<Json>& events, const std::string& name) {
  for (const Json& e : events) {
    if (e.value("event", "") == name) return e;
  }
  return nullptr;
}

// The summary's result for each device, by its label.
std::map<std::string, Json> resultsOf(const Json& summary) {
  std::map<std::string, Json> out;
  if (summary.is_object()) {
    for (const Json& r : summary["results"]) out[r["device"].get<std::string>()] = r;
  }
  return out;
}

class BatchProcess : public ::testing::Test {
 protected:
  BatchProcess() {
    image = sim::patternBytes(9000, 41);
    test::writeFile("fw.out", sim::ElfBuilder().add(0, image).build());
    flashed = image;
    flashed.resize((image.size() + 2047) / 2048 * 2048, 0);
    std::filesystem::create_directory(dir.path() / "lock");
    std::filesystem::create_directory(dir.path() / "tmp");
  }

  // A simulated boot loader as COMn in the test's folder.
  sim::SerialBootSim& device(int n, sim::SerialFaults faults = {}) {
    auto& sim = sims[n] = std::make_unique<sim::SerialBootSim>(std::move(faults));
    sim->linkAs(dir.path().string(), "COM" + std::to_string(n));
    return *sim;
  }

  test::ChildProcess start(std::vector<std::string> args) {
    args.insert(args.begin(), KESTREL_FLASH_BINARY);
    return test::ChildProcess(args, test::environmentWith({
                                        {"KESTREL_COM_DIR", dir.path().string()},
                                        {"KESTREL_LOCK_DIR", (dir.path() / "lock").string()},
                                        {"TMPDIR", (dir.path() / "tmp").string()},
                                    }));
  }
  test::Ended run(std::vector<std::string> args) {
    test::ChildProcess flash = start(std::move(args));
    std::optional<test::Ended> ended = flash.finish(kBatchPatience);
    EXPECT_TRUE(ended) << "kestrel-flash did not end within " << kBatchPatience.count() << " ms";
    return ended.value_or(test::Ended{});
  }
  std::vector<Json> log() { return jsonLines(readText(dir.path() / "units.jsonl")); }

  test::TempDir dir;
  std::vector<uint8_t> image, flashed;
  std::map<int, std::unique_ptr<sim::SerialBootSim>> sims;
};

TEST_F(BatchProcess, EachDeviceGetsTheImageAndOneThatFailsIsSummedUpAndLogged) {
  sim::SerialFaults noAckAt3;
  noAckAt3.noFrameAckAt = 3;
  for (int n : {1, 2, 4}) device(n);
  device(3, noAckAt3);

  test::Ended r = run({"--json", "--port", "COM1", "--port", "COM2", "--port", "COM3", "--port",
                       "COM4", "--jobs", "3", "--log", "units.jsonl", "fw.out"});
  EXPECT_EQ(r.exitCode, 8) << test::describe(r);
  for (int n : {1, 2, 4}) EXPECT_EQ(sims[n]->image(), flashed) << "COM" << n;
  std::vector<Json> events = jsonLines(r.out);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["event"], "end");
  EXPECT_EQ(events.back()["exit_code"], 8);
  const Json summary = events[events.size() - 2];
  ASSERT_EQ(summary["event"], "summary") << r.out;
  EXPECT_EQ(summary["devices"], 4);
  EXPECT_EQ(summary["succeeded"], 3);
  EXPECT_EQ(summary["failed"], 1);
  auto results = resultsOf(summary);
  // Every progress a device's child reported names the device.
  for (const Json& e : events) {
    if (e["event"] == "progress") {
      EXPECT_TRUE(results.count(e.value("device", ""))) << e;
    }
  }

  const std::string sha = sha256Hex(image.data(), image.size());
  std::map<std::string, Json> logged;
  for (const Json& line : log()) logged[line["device"].get<std::string>()] = line;
  ASSERT_EQ(logged.size(), 4u) << readText(dir.path() / "units.jsonl");
  for (int n = 1; n <= 4; ++n) {
    const std::string label = "COM" + std::to_string(n);
    SCOPED_TRACE(label);
    const int code = n == 3 ? 6 : 0;
    EXPECT_EQ(results[label]["exit_code"], code);
    EXPECT_EQ(results[label]["result"], n == 3 ? "failed" : "ok");
    EXPECT_EQ(results[label]["attempts"], 1);
    const Json& line = logged[label];
    EXPECT_EQ(line["exit_code"], code);
    EXPECT_EQ(line["result"], n == 3 ? "failed" : "ok");
    EXPECT_EQ(line["sha256"], sha);
    EXPECT_EQ(line["image_length"], image.size());
    EXPECT_EQ(line["firmware"], "fw.out");
    EXPECT_EQ(line["attempt"], 1);
  }
  EXPECT_NE(results["COM3"]["reason"].get<std::string>().find("no acknowledgement"),
            std::string::npos);
  // The image handed to the children is gone. The run had a temporary folder of its own: a parent
  // killed in another test leaves its image where that run was told to.
  for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "tmp")) {
    EXPECT_EQ(entry.path().filename().string().rfind("kestrel-image-", 0), std::string::npos)
        << entry.path();
  }
}

TEST_F(BatchProcess, ADeviceThatMissedItsFirstHandshakeIsTriedAgainAndLoggedTwice) {
  sim::SerialFaults missFirst;
  missFirst.clearAcksMissed = 1;
  device(1, missFirst);
  test::Ended r = run({"--port", "COM1", "--retries", "1", "--log", "units.jsonl", "fw.out"});
  EXPECT_EQ(r.exitCode, 0) << test::describe(r);
  EXPECT_EQ(sims[1]->image(), flashed);
  // Plain lines, each with its device's label; the summary table at the end.
  EXPECT_NE(r.out.find("\nCOM1: failed: no acknowledgement of the clear command;"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("; trying again\nCOM1: attempt 2 of 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\ndevice  location"), std::string::npos) << r.out;
  std::vector<Json> lines = log();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["attempt"], 1);
  EXPECT_EQ(lines[0]["exit_code"], 6);
  EXPECT_EQ(lines[0]["cause"], "no_acknowledgement");
  EXPECT_EQ(lines[1]["attempt"], 2);
  EXPECT_EQ(lines[1]["result"], "ok");
}

// A child that is killed costs its own device only; the parent says how it ended. A parent that
// is killed leaves whole lines in the log, which its children go on writing.
TEST_F(BatchProcess, AKilledChildOrParentCostsOnlyItsOwnPart) {
  sim::SerialFaults paced;
  paced.paced = true;
  for (int n : {1, 2}) device(n, paced);
  test::ChildProcess flash =
      start({"--json", "--port", "COM1", "--port", "COM2", "--log", "units.jsonl", "fw.out"});
  std::map<std::string, int> pids;
  std::string line;
  const auto until = Clk::now() + kBatchPatience;
  bool killed = false;
  while (!killed && Clk::now() < until && flash.nextLine(&line, test::kPatience)) {
    Json e = Json::parse(line, nullptr, false);
    if (e["event"] == "attempt_start") pids[e["device"]] = e["pid"];
    if (e["event"] == "progress" && e["device"] == "COM1" && e["percent"] >= 20) {
      ASSERT_GT(pids["COM1"], 0);
      ::kill(pids["COM1"], SIGKILL);
      killed = true;
    }
  }
  ASSERT_TRUE(killed) << "COM1's download was never seen under way";
  std::optional<test::Ended> ended = flash.finish(kBatchPatience);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exitCode, 8) << test::describe(*ended);
  EXPECT_EQ(sims[2]->image(), flashed);
  auto results = resultsOf(eventNamed(jsonLines(ended->out), "summary"));
  EXPECT_EQ(results["COM1"]["result"], "crashed");
  EXPECT_NE(results["COM1"]["reason"].get<std::string>().find("signal 9"), std::string::npos)
      << results["COM1"];
  EXPECT_EQ(results["COM2"]["result"], "ok");
  std::vector<Json> lines = log();
  ASSERT_EQ(lines.size(), 2u);
  for (const Json& l : lines) {
    if (l["device"] == "COM1") {
      EXPECT_EQ(l["signal"], 9);
      EXPECT_EQ(l["device_got"], "incomplete");
    }
  }

  // The parent killed while its children run: they finish and record themselves. Fresh devices:
  // the one whose download stopped halfway waits for the rest of its block.
  std::filesystem::remove(dir.path() / "units.jsonl");
  for (int n : {1, 2}) device(n, paced);
  test::ChildProcess parent =
      start({"--json", "--port", "COM1", "--port", "COM2", "--log", "units.jsonl", "fw.out"});
  int started = 0;
  while (started < 2 && parent.nextLine(&line, test::kPatience)) {
    started += Json::parse(line, nullptr, false).value("event", "") == "progress";
  }
  ASSERT_EQ(started, 2) << "the children were never seen under way";
  parent.signal(SIGKILL);
  ASSERT_TRUE(parent.finish(test::kPatience));
  EXPECT_TRUE(test::eventually(
      [&] {
        std::string text = readText(dir.path() / "units.jsonl");
        return std::count(text.begin(), text.end(), '\n') == 2;
      },
      "two records from the orphaned children", kBatchPatience));
  const std::string text = readText(dir.path() / "units.jsonl");
  EXPECT_EQ(text.back(), '\n');
  for (const Json& l : jsonLines(text)) EXPECT_EQ(l["result"], "ok") << l;
  for (int n : {1, 2}) EXPECT_EQ(sims[n]->image(), flashed) << "COM" << n;
}

// A child killed once its device has taken the clear command, before any block is acknowledged:
// the device's firmware is gone, and the summary and the log say so though no block was counted.
TEST_F(BatchProcess, AChildKilledAsItsDownloadBeginsLeavesItsDeviceSaidToBeWithoutFirmware) {
  sim::SerialFaults waiting;
  waiting.noCommandAckAt = 0;  // the first block command waits for its acknowledgement
  sim::SerialBootSim& one = device(1, waiting);
  device(2);
  test::ChildProcess flash =
      start({"--json", "--port", "COM1", "--port", "COM2", "--log", "units.jsonl", "fw.out"});
  int pid = 0;
  std::string line;
  while (pid == 0 && flash.nextLine(&line, test::kPatience)) {
    Json e = Json::parse(line, nullptr, false);
    if (e["event"] == "attempt_start" && e["device"] == "COM1") pid = e.value("pid", 0);
  }
  ASSERT_GT(pid, 0) << "COM1's child was never seen to start";
  ASSERT_TRUE(test::eventually(
      [&] {
        std::vector<std::string> c = one.commands();
        return std::find(c.begin(), c.end(), "UFLHU") != c.end();
      },
      "COM1's first block command, after its clear command", kBatchPatience));
  ::kill(pid, SIGKILL);
  std::optional<test::Ended> ended = flash.finish(kBatchPatience);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exitCode, 8) << test::describe(*ended);
  EXPECT_EQ(one.commands().front(), "UCLRU");
  auto results = resultsOf(eventNamed(jsonLines(ended->out), "summary"));
  EXPECT_EQ(results["COM1"]["result"], "crashed");
  EXPECT_NE(results["COM1"]["reason"].get<std::string>().find("no working firmware"),
            std::string::npos)
      << results["COM1"];
  EXPECT_EQ(results["COM2"]["result"], "ok");
  bool logged = false;
  for (const Json& l : log()) {
    if (l["device"] != "COM1") continue;
    logged = true;
    EXPECT_EQ(l["device_got"], "incomplete") << l;
  }
  EXPECT_TRUE(logged) << "COM1 is not in the log";
}

// A request to end reaches every child, each ends its update in good order and says what its
// device got, and the batch still sums up.
TEST_F(BatchProcess, AStopRequestStopsEveryChildAndTheSummaryStillComes) {
  sim::SerialFaults paced;
  paced.paced = true;
  for (int n : {1, 2}) device(n, paced);
  test::ChildProcess flash =
      start({"--json", "--port", "COM1", "--port", "COM2", "--log", "units.jsonl", "fw.out"});
  int underWay = 0;
  std::string line;
  while (underWay < 2 && flash.nextLine(&line, test::kPatience)) {
    Json e = Json::parse(line, nullptr, false);
    underWay += e.value("event", "") == "progress" && e.value("percent", 0) > 0;
  }
  ASSERT_EQ(underWay, 2) << "the downloads were never seen under way";
  flash.signal(SIGTERM);
  std::optional<test::Ended> ended = flash.finish(kBatchPatience);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exitCode, 130) << test::describe(*ended);
  std::vector<Json> events = jsonLines(ended->out);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.back()["exit_code"], 130);
  auto results = resultsOf(events[events.size() - 2]);
  ASSERT_EQ(results.size(), 2u) << ended->out;
  std::vector<Json> lines = log();
  EXPECT_EQ(lines.size(), 2u);
  for (const Json& l : lines) {
    SCOPED_TRACE(l.dump());
    EXPECT_EQ(l["exit_code"], 130);
    EXPECT_EQ(l["cause"], "interrupted");
    EXPECT_EQ(l["device_got"], "incomplete");
    EXPECT_EQ(results[l["device"].get<std::string>()]["exit_code"], 130);
  }
}

// A child refuses an image that is not the one its parent converted, before the device gets a
// byte: the handed-over file might have been changed.
TEST_F(BatchProcess, AChildRefusesAnImageThatIsNotTheOneConverted) {
  sim::SerialBootSim& sim = device(1);
  test::writeFile("handed.bin", image);
  const std::string wrong(64, 'a');
  test::Ended r = run(
      {"--batch-child", "1," + wrong + ",handed.bin", "--port", "COM1", "--json", "--", "fw.out"});
  EXPECT_EQ(r.exitCode, 3) << test::describe(r);
  Json record = eventNamed(jsonLines(r.out), "record");
  EXPECT_EQ(record["exit_code"], 3) << r.out;
  EXPECT_NE(record["reason"].get<std::string>().find("SHA-256"), std::string::npos);
  EXPECT_EQ(sim.receivedCount(), 0u);
}

}  // namespace
}  // namespace kestrel
