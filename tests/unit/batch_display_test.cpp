// What a batch shows and records, apart from any process: the live lines on a terminal, the
// label-prefixed lines of a pipe, the JSON with every device named, and the record of an attempt.

#include "cli/batch_display.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/device_batch.h"
#include "cli/flash_command.h"
#include "cli/unit_record.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace kestrel {
namespace {

#ifndef O_BINARY
#define O_BINARY 0
#endif

// A display's standard output and error, caught in files of the test's folder.
class Screen {
 public:
  Screen()
      : outFd_(::open("out", O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0600)),
        errFd_(::open("err", O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0600)),
        out(outFd_),
        err(errFd_) {}
  ~Screen() {
    ::close(outFd_);
    ::close(errFd_);
  }
  std::string text(OutputSink& sink, const char* name) {
    EXPECT_TRUE(sink.flush(test::kPatience)) << "the output was not written";
    auto bytes = test::readFile(name);
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  test::TempDir dir_;
  int outFd_, errFd_;

 public:
  OutputSink out, err;
};

UnitRecord failedRecord(const std::string& device) {
  UnitRecord r;
  r.device = device;
  r.result = "failed";
  r.exitCode = 6;
  r.cause = "no_acknowledgement";
  r.reason = "no acknowledgement of the block at block 3 (page address 24)";
  return r;
}

TEST(BatchDisplay, LiveLinesAreRedrawnInPlaceFittedAndEscaped) {
  struct Row {
    std::string label;
    size_t width;
    int percent;
    std::string state;
    int columns;
    std::string line;
  };
  const Row rows[] = {
      {"COM1", 4, 40, "Progressing...", 80, "COM1  [########------------]  40%  Progressing..."},
      // Too narrow for the bar: the percent and the state, cut where the line must end.
      {"COM1", 4, 40, "Progressing...", 24, "COM1   40%  Progressing"},
      // A device's text cannot move the cursor; a character is never cut in two.
      {"\x1b[2J", 7, -1, "caf\xC3\xA9 \xC3\xA9t\xC3\xA9", 22,
       "\\x1b[2J        caf\xC3\xA9 \xC3\xA9"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(deviceLine(row.label, row.width, row.percent, row.state, row.columns), row.line);
  }

  Screen screen;
  BatchDisplay display(screen.out, screen.err, ConsoleStyle::Terminal,
                       {[] { return 60; }, [] { return 24; }, true});
  display.add("COM1");
  display.add("COM2");
  display.refresh();
  display.childEvent(1, {{"event", "progress"}, {"percent", 50}});
  display.refresh();
  display.refresh();  // nothing changed: nothing drawn
  const std::string text = screen.text(screen.out, "out");
  // Drawn twice; the second time from two lines up, each line erased to its end.
  EXPECT_EQ(text.find("\x1b[2A"), text.rfind("\x1b[2A")) << text;
  EXPECT_NE(text.find("\x1b[2A\rCOM1"), std::string::npos) << text;
  EXPECT_NE(text.find("\rCOM2  [##########----------]  50%  waiting\x1b[K\n"), std::string::npos)
      << text;
}

TEST(BatchDisplay, WithoutRoomOrCursorThePipeGetsLinesPrefixedWithTheLabel) {
  for (BatchDisplay::Terminal terminal :
       {BatchDisplay::Terminal{{}, [] { return 2; }, true}, BatchDisplay::Terminal{}}) {
    Screen screen;
    BatchDisplay display(screen.out, screen.err, ConsoleStyle::Terminal, terminal);
    display.add("COM1");
    display.add("COM\n2");
    display.attemptStarted(1, 1, 2, 123);
    display.childEvent(1, {{"event", "status"}, {"text", "Search Device..."}});
    display.childEvent(1, {{"event", "warning"}, {"text", "slow"}});
    display.attemptEnded(1, failedRecord("COM\n2"), true);
    display.attemptStarted(1, 2, 2, 124);
    EXPECT_EQ(screen.text(screen.out, "out"),
              "COM\\x0a2: Search Device...\n"
              "COM\\x0a2: failed: no acknowledgement of the block at block 3 (page address 24); "
              "trying again\n"
              "COM\\x0a2: attempt 2 of 2\n");
    EXPECT_EQ(screen.text(screen.err, "err"), "kestrel-flash: COM\\x0a2: slow\n");
  }
}

TEST(BatchDisplay, JsonNamesTheDeviceOfEveryEventAndSumsUpBeforeTheEnd) {
  Screen screen;
  BatchDisplay display(screen.out, screen.err, ConsoleStyle::Json, {});
  display.add("COM1");
  display.add("COM2");
  display.childEvent(0, {{"event", "progress"}, {"percent", 10}, {"device", "forged"}});
  display.childEvent(0, {{"event", "end"}, {"exit_code", 0}});  // a child's own end: not passed on
  DeviceSummary ok{"COM1", "/dev/ttyUSB0", "", "ok", 0, "download finished", 1.5, 1};
  DeviceSummary failed{"COM2", "", "SN2", "failed", 6, "no acknowledgement", 5.25, 2};
  display.finish({ok, failed}, kExitSomeFailed, "1 of 2 devices updated");
  EXPECT_EQ(screen.text(screen.out, "out"),
            R"({"event":"progress","device":"COM1","percent":10})"
            "\n"
            R"({"event":"summary","devices":2,"succeeded":1,"failed":1,"results":[)"
            R"({"device":"COM1","location":"/dev/ttyUSB0","serial_number":null,"result":"ok",)"
            R"("exit_code":0,"reason":"download finished","seconds":1.5,"attempts":1},)"
            R"({"device":"COM2","location":null,"serial_number":"SN2","result":"failed",)"
            R"("exit_code":6,"reason":"no acknowledgement","seconds":5.25,"attempts":2}]})"
            "\n"
            R"({"event":"end","result":"failed","exit_code":8,"reason":"1 of 2 devices updated"})"
            "\n");
}

// A station's slot keeps its line when its unit comes back; the counts stay under the lines, and a
// note goes above them.
TEST(BatchDisplay, ASlotKeepsItsLineAndTheCountsStayUnderTheLines) {
  Screen screen;
  BatchDisplay display(screen.out, screen.err, ConsoleStyle::Terminal,
                       {[] { return 60; }, [] { return 24; }, true});
  EXPECT_EQ(display.add("usb:1-3.1"), 0u);
  EXPECT_EQ(display.add("usb:1-3.2"), 1u);
  display.setFooter("counts: passed 0, failed 0, running 2", {});
  display.refresh();
  display.attemptEnded(0, failedRecord("usb:1-3.1"), false);
  // Plugged in again: a device of its own for the batch, the same line on the screen.
  EXPECT_EQ(display.add("usb:1-3.1"), 2u);
  display.childEvent(2, {{"event", "progress"}, {"percent", 50}});
  display.refresh();
  display.note({}, "usb:1-3.2: unplugged");
  display.setState(1, "empty");
  display.refresh();
  const std::string text = screen.text(screen.out, "out");
  EXPECT_EQ(text.find("\x1b[4A"), std::string::npos) << "no fourth line was drawn:\n" << text;
  EXPECT_NE(text.find("\x1b[3A\rusb:1-3.1  [##########----------]  50%  waiting\x1b[K\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\rcounts: passed 0, failed 0, running 2\x1b[K\n"), std::string::npos)
      << text;
  // The note over the first line, then every line drawn anew below it.
  EXPECT_NE(text.find("\x1b[3A\rusb:1-3.2: unplugged\x1b[K\n\rusb:1-3.1"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\rusb:1-3.2  [--------------------]       empty\x1b[K\n"),
            std::string::npos)
      << text;
}

TEST(BatchDisplay, AStationsCountsAndNotesAreLinesInAPipeAndEventsInJson) {
  const nlohmann::ordered_json counts = {{"event", "counts"}, {"passed", 1}};
  {
    Screen screen;
    BatchDisplay display(screen.out, screen.err, ConsoleStyle::Plain, {});
    display.add("COM12");
    display.note({{"event", "appeared"}}, "COM12: plugged in");
    display.setFooter("counts: passed 1", counts);
    display.setFooter("counts: passed 1", counts);  // unchanged: not repeated
    display.setState(0, "empty");
    display.note({{"event", "interrupting"}}, "interrupting", true);
    EXPECT_EQ(screen.text(screen.out, "out"),
              "COM12: plugged in\ncounts: passed 1\nCOM12: empty\n");
    EXPECT_EQ(screen.text(screen.err, "err"), "kestrel-flash: interrupting\n");
  }
  Screen screen;
  BatchDisplay display(screen.out, screen.err, ConsoleStyle::Json, {});
  display.add("COM12");
  display.note({{"event", "appeared"}, {"device", "COM12"}}, "COM12: plugged in");
  display.setFooter("counts: passed 1", counts);
  display.setFooter("counts: passed 1", counts);
  display.setState(0, "empty");
  EXPECT_EQ(screen.text(screen.out, "out"),
            "{\"event\":\"appeared\",\"device\":\"COM12\"}\n"
            "{\"event\":\"counts\",\"passed\":1}\n");
}

TEST(DeviceBatch, TheExitCodeTheRecordAndTheChildsOptionFollowTheirRules) {
  DeviceSummary ok{"A", "", "", "ok", 0, "", 0, 1};
  DeviceSummary noAck{"B", "", "", "failed", 6, "", 0, 1};
  EXPECT_EQ(batchExitCode({noAck}, false), 6) << "one device keeps its own code";
  EXPECT_EQ(batchExitCode({ok, ok}, false), 0);
  EXPECT_EQ(batchExitCode({ok, noAck}, false), kExitSomeFailed);
  EXPECT_EQ(batchExitCode({ok, ok}, true), kExitInterrupted);

  for (const char* cause : {"no_answer", "no_acknowledgement", "line_held_up", "send_error"}) {
    EXPECT_TRUE(retryable(cause)) << cause;
  }
  for (const char* cause :
       {"device_gone", "interrupted", "port_unavailable", "device_busy", "image_refused", ""}) {
    EXPECT_FALSE(retryable(cause)) << cause;
  }

  const std::string sha(64, 'b');
  BatchChildOrder order;
  ASSERT_TRUE(parseBatchChild(batchChildText({3, sha, "C:\\Temp\\a,b.bin"}), &order));
  EXPECT_EQ(order.attempt, 3);
  EXPECT_EQ(order.imagePath, "C:\\Temp\\a,b.bin");
  for (const std::string& bad :
       {std::string(), "1," + sha, "0," + sha + ",x", "1," + sha.substr(1) + ",x",
        "x," + sha + ",x", "1," + std::string(64, 'G') + ",x"}) {
    EXPECT_FALSE(parseBatchChild(bad, &order)) << bad;
  }

  UnitRecord r = failedRecord("usb:1-3.2");
  r.version = 0x100;
  r.signal = 9;
  r.seconds = 2.5;
  r.attempt = 2;
  UnitRecord back;
  ASSERT_TRUE(recordFromJson(nlohmann::json::parse(recordJson(r).dump()), &back));
  EXPECT_EQ(recordJson(back), recordJson(r));
  EXPECT_FALSE(recordFromJson({{"device", "x"}}, &back));
  EXPECT_EQ(utcTimeText(std::chrono::system_clock::time_point(
                std::chrono::milliseconds(86400000LL * 365 + 1234))),
            "1971-01-01T00:00:01.234Z");
}

}  // namespace
}  // namespace kestrel
