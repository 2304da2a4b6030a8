#pragma once

// What a batch of kestrel-flash shows while its devices are updated and when they are done.

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/console_window.h"
#include "cli/output_sink.h"
#include "cli/unit_record.h"

namespace kestrel {

// How one device of a batch ended, for the summary.
struct DeviceSummary {
  std::string device;  // Its label.
  std::string location;
  std::string serialNumber;
  std::string result;  // "ok", "failed", "crashed", "no_report" (the last attempt's), or
                       // "not_started" when the batch was interrupted before its turn.
  int exitCode = 0;
  std::string reason;
  double seconds = 0;  // From its first attempt's start to its last one's end.
  int attempts = 0;
};

// The batch's output. The style is the run's (ConsoleWindow's):
// - Terminal: one line per device (label, bar, percent, state), redrawn in place by moving the
//   cursor up, each fitted to the terminal's width, at most every refresh() (call it about ten
//   times a second); where the cursor cannot be moved or the lines do not fit the terminal's
//   height, Plain instead;
// - Plain: a line for each change, prefixed with the device's label ("COM3: progress 40%");
// - Quiet: nothing but each failed device's last line, on stderr;
// - Json: every child's event with "device" (its label) after "event"; an "attempt_start" (with
//   the child's "pid") and an "attempt" event (the attempt's record) for each attempt.
// The end: the summary (a table in text, a "summary" object in JSON), then the end (the "end"
// object, or the last line). Text shows control characters escaped (printable()).
// Every method may be called from any thread.
class BatchDisplay {
 public:
  struct Terminal {
    std::function<int()> columns;  // Asked at every redraw; 0: 80.
    std::function<int()> rows;     // Asked once; 0: any height.
    bool movesCursor = false;      // terminalMovesCursor() of stdout.
  };
  BatchDisplay(OutputSink& out, OutputSink& err, ConsoleStyle style, Terminal terminal);

  // Another device, labelled `label`; returns its index, counted from 0 in the order added. It gets
  // a line of its own, or the line of an earlier device with the same label (a station's slot, its
  // unit plugged in again). On a terminal whose height the lines no longer fit, the display goes on
  // in plain lines.
  size_t add(const std::string& label);
  // Device `i`'s line says `state` (text styles; a plain line when it changes).
  void setState(size_t i, const std::string& state);
  // A line under the devices' lines (a station's counts): drawn in place on a terminal, written
  // as a line whenever it changes in plain text, and `event` whenever it changes in JSON.
  void setFooter(const std::string& text, const nlohmann::ordered_json& event);
  // A line of its own (a station's "watching", a unit that came or went): `event` in JSON, `text`
  // otherwise (above the devices' lines on a terminal; nothing when Quiet), on stdout, or on
  // stderr after "kestrel-flash: " when `warning`, which Quiet prints too.
  void note(const nlohmann::ordered_json& event, const std::string& text, bool warning = false);
  // Device `i`'s attempt `attempt` of at most `attempts` has started, in the process `pid` (0 when
  // none was started: a device refused beforehand, or a child that could not be started).
  void attemptStarted(size_t i, int attempt, int attempts, int pid);
  // One event that device `i`'s child reported ("status", "progress", "message", "unit", and
  // "warning" with its "text", which text styles print on stderr); events of other kinds are
  // passed over.
  void childEvent(size_t i, const nlohmann::json& event);
  // Device `i`'s attempt ended as `record` says; `again` when it is tried again.
  void attemptEnded(size_t i, const UnitRecord& record, bool again);
  // Draws what changed since the last call (Terminal).
  void refresh();

  // The last draw, then the summary of `devices`, then the end: `code` and `reason` (in JSON the
  // "end" object; in text `reason` on stdout after "download finished" for code 0, else on
  // stderr after "kestrel-flash: ").
  void finish(const std::vector<DeviceSummary>& devices, int code, const std::string& reason);

 private:
  struct Line {
    std::string label;
    int percent = -1;
    std::string state = "waiting";
    std::string lastStatus;  // Plain: the status printed last, which is not repeated.
  };
  void json(const nlohmann::ordered_json& object);  // Needs mutex_.
  void plain(size_t i, const std::string& text);    // Needs mutex_.
  Line& lineOf(size_t i) { return lines_[lineOf_[i]]; }  // Needs mutex_.
  void draw();                                      // Needs mutex_.
  bool live() const { return style_ == ConsoleStyle::Terminal; }

  OutputSink& out_;
  OutputSink& err_;
  const Terminal terminal_;
  std::mutex mutex_;    // Guards everything below, and the order of output.
  ConsoleStyle style_;  // Terminal only while the lines can be drawn in place.
  int rows_ = 0;        // The terminal's height; 0: any.
  size_t labelWidth_ = 0;
  std::vector<Line> lines_;
  std::vector<size_t> lineOf_;  // Each device's line, by its index.
  std::string footer_;
  bool dirty_ = false;
  size_t drawn_ = 0;  // Lines drawn by the last draw(), which the next one goes back over.
};

// One device's live line in at most `columns` - 1 columns (0: 80): the label padded to
// `labelWidth`, the bar and the percent (blank before any), then the state, cut where the line
// must end. Control characters in the label and state come out escaped.
std::string deviceLine(const std::string& label, size_t labelWidth, int percent,
                       const std::string& state, int columns);

// The summary as a table: device, location, serial number, result, time, reason.
std::string summaryTable(const std::vector<DeviceSummary>& devices);

}  // namespace kestrel
