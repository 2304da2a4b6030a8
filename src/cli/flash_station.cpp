#include "cli/flash_station.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cli/batch_display.h"
#include "cli/device_batch.h"
#include "cli/device_watcher.h"
#include "cli/flash_batch.h"
#include "cli/flash_command.h"
#include "cli/flash_options.h"
#include "platform_api/clock.h"

namespace kestrel {
namespace {

using Json = nlohmann::ordered_json;

// How often the station looks for a request to end once it takes no new units.
constexpr uint32_t kStoppingPollMs = 50;

// What the station knows of one slot: a USB port, or a serial node.
struct Slot {
  std::string label;
  bool present = false;  // Its unit is plugged in (as the last look saw it).
  bool busy = false;     // An update of its unit was added and has not ended.
  bool again = false;    // Its unit came back while busy: started again once that has ended.
  std::string last;      // How its last update ended ("updated", "failed: REASON"); "" before any.
};

// The station's slots and the batch they feed; every member function from any thread.
class Station {
 public:
  Station(DeviceBatch& batch, BatchDisplay& display) : batch_(batch), display_(display) {}

  void appeared(const PresentUnit& unit) {
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[unit.key];
    slot.label = unit.label;
    slot.present = true;
    units_[unit.key] = unit;
    display_.note({{"event", "appeared"},
                   {"device", unit.label},
                   {"location", unit.location.empty() ? Json(nullptr) : Json(unit.location)},
                   {"serial_number",
                    unit.serialNumber.empty() ? Json(nullptr) : Json(unit.serialNumber)}},
                  unit.label + ": plugged in");
    if (slot.busy) {
      slot.again = true;
      return;
    }
    start(unit.key, slot);
  }

  void left(const PresentUnit& unit) {
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[unit.key];
    slot.present = false;
    slot.again = false;
    display_.note({{"event", "left"}, {"device", unit.label}}, unit.label + ": unplugged");
    auto line = lines_.find(unit.key);
    if (!slot.busy && line != lines_.end()) display_.setState(line->second, emptyState(slot));
  }

  // Device `index` of the batch has ended.
  void ended(size_t index, const DeviceSummary& summary) {
    std::lock_guard lock(mutex_);
    const std::string key = keyOf_[index];
    Slot& slot = slots_[key];
    slot.busy = false;
    slot.last = summary.result == "ok" ? "updated" : "failed: " + summary.reason;
    if (slot.again && slot.present) {
      // Once the station takes no new units, the batch keeps it as seen and never started.
      slot.again = false;
      start(key, slot);
    } else if (!slot.present) {
      display_.setState(index, emptyState(slot));
    }
  }

  // No more units come (the batch takes no new ones already): the batch is closed.
  void close() {
    std::lock_guard lock(mutex_);
    batch_.close();
  }

 private:
  // Needs mutex_.
  void start(const std::string& key, Slot& slot) {
    const PresentUnit& unit = units_[key];
    slot.busy = true;
    const size_t index =
        batch_.add({unit.label, unit.location, unit.serialNumber, unit.version, std::nullopt});
    if (keyOf_.size() <= index) keyOf_.resize(index + 1);
    keyOf_[index] = key;
    lines_[key] = index;
  }

  static std::string emptyState(const Slot& slot) {
    return slot.last.empty() ? "empty" : "empty; the last unit " + slot.last;
  }

