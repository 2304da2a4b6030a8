#include "cli/console_window.h"

#include <filesystem>

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

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

ConsoleWindow::ConsoleWindow(Clock& clock, SerialBackend& serial, HidApi& hid, std::FILE* out,
                             ConsoleStyle style)
    : WindowState(clock, serial, hid), out_(out), style_(style) {
  BaudIndex = 0;
  windowRef = this;
  searchStopped = 1;
  PortIndex = 0;
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
  if (progressLineOpen_) std::fputc('\n', out_);
  progressLineOpen_ = false;
}

void ConsoleWindow::setStatus(const std::string& text) {
  statusText.set(text);
  std::lock_guard lock(mutex_);
  if (text == lastStatus_) return;  // the search repeats its status with every probe
  lastStatus_ = text;
  if (text == "Progressing...") {
    downloadStart_ = std::chrono::steady_clock::now();
    std::error_code ec;
    imageLength_ = std::filesystem::file_size(firmwareTitle.get() + ".bin", ec);
    if (ec) imageLength_ = 0;
  }
  switch (style_) {
    case ConsoleStyle::Quiet:
      return;
    case ConsoleStyle::Json:
      std::fprintf(out_, "{\"event\":\"status\",\"text\":%s}\n", jsonString(text).c_str());
      break;
    default:
      endProgressLine();
      std::fprintf(out_, "%s\n", text.c_str());
  }
  std::fflush(out_);
}

void ConsoleWindow::setProgress(int percent) {
  std::lock_guard lock(mutex_);
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - downloadStart_).count();
  double done = double(imageLength_) * percent / 100.0;
  double rate = seconds > 0.05 ? done / seconds : 0;
  double left = rate > 0 ? (double(imageLength_) - done) / rate : 0;
  switch (style_) {
    case ConsoleStyle::Quiet:
      return;
    case ConsoleStyle::Json:
      std::fprintf(out_,
                   "{\"event\":\"progress\",\"percent\":%d,\"bytes_per_second\":%.0f,\"seconds_"
                   "left\":%.1f}\n",
                   percent, rate, left);
      break;
    case ConsoleStyle::Plain:
      std::fprintf(out_, "progress %d%%\n", percent);
      break;
    case ConsoleStyle::Terminal: {
      constexpr int kWidth = 30;
      int filled = percent * kWidth / 100;
      std::string bar =
          std::string(size_t(filled), '#') + std::string(size_t(kWidth - filled), '-');
      std::fprintf(out_, "\r[%s] %3d%%  %6.1f KiB/s  %4.0f s left ", bar.c_str(), percent,
                   rate / 1024, left);
      progressLineOpen_ = true;
      break;
    }
  }
  std::fflush(out_);
}

void ConsoleWindow::showMessage(const std::string& text, std::optional<std::string> caption,
                                MessageIcon icon) {
  if (closing()) return;
  Message m{text, caption.value_or(kApplicationName), icon};
  std::lock_guard lock(mutex_);
  messages_.push_back(m);
  switch (style_) {
    case ConsoleStyle::Quiet:
      return;
    case ConsoleStyle::Json:
      std::fprintf(out_, "{\"event\":\"message\",\"text\":%s,\"caption\":%s,\"icon\":\"%s\"}\n",
                   jsonString(m.text).c_str(), jsonString(m.caption).c_str(), iconName(icon));
      break;
    default:
      endProgressLine();
      std::fprintf(out_, "[%s] %s\n", m.caption.c_str(), m.text.c_str());
  }
  std::fflush(out_);
}

void ConsoleWindow::showAppMessage(const std::string& text) {
  showMessage(text, std::nullopt, MessageIcon::Warning);
}

std::vector<ConsoleWindow::Message> ConsoleWindow::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

void ConsoleWindow::event(const std::string& name, const std::string& jsonFields,
                          const std::string& text) {
  std::lock_guard lock(mutex_);
  if (style_ == ConsoleStyle::Json) {
    std::fprintf(out_, "{\"event\":\"%s\"%s%s}\n", name.c_str(), jsonFields.empty() ? "" : ",",
                 jsonFields.c_str());
  } else if (style_ != ConsoleStyle::Quiet && !text.empty()) {
    endProgressLine();
    std::fprintf(out_, "%s\n", text.c_str());
  }
  std::fflush(out_);
}

}  // namespace kestrel
