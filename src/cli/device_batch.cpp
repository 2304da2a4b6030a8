#include "cli/device_batch.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <system_error>

#include "cli/flash_command.h"
#include "platform/child_process.h"
#include "platform_api/clock.h"

namespace kestrel {
namespace {

// How long one read of a child's reports waits before the stop request is looked at again.
constexpr int kReadSliceMs = 100;
// A child told to stop ends within seconds (its port put back, its last words written); one that
// has not ended this long after is killed.
constexpr uint32_t kStopGraceMs = 15000;
// A child that has closed its output is ending: this long at most for the system to say how.
constexpr int kEndWaitMs = 5000;
// How often run() redraws the display and looks at the stop flags.
constexpr auto kRefresh = std::chrono::milliseconds(100);
// The status an update shows as its download begins, just before the clear command or the start
// report that begins to replace the device's firmware.
constexpr const char* kDownloadBeginsStatus = "Progressing...";

bool isHex(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The text of member `name` of `event`, or `otherwise` when it has none (or null).
std::string textOr(const nlohmann::json& event, const char* name, const std::string& otherwise) {
  auto it = event.find(name);
  return it != event.end() && it->is_string() ? it->get<std::string>() : otherwise;
}

// What a parent learns of one attempt from its child's reports.
struct Reported {
  std::optional<UnitRecord> record;
  nlohmann::json unit;         // The "unit" event, when one came.
  int percent = -1;            // The last progress.
  bool downloadBegun = false;  // The download's status came: the firmware may be going.
};

// One line of a child's reports: kept in *reported where it says how the attempt goes, and shown.
void take(BatchDisplay& display, size_t i, std::string line, Reported* reported) {
  // A Windows child's output is text: its lines end in CR LF.
  if (!line.empty() && line.back() == '\r') line.pop_back();
  nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
  if (!event.is_object()) return;
  const std::string kind = textOr(event, "event", "");
  if (kind == "record") {
    UnitRecord r;
    if (recordFromJson(event, &r)) reported->record = r;
    return;
  }
  if (kind == "unit") reported->unit = event;
  if (kind == "status" && textOr(event, "text", "") == kDownloadBeginsStatus) {
    reported->downloadBegun = true;
  }
  if (kind == "progress" && event.contains("percent") && event["percent"].is_number_integer()) {
    reported->percent = event["percent"].get<int>();
  }
  display.childEvent(i, event);
}

}  // namespace

std::string batchChildText(const BatchChildOrder& order) {
  return std::to_string(order.attempt) + "," + order.sha256 + "," + order.imagePath;
}

bool parseBatchChild(const std::string& text, BatchChildOrder* order) {
  const size_t first = text.find(',');
  const size_t second = first == std::string::npos ? first : text.find(',', first + 1);
  if (second == std::string::npos) return false;
  const std::string attempt = text.substr(0, first);
  BatchChildOrder out;
  out.sha256 = text.substr(first + 1, second - first - 1);
  out.imagePath = text.substr(second + 1);
  if (attempt.empty() || attempt.size() > 4 ||
      !std::all_of(attempt.begin(), attempt.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  out.attempt = std::atoi(attempt.c_str());
  if (out.attempt < 1 || out.sha256.size() != 64 || !isHex(out.sha256) || out.imagePath.empty()) {
    return false;
  }
  *order = std::move(out);
  return true;
}

bool retryable(const std::string& cause) {
  return cause == "no_answer" || cause == "no_acknowledgement" || cause == "line_held_up" ||
         cause == "send_error";
}

DeviceBatch::DeviceBatch(BatchSettings settings, BatchDisplay& display, Clock& clock,
                         FileSystem& files)
    : settings_(std::move(settings)), display_(display), clock_(clock), files_(files) {}

DeviceBatch::~DeviceBatch() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return runDone_; });
}

size_t DeviceBatch::add(BatchDevice device) {
  DeviceSummary s;
  s.device = device.label;
  s.location = device.location;
  s.serialNumber = device.serialNumber;
  s.result = "not_started";
  s.exitCode = kExitInterrupted;
  s.reason = "interrupted before its turn: nothing was sent to the device";
  std::lock_guard lock(mutex_);
  const size_t i = display_.add(device.label);
  devices_.push_back(std::move(device));
  summaries_.push_back(std::move(s));
  changed_.notify_all();
  return i;
}

void DeviceBatch::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

DeviceBatch::Counts DeviceBatch::counts() const {
  std::lock_guard lock(mutex_);
  Counts c;
  c.running = running_;
  c.waiting = int(devices_.size() - next_);
  // A device's summary says "ok" only once it has ended.
  c.passed = int(std::count_if(summaries_.begin(), summaries_.begin() + long(next_),
                               [](const DeviceSummary& s) { return s.result == "ok"; }));
  c.failed = int(next_) - running_ - c.passed;
  return c;
}

bool DeviceBatch::taking() const {
  return !(takeNoMore_ && takeNoMore_->load()) && !stopping();
}

bool DeviceBatch::stopping() const {
  return stopRunning_ && stopRunning_->load();
}

std::vector<DeviceSummary> DeviceBatch::run(const std::atomic<bool>* takeNoMore,
                                            const std::atomic<bool>* stopRunning) {
  std::unique_lock lock(mutex_);
  takeNoMore_ = takeNoMore;
  stopRunning_ = stopRunning;
  runDone_ = false;
  const size_t jobs = settings_.jobs > 0 ? size_t(settings_.jobs) : SIZE_MAX;
  for (;;) {
    // Threads of devices that have ended are joined as they go: a station runs for days.
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (!it->ended) {
        ++it;
        continue;
      }
      lock.unlock();
      it->thread.join();
      lock.lock();
      it = workers_.erase(it);
    }
    while (taking() && next_ < devices_.size() && size_t(running_) < jobs) {
      const size_t i = next_++;
      ++running_;
      Worker& worker = workers_.emplace_back();
      try {
        worker.thread = std::thread([this, i, &worker] {
          try {
            runDevice(i);
          } catch (const std::exception&) {
            // Out of memory on this device's thread: the device is lost, not the batch.
            std::lock_guard failed(mutex_);
            DeviceSummary& s = summaries_[i];
            s.result = "failed";
            s.exitCode = kExitFailure;
            s.reason =
                "out of memory while its update was followed; what the device got is "
                "not known";
          }
          std::lock_guard done(mutex_);
          --running_;
          worker.ended = true;
          changed_.notify_all();
        });
      } catch (const std::system_error&) {
        // No thread for it: only this device is lost, and the summary says so.
        workers_.pop_back();
        --running_;
        DeviceSummary& s = summaries_[i];
        s.result = "failed";
        s.exitCode = kExitFailure;
        s.reason = "no thread could be started for it: nothing was sent to the device";
      }
    }
    const bool noMore = closed_ || !taking();
    if (noMore && running_ == 0 && workers_.empty()) break;
    changed_.wait_for(lock, kRefresh);
    lock.unlock();
    display_.refresh();
    lock.lock();
  }
  std::vector<DeviceSummary> result = summaries_;
  runDone_ = true;
  changed_.notify_all();
  return result;
}

