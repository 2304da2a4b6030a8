#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "core/window_state.h"

namespace kestrel {

// How a console reports an update.
enum class ConsoleStyle {
  Terminal,  // One progress line redrawn in place: bar, percent, bytes per second, time left.
  Plain,     // A line for every change, for logs and pipes.
  Quiet,     // Nothing but the final outcome of a failure.
  Json,      // One JSON object per line for every event.
};

// The window's operations on a console: the "controls" are the command line's options,
// message boxes are printed (and answered at once), progress is drawn on `out`.
// Thread-safe: workers print through the same lock.
class ConsoleWindow : public WindowState {
 public:
  ConsoleWindow(Clock& clock, SerialBackend& serial, HidApi& hid, std::FILE* out,
                ConsoleStyle style);

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

  struct Message {
    std::string text;
    std::string caption;  // The application's name when the box had none.
    MessageIcon icon;
  };
  std::vector<Message> messages() const;

  // Prints a line of the tool's own (an outcome, a hint), in the console's style. JSON: an event
  // object with the given name and fields already encoded as `"key":value` pairs.
  void event(const std::string& name, const std::string& jsonFields, const std::string& text);

 private:
  void endProgressLine();  // Needs mutex_.

  std::FILE* const out_;
  const ConsoleStyle style_;
  mutable std::mutex mutex_;  // Guards everything below and the output.
  int portControl_ = 0;
  std::string titleControl_;
  std::vector<Message> messages_;
  std::string lastStatus_;
  int lastPercent_ = -1;
  bool progressLineOpen_ = false;
  uint64_t imageLength_ = 0;
  std::chrono::steady_clock::time_point downloadStart_;
};

// `text` as a JSON string literal. Bytes outside printable ASCII are escaped, so the result is
// valid JSON whatever the device sent.
std::string jsonString(const std::string& text);

}  // namespace kestrel
