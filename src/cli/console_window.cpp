#include "cli/console_window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrel {
namespace {

constexpr const char* kApplicationName = "kestrel-flash";
constexpr int kBarWidth = 30;
constexpr int kMinBarWidth = 10;
constexpr int kAssumedColumns = 80;

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

// The length of the UTF-8 sequence at `s[i]`, or 0 when no valid one starts there.
size_t utf8Length(const std::string& s, size_t i) {
  auto byte = [&](size_t k) { return k < s.size() ? uint8_t(s[k]) : uint8_t(0); };
  auto continues = [&](size_t k, uint8_t low = 0x80, uint8_t high = 0xBF) {
    return byte(k) >= low && byte(k) <= high;
  };
  uint8_t c = byte(i);
  if (c >= 0xC2 && c <= 0xDF) return continues(i + 1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    // No overlong forms, no surrogates.
    uint8_t low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
    return continues(i + 1, low, high) && continues(i + 2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    uint8_t low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
    return continues(i + 1, low, high) && continues(i + 2) && continues(i + 3) ? 4 : 0;
  }
  return 0;
}

void escape(std::string* out, uint8_t byte) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02x", byte);
  *out += hex;
}

}  // namespace

std::string jsonLine(const nlohmann::ordered_json& object) {
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string printable(const std::string& text, bool keepLineBreaks) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint8_t c = uint8_t(text[i]);
    if (c == '\n' && keepLineBreaks) {
      out += '\n';
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      escape(&out, c);
      ++i;
    } else if (c < 0x80) {
      out += char(c);
      ++i;
    } else if (size_t n = utf8Length(text, i); n == 0) {
      escape(&out, c);
      ++i;
    } else if (c == 0xC2 && uint8_t(text[i + 1]) < 0xA0) {
      // U+0080 to U+009F: the C1 controls (CSI, OSC, ...), which terminals obey.
      escape(&out, c);
      escape(&out, uint8_t(text[i + 1]));
      i += 2;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string progressLine(int percent, bool speedKnown, double bytesPerSecond, double secondsLeft,
                         int columns) {
  const int room = (columns > 0 ? columns : kAssumedColumns) - 1;  // The last column wraps.
  char numbers[64];
  if (speedKnown) {
    std::snprintf(numbers, sizeof numbers, "  %6.1f KiB/s  %4.0f s left", bytesPerSecond / 1024,
                  secondsLeft);
  } else {
    std::snprintf(numbers, sizeof numbers, "      -- KiB/s    -- s left");
  }
  char percentText[8];
  std::snprintf(percentText, sizeof percentText, "%3d%%", percent);
  const int percentWidth = int(std::strlen(percentText)) + 1;  // With the blank after the bar.
  const int numbersWidth = int(std::strlen(numbers));
  // The speed and time go first when the line is narrow, then the bar shrinks, then goes.
  bool withNumbers = room >= 2 + kMinBarWidth + percentWidth + numbersWidth;
  int bar = std::min(kBarWidth, room - 2 - percentWidth - (withNumbers ? numbersWidth : 0));
  if (bar <= 0) return std::to_string(percent).append("%").substr(0, size_t(std::max(room, 0)));
  int filled = percent * bar / 100;
  std::string text = "[";
  text.append(size_t(filled), '#').append(size_t(bar - filled), '-').append("] ");
  text += percentText;
  if (withNumbers) text += numbers;
  return text;
}

ConsoleWindow::ConsoleWindow(Clock& clock, SerialBackend& serial, HidApi& hid, FileSystem& files,
                             OutputSink& out, OutputSink& err, ConsoleStyle style,
                             std::function<int()> columns)
    : WindowState(clock, serial, hid, files),
      out_(out),
      err_(err),
      style_(style),
      columns_(std::move(columns)) {
  attach();
  PortIndex = 0;
}

ConsoleWindow::~ConsoleWindow() {
  if (!shutdown(1000)) {
    static const char kStuck[] = "kestrel-flash: a worker did not end; ending the process\n";
    err_.write(kStuck);
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

void ConsoleWindow::drawProgress() {
  std::string text =
      progressLine(lastPercent_, speedKnown_, rate_, left_, columns_ ? columns_() : 0);
  size_t width = text.size();
  // What a wider line drawn before left is covered.
  if (progressLineOpen_ && drawnWidth_ > width) text += std::string(drawnWidth_ - width, ' ');
  out_.write("\r" + text);
  progressLineOpen_ = true;
  drawnWidth_ = width;
}

void ConsoleWindow::endProgressLine() {
  if (!progressLineOpen_) return;
  // A bar at 0 says nothing that stays worth reading: the next line takes its place.
  if (lastPercent_ <= 0) {
    std::string blank(drawnWidth_ + 2, ' ');
    blank.front() = blank.back() = '\r';
    out_.write(std::move(blank));
  } else {
    out_.write("\n");
  }
  progressLineOpen_ = false;
  drawnWidth_ = 0;
}

void ConsoleWindow::line(const std::string& text) {
  bool barBelow = progressLineOpen_ && lastPercent_ <= 0;
  endProgressLine();
  out_.write(printable(text) + "\n");
  if (barBelow) drawProgress();
}

void ConsoleWindow::json(const nlohmann::ordered_json& object) {
  out_.write(jsonLine(object));
}

bool ConsoleWindow::repeatsTheEnd() const {
  using Cause = UpdateOutcome::Cause;
  Cause cause = outcome.get().cause;
  return cause == Cause::Success || cause == Cause::NoUsbDevice || cause == Cause::DeviceBusy ||
         cause == Cause::DuplicateSerial || cause == Cause::ImageRefused ||
         cause == Cause::ImageFileError;
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
  speedKnown_ = percent > 0 && seconds > 0.05 && done > 0;
  rate_ = speedKnown_ ? done / seconds : 0;
  left_ = speedKnown_ ? (length - done) / rate_ : 0;
  switch (style_) {
    case ConsoleStyle::Quiet:
      return;
    case ConsoleStyle::Json: {
      nlohmann::ordered_json event = {{"event", "progress"}, {"percent", percent}};
      event["bytes_per_second"] = speedKnown_ ? nlohmann::ordered_json(int64_t(rate_)) : nullptr;
      event["seconds_left"] = speedKnown_ ? nlohmann::ordered_json(int64_t(left_ + 0.5)) : nullptr;
      json(event);
      return;
    }
    case ConsoleStyle::Plain:
      line("progress " + std::to_string(percent) + "%");
      return;
    case ConsoleStyle::Terminal:
      drawProgress();
      return;
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
  endProgressLine();
  (toErr ? err_ : out_).write(printable(text, true) + "\n");
}

}  // namespace kestrel
