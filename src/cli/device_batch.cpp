#include "cli/device_batch.h"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>

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

bool isHex(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// What a parent learns of one attempt from its child's reports.
struct Reported {
  std::optional<UnitRecord> record;
  nlohmann::json unit;  // The "unit" event, when one came.
  int percent = -1;     // The last progress.
};

class BatchRunner {
 public:
  BatchRunner(const BatchPlan& plan, BatchDisplay& display, Clock& clock, FileSystem& files,
              const std::atomic<bool>* stop)
      : plan_(plan), display_(display), clock_(clock), files_(files), stop_(stop) {
    summaries_.resize(plan.devices.size());
    for (size_t i = 0; i < plan.devices.size(); ++i) {
      DeviceSummary& s = summaries_[i];
      s.device = plan.devices[i].label;
      s.location = plan.devices[i].location;
      s.serialNumber = plan.devices[i].serialNumber;
      s.result = "not_started";
      s.exitCode = kExitInterrupted;
      s.reason = "interrupted before its turn: nothing was sent to the device";
    }
  }

  std::vector<DeviceSummary> run() {
    const size_t jobs =
        std::min(plan_.devices.size(), plan_.jobs > 0 ? size_t(plan_.jobs) : plan_.devices.size());
    std::vector<std::thread> workers;
    try {
      for (size_t j = 0; j < jobs; ++j) workers.emplace_back([this] { work(); });
    } catch (...) {
      // No thread for the rest: the devices not yet taken are not started, and the caller says so.
      abort_ = true;
      for (std::thread& t : workers) t.join();
      throw;
    }
    {
      std::unique_lock lock(mutex_);
      while (done_ < workers.size()) {
        cv_.wait_for(lock, std::chrono::milliseconds(100));
        lock.unlock();
        display_.refresh();
        lock.lock();
      }
    }
    for (std::thread& t : workers) t.join();
    return summaries_;
  }

 private:
  bool stopping() const { return abort_ || (stop_ && stop_->load()); }

  // One job: the next device not yet taken, until there is none (or the batch is stopping).
  void work() {
    for (;;) {
      size_t i;
      {
        std::lock_guard lock(mutex_);
        if (next_ >= plan_.devices.size() || stopping()) break;
        i = next_++;
      }
      runDevice(i);
    }
    std::lock_guard lock(mutex_);
    ++done_;
    cv_.notify_all();
  }

  void runDevice(size_t i) {
    const BatchDevice& device = plan_.devices[i];
    const uint32_t start = clock_.tickCount();
    DeviceSummary summary;
    {
      std::lock_guard lock(mutex_);
      summary = summaries_[i];
    }
    const int attempts = 1 + plan_.retries;
    for (int n = 1; n <= attempts; ++n) {
      UnitRecord r;
      if (device.refused) {
        r = *device.refused;
        display_.attemptStarted(i, n, attempts);
        record(i, r);
      } else {
        display_.attemptStarted(i, n, attempts);
        r = attempt(i, n);
      }
      const bool again = !device.refused && n < attempts && !stopping() && retryable(r.cause);
      display_.attemptEnded(i, r, again);
      summary.location = r.location.empty() ? summary.location : r.location;
      summary.serialNumber = r.serialNumber.empty() ? summary.serialNumber : r.serialNumber;
      summary.result = r.result;
      summary.exitCode = r.exitCode;
      summary.reason = r.reason;
      summary.attempts = n;
      if (!again) break;
    }
    summary.seconds = ticksSince(start, clock_.tickCount()) / 1000.0;
    std::lock_guard lock(mutex_);
    summaries_[i] = summary;
  }

  // Records `r` in the log on behalf of a child that could not.
  void record(size_t i, const UnitRecord& r) {
    std::string error;
    if (!plan_.logPath.empty() && !appendRecord(files_, plan_.logPath, r, &error)) {
      display_.childEvent(
          i, {{"event", "warning"}, {"text", "the attempt's record is not in the log: " + error}});
    }
  }

  UnitRecord attempt(size_t i, int n) {
    const BatchDevice& device = plan_.devices[i];
    const uint32_t start = clock_.tickCount();
    std::vector<std::string> args = {"--" + std::string(kBatchChildOption),
                                     batchChildText({n, plan_.common.sha256, plan_.imagePath}),
                                     "--port", device.label};
    args.insert(args.end(), plan_.childOptions.begin(), plan_.childOptions.end());
    args.push_back("--");
    args.push_back(plan_.common.firmware);

    ChildError error;
    std::unique_ptr<Child> child = startSelf(args, &error);
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
          std::string line = pending.substr(0, eol);
          pending.erase(0, eol + 1);
          take(i, line, &reported);
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

    UnitRecord r = plan_.common;
    r.device = device.label;
    r.location = reported.unit.value("location", device.location);
    r.serialNumber = reported.unit.value("serial_number", device.serialNumber);
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
    }
    r.seconds = ticksSince(start, clock_.tickCount()) / 1000.0;
    r.time = utcTimeText(std::chrono::system_clock::now());
    record(i, r);
    return r;
  }

  // One line of a child's reports.
  void take(size_t i, std::string line, Reported* reported) {
    // A Windows child's output is text: its lines end in CR LF.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_object()) return;
    const std::string kind = event.value("event", "");
    if (kind == "record") {
      UnitRecord r;
      if (recordFromJson(event, &r)) reported->record = r;
      return;
    }
    if (kind == "unit") reported->unit = event;
    if (kind == "progress" && event.contains("percent") && event["percent"].is_number_integer()) {
      reported->percent = event["percent"].get<int>();
    }
    display_.childEvent(i, event);
  }

  const BatchPlan& plan_;
  BatchDisplay& display_;
  Clock& clock_;
  FileSystem& files_;
  const std::atomic<bool>* const stop_;
  std::atomic<bool> abort_{false};  // No thread could be had for every job.
  std::mutex mutex_;                // Guards everything below.
  std::condition_variable cv_;
  size_t next_ = 0;  // The next device no job has taken.
  size_t done_ = 0;  // Jobs that have ended.
  std::vector<DeviceSummary> summaries_;
};

}  // namespace

std::string batchChildText(const BatchChildSpec& spec) {
  return std::to_string(spec.attempt) + "," + spec.sha256 + "," + spec.imagePath;
}

bool parseBatchChild(const std::string& text, BatchChildSpec* spec) {
  const size_t first = text.find(',');
  const size_t second = first == std::string::npos ? first : text.find(',', first + 1);
  if (second == std::string::npos) return false;
  const std::string attempt = text.substr(0, first);
  BatchChildSpec out;
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
  *spec = std::move(out);
  return true;
}

bool retryable(const std::string& cause) {
  return cause == "no_answer" || cause == "no_acknowledgement" || cause == "line_held_up" ||
         cause == "send_error";
}

std::vector<DeviceSummary> runBatch(const BatchPlan& plan, BatchDisplay& display, Clock& clock,
                                    FileSystem& files, const std::atomic<bool>* stop) {
  return BatchRunner(plan, display, clock, files, stop).run();
}

int batchExitCode(const std::vector<DeviceSummary>& devices, bool interrupted) {
  if (devices.size() == 1) return devices.front().exitCode;
  if (interrupted) return kExitInterrupted;
  bool allOk = std::all_of(devices.begin(), devices.end(),
                           [](const DeviceSummary& d) { return d.result == "ok"; });
  return allOk ? kExitOk : kExitSomeFailed;
}

}  // namespace kestrel
