#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/output_sink.h"
#include "core/window_state.h"

namespace kestrel {

// How a console reports an update.
enum class ConsoleStyle {
  Terminal,  // One progress line redrawn in place: bar, percent, speed, time left.
  Plain,     // A line for every change, for logs and pipes.
  Quiet,     // Nothing but a failure.
  Json,      // One JSON object per line for every event.
};

// The window's operations on a console: the "controls" are the command line's choices, message
// boxes are printed (and answered at once), progress is drawn on `out`. Nothing here waits for the
// output (see OutputSink). Every operation may be called from any thread.
//
// On a terminal or in plain lines, the boxes and statuses that only repeat what the final line
// says (the success box, the status after the bar has reached 100, the boot-mode prompt when no
// USB boot loader was taken, the conversion's boxes) are left out; in JSON every one is an event.
// Text lines show control characters as \xHH (see printable()); JSON is written as JSON writes it.
//
// On a terminal the progress line fits the width that `columns` gives (0: unknown, 80 is taken),
// asked at every redraw; a line printed while the bar still stands at 0 takes the bar's place, and
// the bar is drawn again below it.
class ConsoleWindow : public WindowState {
 public:
  ConsoleWindow(Clock& clock, SerialBackend& serial, HidApi& hid, FileSystem& files,
                OutputSink& out, OutputSink& err, ConsoleStyle style,
                std::function<int()> columns = {});
  // Shuts the window down first; a worker that cannot be ended ends the process (exit code 1).
  ~ConsoleWindow() override;

  // What readWindow() takes from the "controls".
  void choose(int portIndex, const std::string& title);

  void readWindow() override;
  void refreshWindow() override {}
  void setStatus(const std::string& text) override;
  void setProgress(int percent) override;
  void disableRun() override {}
  void enableRun() override {}
  void showMessage(const std::string& text, std::optional<std::string> caption = {},
                   MessageIcon icon = MessageIcon::None) override;
  void showAppMessage(const std::string& text) override;

  ConsoleStyle style() const { return style_; }

  // A line of the tool's own: in JSON `object` (an "event" member first), otherwise `text` on
  // stdout, or on stderr when `toErr`. `text` may hold several lines; control characters other
  // than its line breaks are escaped. Quiet prints only what goes to stderr.
  void report(const nlohmann::ordered_json& object, const std::string& text, bool toErr = false);

 private:
  void drawProgress();                              // Needs mutex_.
  void endProgressLine();                           // Needs mutex_.
  void line(const std::string& text);               // Needs mutex_.
  void json(const nlohmann::ordered_json& object);  // Needs mutex_.
  bool repeatsTheEnd() const;                       // Needs mutex_.

  OutputSink& out_;
  OutputSink& err_;
  const ConsoleStyle style_;
  const std::function<int()> columns_;
  mutable std::mutex mutex_;  // Guards everything below, and the order of output.
  int portControl_ = 0;
  std::string titleControl_;
  std::string lastStatus_;
  int lastPercent_ = -1;
  bool speedKnown_ = false;
  double rate_ = 0;  // Bytes per second.
  double left_ = 0;  // Seconds.
  bool progressLineOpen_ = false;
  size_t drawnWidth_ = 0;  // Columns of the progress line as last drawn.
  std::chrono::steady_clock::time_point progressFrom_ = std::chrono::steady_clock::now();
};

// `object` as one line of JSON. Bytes that are not UTF-8 (a file name can hold any) come out as
// U+FFFD rather than failing.
std::string jsonLine(const nlohmann::ordered_json& object);

// `text` for a terminal or a log: every control character (C0, DEL, and C1 written in UTF-8) and
// every byte that is not part of UTF-8 comes out as \xHH, so that a file name or a device's text
// can neither move the cursor, retitle the terminal nor split a line. Line breaks stay when
// `keepLineBreaks`.
std::string printable(const std::string& text, bool keepLineBreaks = false);

// The progress line for `percent` in at most `columns` - 1 columns (0: 80): the bar, the percent,
// and where there is room the speed and the time left ("--" until `speedKnown`).
std::string progressLine(int percent, bool speedKnown, double bytesPerSecond, double secondsLeft,
                         int columns);

}  // namespace kestrel