  DeviceBatch& batch_;
  BatchDisplay& display_;
  std::mutex mutex_;  // Guards everything below.
  std::map<std::string, Slot> slots_;        // By key.
  std::map<std::string, PresentUnit> units_;  // The unit last seen in each slot, by key.
  std::map<std::string, size_t> lines_;       // The last device index of each slot, by key.
  std::vector<std::string> keyOf_;            // Each device index's slot.
};

std::string countsText(const DeviceBatch::Counts& c) {
  std::string text = "counts: passed " + std::to_string(c.passed) + ", failed " +
                     std::to_string(c.failed) + ", running " + std::to_string(c.running);
  if (c.waiting > 0) text += ", waiting " + std::to_string(c.waiting);
  return text;
}

// The targets in words, for the first line.
std::string watchedText(const FlashOptions& o) {
  std::string text;
  for (const std::string& port : o.ports) text += (text.empty() ? "" : ", ") + port;
  return text;
}

int stationExitCode(const std::vector<DeviceSummary>& units, bool interruptedUpdates) {
  if (interruptedUpdates) return kExitInterrupted;
  const bool allOk = std::all_of(units.begin(), units.end(),
                                 [](const DeviceSummary& d) { return d.result == "ok"; });
  return allOk ? kExitOk : kExitSomeFailed;
}

std::string stationReason(const std::vector<DeviceSummary>& units, int code) {
  const size_t ok = size_t(std::count_if(units.begin(), units.end(),
                                         [](const DeviceSummary& d) { return d.result == "ok"; }));
  const std::string counted =
      std::to_string(ok) + " of " + std::to_string(units.size()) + " units updated";
  if (code == kExitInterrupted) {
    return "station interrupted: " + counted + "; the summary says what each device got";
  }
  if (code == kExitOk) return "station stopped: " + counted;
  return "station stopped: " + counted + "; the summary says which failed and why";
}

}  // namespace

int flashStation(const FlashOptions& o, const std::vector<WatchTarget>& targets,
                 FlashEnvironment& env) {
  BatchSettings settings;
  BatchImage image;
  if (std::optional<int> failed = image.prepare(o, env, &settings)) return failed.value();
  // A Ctrl+C on the terminal reaches this process only: the children hear what it decides.
  settings.childGroup = ChildGroup::Own;
  Station* station = nullptr;
  settings.onEnded = [&station](size_t i, const DeviceSummary& s) { station->ended(i, s); };

  BatchDisplay display(env.out, env.err, batchStyle(o, env),
                       {env.columns, env.rows, env.outMovesCursor});
  DeviceBatch batch(settings, display, env.clock, env.files);
  Station slots(batch, display);
  station = &slots;
  std::unique_ptr<UnitSource> source = systemUnits(env.hid, targets);
  DeviceWatcher watcher(*source, env.clock);

  auto requests = [&env] {
    if (env.stopRequests) return env.stopRequests();
    return env.interrupted && env.interrupted->load() ? 1 : 0;
  };
  std::atomic<bool> takeNoMore{false}, stopRunning{false}, runEnded{false};
  display.note({{"event", "watching"}, {"ports", o.ports}},
               "watching " + watchedText(o) + " (Ctrl+C: no new units; twice: interrupt)");
  std::thread watching([&] {
    while (!runEnded) {
      const int asked = requests();
      if (asked >= 1 && !takeNoMore) {
        takeNoMore = true;
        slots.close();
        const std::string stopping =
            "stopping: no new units; the updates under way finish (Ctrl+C again interrupts them)";
        display.note({{"event", "stopping"}, {"text", stopping}}, stopping);
      }
      if (asked >= 2 && !stopRunning) {
        stopRunning = true;
        const std::string warning =
            "interrupting the updates under way: a device stopped during its download has no "
            "working firmware until an update completes";
        display.note({{"event", "interrupting"}, {"text", warning}}, warning, true);
      }
      if (!takeNoMore) {
        for (const DeviceWatcher::Change& change : watcher.poll()) {
          if (change.appeared) {
            slots.appeared(change.unit);
          } else {
            slots.left(change.unit);
          }
        }
      }
      const DeviceBatch::Counts c = batch.counts();
      display.setFooter(countsText(c), {{"event", "counts"},
                                        {"passed", c.passed},
                                        {"failed", c.failed},
                                        {"running", c.running},
                                        {"waiting", c.waiting}});
      env.clock.sleepMs(takeNoMore ? kStoppingPollMs : kWatchPollMs);
    }
  });
  std::vector<DeviceSummary> summaries = batch.run(&takeNoMore, &stopRunning);
  runEnded = true;
  watching.join();
  const bool interruptedUpdates =
      stopRunning && std::any_of(summaries.begin(), summaries.end(), [](const DeviceSummary& d) {
        return d.exitCode == kExitInterrupted && d.result != "not_started";
      });
  const int code = stationExitCode(summaries, interruptedUpdates);
  display.finish(summaries, code, stationReason(summaries, code));
  return code;
}

}  // namespace kestrel
