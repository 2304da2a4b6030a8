#include "cli/batch_display.h"

#include <algorithm>
#include <cstdio>

namespace kestrel {
namespace {

using Json = nlohmann::ordered_json;

constexpr int kAssumedColumns = 80;
constexpr int kBarWidth = 20;
constexpr size_t kMaxLabelWidth = 28;

bool continuation(char c) {
  return (uint8_t(c) & 0xC0) == 0x80;
}

// Columns that `text` (printable, UTF-8) takes, one a character.
size_t columnsOf(const std::string& text) {
  return size_t(std::count_if(text.begin(), text.end(), [](char c) { return !continuation(c); }));
}

// `text` cut after `n` characters, never inside one.
std::string cut(const std::string& text, size_t n) {
  size_t at = 0;
  for (size_t seen = 0; at < text.size(); ++at) {
    if (!continuation(text[at]) && seen++ == n) break;
  }
  return text.substr(0, at);
}

std::string padded(const std::string& text, size_t width) {
  size_t have = columnsOf(text);
  return have >= width ? text : text + std::string(width - have, ' ');
}

std::string resultText(const std::string& result) {
  if (result == "no_report") return "no report";
  if (result == "not_started") return "not started";
  return result;
}

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

}  // namespace

std::string deviceLine(const std::string& label, size_t labelWidth, int percent,
                       const std::string& state, int columns) {
  const size_t room = size_t(std::max((columns > 0 ? columns : kAssumedColumns) - 1, 1));
  std::string name = printable(label);
  if (columnsOf(name) > labelWidth) name = cut(name, labelWidth);
  std::string text = padded(name, labelWidth) + "  ";
  char percentText[8] = "    ";
  if (percent >= 0) std::snprintf(percentText, sizeof percentText, "%3d%%", std::min(percent, 100));
  // The bar goes first when the line is narrow; the state keeps at least a word's room.
  if (room >= columnsOf(text) + kBarWidth + 3 + 4 + 2 + 12) {
    const size_t filled = size_t(std::clamp(percent, 0, 100) * kBarWidth / 100);
    text += '[';
    text.append(filled, '#');
    text.append(size_t(kBarWidth) - filled, '-');
    text += "] ";
  }
  text += std::string(percentText) + "  " + printable(state);
  return cut(text, room);
}

std::string summaryTable(const std::vector<DeviceSummary>& devices) {
  std::vector<std::vector<std::string>> rows = {
      {"device", "location", "serial number", "result", "time", "reason"}};
  for (const DeviceSummary& d : devices) {
    rows.push_back({printable(d.device), d.location.empty() ? "-" : printable(d.location),
                    d.serialNumber.empty() ? "-" : printable(d.serialNumber), resultText(d.result),
                    secondsText(d.seconds), printable(d.reason)});
  }
  std::vector<size_t> widths(rows.front().size() - 1, 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < widths.size(); ++c) widths[c] = std::max(widths[c], columnsOf(row[c]));
  }
  std::string text;
  for (const auto& row : rows) {
    for (size_t c = 0; c < widths.size(); ++c) text += padded(row[c], widths[c]) + "  ";
    text += row.back() + "\n";
  }
  return text;
}

BatchDisplay::BatchDisplay(OutputSink& out, OutputSink& err, ConsoleStyle style, Terminal terminal)
    : out_(out), err_(err), terminal_(std::move(terminal)), style_(style) {
  if (style_ == ConsoleStyle::Terminal) {
    rows_ = terminal_.rows ? terminal_.rows() : 0;
    if (!terminal_.movesCursor) style_ = ConsoleStyle::Plain;
  }
}