void DeviceBatch::runDevice(size_t i) {
  BatchDevice device;
  DeviceSummary summary;
  {
    std::lock_guard lock(mutex_);
    device = devices_[i];
    summary = summaries_[i];
  }
  const uint32_t start = clock_.tickCount();
  const int attempts = 1 + settings_.retries;
  for (int n = 1; n <= attempts; ++n) {
    UnitRecord r;
    if (device.refused) {
      r = *device.refused;
      r.host = settings_.common.host;
      r.firmware = settings_.common.firmware;
      r.imageLength = settings_.common.imageLength;
      r.sha256 = settings_.common.sha256;
      r.attempt = n;
      r.time = utcTimeText(std::chrono::system_clock::now());
      display_.attemptStarted(i, n, attempts, 0);
      record(i, r);
    } else {
      r = attempt(i, device, n);
    }
    const bool again = !device.refused && n < attempts && taking() && retryable(r.cause);
    display_.attemptEnded(i, r, again);
    if (!r.location.empty()) summary.location = r.location;
    if (!r.serialNumber.empty()) summary.serialNumber = r.serialNumber;
    summary.result = r.result;
    summary.exitCode = r.exitCode;
    summary.reason = r.reason;
    summary.attempts = n;
    if (!again) break;
  }
  summary.seconds = ticksSince(start, clock_.tickCount()) / 1000.0;
  {
    std::lock_guard lock(mutex_);
    summaries_[i] = summary;
  }
  if (settings_.onEnded) settings_.onEnded(i, summary);
}

