#include "cli/console_window.h"

#include <cstdio>
#include <cstdlib>

namespace kestrel {
namespace {

constexpr const char* kApplicationName = "kestrel-flash";

const char* iconName(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Warning:
      return "warning";
    case MessageIcon::Error:
      return "error";
    case MessageIcon::Information:
      return "information";
    default:
      return "none";
  }
}

}  // namespace

std::string jsonLine(const nlohmann::ordered_json& object) {
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

ConsoleWindow::ConsoleWindow(Clock& clock, SerialBackend& serial, HidApi& hid, FileSystem& files,
                             OutputSink& out, OutputSink& err, ConsoleStyle style)
    : WindowState(clock, serial, hid, files), out_(out), err_(err), style_(style) {
  attach();
  PortIndex = 0;
}

ConsoleWindow::~ConsoleWindow() {
  if (!shutdown(1000)) {
    err_.write("kestrel-flash: a worker did not end; ending the process\n");
    err_.flush(std::chrono::seconds(1));
    std::_Exit(1);
  }
}

void ConsoleWindow::choose(int portIndex, const std::string& title) {
  std::lock_guard lock(mutex_);
  portControl_ = portIndex;
  titleControl_ = title;
}

void ConsoleWindow::readWindow() {
  std::lock_guard lock(mutex_);
  PortIndex = portControl_;
  firmwareTitle.set(titleControl_);
}

void ConsoleWindow::endProgressLine() {
  if (progressLineOpen_) out_.write("\n");
  progressLineOpen_ = false;
}

void ConsoleWindow::line(const std::string& text) {
  endProgressLine();
  out_.write(text + "\n");
}

void ConsoleWindow::json(const nlohmann::ordered_json& object) {
  out_.write(jsonLine(object));
}

bool ConsoleWindow::repeatsTheEnd() const {
  using Cause = UpdateOutcome::Cause;
  Cause cause = outcome.get().cause;
  return cause == Cause::Success || cause == Cause::NoUsbDevice;
}

void ConsoleWindow::setStatus(const std::string& text) {
  statusText.set(text);
  std::lock_guard lock(mutex_);
  if (text == lastStatus_) return;  // the search repeats its status with every probe
  lastStatus_ = text;
  switch (style_) {
    case ConsoleStyle::Quiet:
      return;
    case ConsoleStyle::Json:
      json({{"event", "status"}, {"text", text}});
      return;
    default:
      // Once the bar is full, the final line says how it ended.
      if (lastPercent_ != 100) line(text);
  }
}

void ConsoleWindow::setProgress(int percent) {
  std::lock_guard lock(mutex_);
  if (percent == lastPercent_) return;
  auto now = std::chrono::steady_clock::now();
  // Every download starts its bar at 0: the speed counts from there.
  if (percent == 0) progressFrom_ = now;
  lastPercent_ = percent;
  double seconds = std::chrono::duration<double>(now - progressFrom_).count();
  auto image = runImage.get();
  double length = image ? double(image->size()) : 0;
  double done = length * percent / 100.0;
  bool known = percent > 0 && seconds > 0.05 && done > 0;
  double rate = known ? done / seconds : 0;
  double left = known ? (length - done) / rate : 0;
  switch (style_) {
    case ConsoleStyle::Quiet:
      return;
    case ConsoleStyle::Json: {
      nlohmann::ordered_json event = {{"event", "progress"}, {"percent", percent}};
      event["bytes_per_second"] = known ? nlohmann::ordered_json(int64_t(rate)) : nullptr;
      event["seconds_left"] = known ? nlohmann::ordered_json(int64_t(left + 0.5)) : nullptr;
      json(event);
      return;
    }
    case ConsoleStyle::Plain:
      line("progress " + std::to_string(percent) + "%");
      return;
    case ConsoleStyle::Terminal: {
      constexpr int kWidth = 30;
      int filled = percent * kWidth / 100;
      std::string bar =
          std::string(size_t(filled), '#') + std::string(size_t(kWidth - filled), '-');
      char text[160];
      if (known) {
        std::snprintf(text, sizeof text, "\r[%s] %3d%%  %6.1f KiB/s  %4.0f s left ", bar.c_str(),
                      percent, rate / 1024, left);
      } else {
        std::snprintf(text, sizeof text, "\r[%s] %3d%%      -- KiB/s    -- s left ", bar.c_str(),
                      percent);
      }
      out_.write(text);
      progressLineOpen_ = true;
      return;
    }
  }
}

void ConsoleWindow::showMessage(const std::string& text, std::optional<std::string> caption,
                                MessageIcon icon) {
  if (closing()) return;
  std::string title = caption.value_or(kApplicationName);
  std::lock_guard lock(mutex_);
  switch (style_) {
    case ConsoleStyle::Quiet:
      return;
    case ConsoleStyle::Json:
      json({{"event", "message"}, {"text", text}, {"caption", title}, {"icon", iconName(icon)}});
      return;
    default:
      if (!repeatsTheEnd()) line("[" + title + "] " + text);
  }
}

void ConsoleWindow::showAppMessage(const std::string& text) {
  showMessage(text, std::nullopt, MessageIcon::Warning);
}

void ConsoleWindow::report(const nlohmann::ordered_json& object, const std::string& text,
                           bool toErr) {
  std::lock_guard lock(mutex_);
  if (style_ == ConsoleStyle::Json) {
    json(object);
    return;
  }
  if (text.empty() || (style_ == ConsoleStyle::Quiet && !toErr)) return;
  bool wasOpen = progressLineOpen_;
  endProgressLine();
  // The line break after the bar first, where both go to one terminal.
  if (toErr && wasOpen) out_.flush(std::chrono::milliseconds(200));
  (toErr ? err_ : out_).write(text + "\n");
}

}  // namespace kestrel