size_t BatchDisplay::add(const std::string& label) {
  std::lock_guard lock(mutex_);
  auto same = std::find_if(lines_.begin(), lines_.end(),
                           [&](const Line& line) { return line.label == label; });
  if (same != lines_.end()) {
    same->percent = -1;
    same->state = "waiting";
    same->lastStatus.clear();
    lineOf_.push_back(size_t(same - lines_.begin()));
    dirty_ = true;
    return lineOf_.size() - 1;
  }
  // Lines that scrolled off the top cannot be gone back to.
  if (live() && rows_ > 0 && lines_.size() + 1 + !footer_.empty() >= size_t(rows_)) {
    if (drawn_ > 0) draw();
    style_ = ConsoleStyle::Plain;
  }
  labelWidth_ = std::max(labelWidth_, std::min(columnsOf(printable(label)), kMaxLabelWidth));
  Line line;
  line.label = label;
  lines_.push_back(std::move(line));
  lineOf_.push_back(lines_.size() - 1);
  dirty_ = true;
  return lineOf_.size() - 1;
}

void BatchDisplay::setState(size_t i, const std::string& state) {
  std::lock_guard lock(mutex_);
  Line& line = lineOf(i);
  if (line.state == state) return;
  line.state = state;
  dirty_ = true;
  if (style_ == ConsoleStyle::Plain) plain(i, state);
}

void BatchDisplay::setFooter(const std::string& text, const Json& event) {
  std::lock_guard lock(mutex_);
  if (footer_ == text) return;
  footer_ = text;
  dirty_ = true;
  if (style_ == ConsoleStyle::Json) json(event);
  if (style_ == ConsoleStyle::Plain) out_.write(printable(text) + "\n");
}

void BatchDisplay::note(const Json& event, const std::string& text, bool warning) {
  std::lock_guard lock(mutex_);
  if (style_ == ConsoleStyle::Json) {
    json(event);
  } else if (warning) {
    err_.write("kestrel-flash: " + printable(text) + "\n");
  } else if (style_ == ConsoleStyle::Plain) {
    out_.write(printable(text) + "\n");
  } else if (live()) {
    // Over the first of the live lines, which are drawn anew below it.
    out_.write((drawn_ > 0 ? "\x1b[" + std::to_string(drawn_) + "A" : std::string()) + "\r" +
               printable(text) + "\x1b[K\n");
    drawn_ = 0;
    draw();
  }
}

void BatchDisplay::json(const Json& object) {
  out_.write(jsonLine(object));
}

void BatchDisplay::plain(size_t i, const std::string& text) {
  out_.write(printable(lineOf(i).label) + ": " + printable(text) + "\n");
}

void BatchDisplay::attemptStarted(size_t i, int attempt, int attempts, int pid) {
  std::lock_guard lock(mutex_);
  Line& line = lineOf(i);
  line.percent = -1;
  line.lastStatus.clear();
  line.state = attempt == 1
                   ? "starting"
                   : "attempt " + std::to_string(attempt) + " of " + std::to_string(attempts);
  dirty_ = true;
  switch (style_) {
    case ConsoleStyle::Json:
      json({{"event", "attempt_start"},
            {"device", line.label},
            {"attempt", attempt},
            {"pid", pid ? Json(pid) : Json(nullptr)}});
      break;
    case ConsoleStyle::Plain:
      if (attempt > 1) plain(i, line.state);
      break;
    default:
      break;
  }
}

void BatchDisplay::childEvent(size_t i, const nlohmann::json& event) {
  const auto named = event.is_object() ? event.find("event") : event.end();
  const std::string kind =
      named != event.end() && named->is_string() ? named->get<std::string>() : "";
  if (kind != "status" && kind != "progress" && kind != "message" && kind != "unit" &&
      kind != "warning") {
    return;
  }
  std::lock_guard lock(mutex_);
  Line& line = lineOf(i);
  if (style_ == ConsoleStyle::Json) {
    Json forwarded = {{"event", kind}, {"device", line.label}};
    for (auto it = event.begin(); it != event.end(); ++it) {
      if (it.key() != "event" && it.key() != "device") forwarded[it.key()] = it.value();
    }
    json(forwarded);
    return;
  }
  if (kind == "warning" && event.contains("text") && event["text"].is_string()) {
    err_.write("kestrel-flash: " + printable(line.label) + ": " +
               printable(event["text"].get<std::string>()) + "\n");
  } else if (kind == "status" && event.contains("text") && event["text"].is_string()) {
    std::string text = event["text"].get<std::string>();
    // Once the bar is full, the attempt's end says how it went.
    if (line.percent == 100 || text == line.lastStatus) return;
    line.lastStatus = text;
    line.state = text;
    dirty_ = true;
    if (style_ == ConsoleStyle::Plain) plain(i, text);
  } else if (kind == "progress" && event.contains("percent") &&
             event["percent"].is_number_integer()) {
    int percent = std::clamp(event["percent"].get<int>(), 0, 100);
    if (percent == line.percent) return;
    line.percent = percent;
    dirty_ = true;
    if (style_ == ConsoleStyle::Plain) plain(i, "progress " + std::to_string(percent) + "%");
  }
}