void DeviceBatch::record(size_t i, const UnitRecord& r) {
  std::string error;
  if (!settings_.logPath.empty() && !appendRecord(files_, settings_.logPath, r, &error)) {
    display_.childEvent(
        i, {{"event", "warning"}, {"text", "the attempt's record is not in the log: " + error}});
  }
}

UnitRecord DeviceBatch::attempt(size_t i, const BatchDevice& device, int n) {
  const uint32_t start = clock_.tickCount();
  std::vector<std::string> args = {
      "--" + std::string(kBatchChildOption),
      batchChildText({n, settings_.common.sha256, settings_.imagePath}), "--port", device.label};
  args.insert(args.end(), settings_.childOptions.begin(), settings_.childOptions.end());
  args.push_back("--");
  args.push_back(settings_.common.firmware);

  ChildError error;
  std::unique_ptr<Child> child = startSelf(args, &error, settings_.childGroup);
  display_.attemptStarted(i, n, 1 + settings_.retries, child ? child->id() : 0);
  Reported reported;
  ChildEnd end;
  bool stopAsked = false, killed = false;
  if (child) {
    uint32_t stopAskedAt = 0;
    std::string pending;
    char buffer[4096];
    for (;;) {
      int64_t got = child->read(buffer, sizeof buffer, kReadSliceMs);
      if (got < 0) break;
      pending.append(buffer, size_t(got));
      for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
        take(display_, i, pending.substr(0, eol), &reported);
        pending.erase(0, eol + 1);
      }
      if (stopping() && !stopAsked) {
        child->requestStop();
        stopAsked = true;
        stopAskedAt = clock_.tickCount();
      } else if (stopAsked && !killed &&
                 limitPassed(stopAskedAt, clock_.tickCount(), kStopGraceMs)) {
        child->kill();
        killed = true;
      }
    }
    if (!child->wait(kEndWaitMs, &end)) {
      child->kill();
      killed = true;
      child->wait(kEndWaitMs, &end);
    }
  }
  if (reported.record) return *reported.record;

  UnitRecord r = settings_.common;
  r.device = device.label;
  r.location = textOr(reported.unit, "location", device.location);
  r.serialNumber = textOr(reported.unit, "serial_number", device.serialNumber);
  r.version = device.version;
  if (reported.unit.contains("version") && reported.unit["version"].is_number_integer()) {
    r.version = reported.unit["version"].get<int>();
  }
  r.attempt = n;
  r.exitCode = kExitFailure;
  r.result = "failed";
  if (!child) {
    r.reason = error.text;
  } else if (killed) {
    r.result = "crashed";
    r.reason = "its process did not end when told to stop, and was killed";
  } else if (end.crashed && stopAsked && end.signal == SIGTERM) {
    // Told to stop before it was ready to hear it: it had not begun.
    r.exitCode = kExitInterrupted;
    r.cause = "interrupted";
    r.deviceGot = "untouched";
    r.reason = "interrupted before anything was sent to the device";
  } else if (end.crashed) {
    r.result = "crashed";
    if (end.signal) r.signal = end.signal;
    r.reason = "its process crashed (" + crashText(end) + ")";
  } else {
    r.result = "no_report";
    r.reason = "its process ended (exit code " + std::to_string(end.code) +
               ") without saying how the update went";
  }
  if (reported.percent > 0 && r.deviceGot.empty()) {
    r.deviceGot = "incomplete";
    r.reason += " during the download (at " + std::to_string(reported.percent) +
                "%); the device has no working firmware until an update completes";
  } else if (reported.downloadBegun && r.deviceGot.empty()) {
    // No block was counted, but the clear command (or the start report) may have gone: the
    // device is taken to be without its firmware, so that nobody ships it as it is.
    r.deviceGot = "incomplete";
    r.reason +=
        " as its download began, before any block was acknowledged; the device may have "
        "no working firmware until an update completes";
  }
  r.seconds = ticksSince(start, clock_.tickCount()) / 1000.0;
  r.time = utcTimeText(std::chrono::system_clock::now());
  record(i, r);
  return r;
}

int batchExitCode(const std::vector<DeviceSummary>& devices, bool interrupted) {
  if (devices.size() == 1) return devices.front().exitCode;
  if (interrupted) return kExitInterrupted;
  bool allOk = std::all_of(devices.begin(), devices.end(),
                           [](const DeviceSummary& d) { return d.result == "ok"; });
  return allOk ? kExitOk : kExitSomeFailed;
}

}  // namespace kestrel