void BatchDisplay::attemptEnded(size_t i, const UnitRecord& record, bool again) {
  std::lock_guard lock(mutex_);
  Line& line = lineOf(i);
  const bool ok = record.result == "ok";
  line.state =
      ok ? record.reason
         : resultText(record.result) + ": " + record.reason + (again ? "; trying again" : "");
  dirty_ = true;
  switch (style_) {
    case ConsoleStyle::Json: {
      Json event = recordJson(record);
      event.erase("event");
      Json attempt = {{"event", "attempt"}};
      attempt.update(event);
      attempt["retry"] = again;
      json(attempt);
      break;
    }
    case ConsoleStyle::Plain:
      plain(i, line.state);
      break;
    case ConsoleStyle::Quiet:
      if (!ok && !again) {
        err_.write("kestrel-flash: " + printable(line.label) + ": " + printable(line.state) + "\n");
      }
      break;
    case ConsoleStyle::Terminal:
      break;
  }
}

void BatchDisplay::refresh() {
  std::lock_guard lock(mutex_);
  if (live() && dirty_) draw();
}

void BatchDisplay::draw() {
  const int columns = terminal_.columns ? terminal_.columns() : 0;
  std::string text;
  // Back to the first line: up as many lines as were drawn.
  if (drawn_ > 0) text += "\x1b[" + std::to_string(drawn_) + "A";
  for (const Line& line : lines_) {
    text +=
        "\r" + deviceLine(line.label, labelWidth_, line.percent, line.state, columns) + "\x1b[K\n";
  }
  if (!footer_.empty()) {
    const size_t room = size_t(std::max((columns > 0 ? columns : kAssumedColumns) - 1, 1));
    text += "\r" + cut(printable(footer_), room) + "\x1b[K\n";
  }
  out_.write(std::move(text));
  drawn_ = lines_.size() + !footer_.empty();
  dirty_ = false;
}

void BatchDisplay::finish(const std::vector<DeviceSummary>& devices, int code,
                          const std::string& reason) {
  std::lock_guard lock(mutex_);
  if (live()) draw();
  if (style_ == ConsoleStyle::Json) {
    Json results = Json::array();
    int ok = 0;
    for (const DeviceSummary& d : devices) {
      ok += d.result == "ok";
      results.push_back(
          {{"device", d.device},
           {"location", d.location.empty() ? Json(nullptr) : Json(d.location)},
           {"serial_number", d.serialNumber.empty() ? Json(nullptr) : Json(d.serialNumber)},
           {"result", d.result},
           {"exit_code", d.exitCode},
           {"reason", d.reason},
           {"seconds", double(int64_t(d.seconds * 1000 + 0.5)) / 1000},
           {"attempts", d.attempts}});
    }
    json({{"event", "summary"},
          {"devices", devices.size()},
          {"succeeded", ok},
          {"failed", int(devices.size()) - ok},
          {"results", results}});
    json({{"event", "end"},
          {"result", code == 0 ? "ok" : "failed"},
          {"exit_code", code},
          {"reason", reason}});
    return;
  }
  if (style_ != ConsoleStyle::Quiet) out_.write("\n" + summaryTable(devices));
  if (code == 0) {
    if (style_ != ConsoleStyle::Quiet) out_.write(printable(reason) + "\n");
  } else {
    err_.write("kestrel-flash: " + printable(reason) + "\n");
  }
}

}  // namespace kestrel
