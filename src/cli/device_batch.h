#pragma once

// A batch: one image, converted once, to many devices, each updated by a child process of its own
// (this program again, with the internal option kBatchChildOption), a few at a time.
//
// The protocol between the parent and a child:
// - the parent writes the image into a private file (FileSystem::writePrivateFile), removed when
//   the batch ends, and starts the child with
//     --batch-child ATTEMPT,SHA256,IMAGEFILE --port LABEL --json [--search-timeout S]
//     [--log FILE] -- FILE
//   where LABEL names the device as --port does and FILE is the firmware as the user named it;
// - the child reads IMAGEFILE, refuses it unless its SHA-256 is SHA256 (before anything reaches
//   the device), updates the device as a single run does, and writes on its standard output what a
//   single run writes with --json, plus a "unit" event (where the device is: "location",
//   "serial_number", "version") as it starts and a "record" event (the attempt's UnitRecord, which
//   it has appended to --log FILE when given) just before its "end" object;
// - the parent reads those lines as they come; a child that ends without its record (a crash, a
//   kill, a child that could not be started) is recorded by the parent, with the signal where a
//   signal ended it: "crashed" or "no_report";
// - a stop request of the parent (Child::requestStop) ends the child's update in good order, as
//   Ctrl+C ends a single run; a child whose parent has gone runs on to its end and records itself.
//
// Devices may be added while the batch runs, and its stop has two stages, so that a station that
// flashes each device as it is plugged in runs on the same engine:
//   DeviceBatch batch(settings, display, clock, files);
//   std::thread watcher([&] {                        // the station's enumeration, polled
//     while (!takeNoMore) { for (each new slot) batch.add(device); sleep(poll interval); }
//     batch.close();
//   });
//   batch.run(&takeNoMore, &stopRunning);            // first SIGINT: takeNoMore; second: both
// BatchSettings::onEnded tells the station when a slot's unit is done (to flash it again only
// after it has left and come back); counts() gives the passed/failed/running line.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/batch_display.h"
#include "cli/unit_record.h"
#include "platform/child_process.h"

namespace kestrel {

class Clock;
class FileSystem;

// The internal option that makes a run one device's child of a batch. Not shown in --help.
inline constexpr const char* kBatchChildOption = "batch-child";

// What the internal option carries: the attempt's number and the image the parent handed over.
struct BatchChildOrder {
  int attempt = 1;
  std::string sha256;     // 64 lower-case hexadecimal digits.
  std::string imagePath;  // The private file.
};
std::string batchChildText(const BatchChildOrder& order);
// False when `text` is not of batchChildText()'s form.
bool parseBatchChild(const std::string& text, BatchChildOrder* order);

// One device of a batch.
struct BatchDevice {
  std::string label;  // How the batch names it, and the --port its child gets.
  std::string location;
  std::string serialNumber;
  std::optional<int> version;
  // Set when the device is refused before any child runs for it (a USB boot loader that another
  // run holds): the record of that refusal, which is logged and summed up as any attempt's. Its
  // host, firmware, image, time and attempt are filled in from BatchSettings::common.
  std::optional<UnitRecord> refused;
};

// What every device of a batch shares.
struct BatchSettings {
  int jobs = 0;     // Children at once; 0: every device at once.
  int retries = 0;  // Further attempts for a device whose update failed with the link still there.
  // The options every child gets besides its own: --json, --search-timeout S, --log FILE.
  std::vector<std::string> childOptions;
  std::string logPath;  // Where the parent records what no child recorded; "" for none.
  UnitRecord common;    // The record's host, firmware, image length and SHA-256.
  std::string imagePath;
  // Called (on the device's own thread) when device `index` has ended, with its summary.
  std::function<void(size_t index, const DeviceSummary&)> onEnded;
  // Where the children's requests to end come from: Own when only run()'s flags may stop them (a
  // station, whose Ctrl+C on the terminal first only takes no new units).
  ChildGroup childGroup = ChildGroup::Shared;
};

// Whether an attempt that ended with the cause `cause` (causeName()) may be tried again: the update
// failed with the link still there (no answer, no acknowledgement, a held-up line, a report that
// could not be written). Not a device that went away, an interrupted update, or a refused port.
bool retryable(const std::string& cause);

// The engine of a batch. add(), close() and counts() may be called from any thread, before or
// while run() runs; run() from one thread, once.
class DeviceBatch {
 public:
  DeviceBatch(BatchSettings settings, BatchDisplay& display, Clock& clock, FileSystem& files);
  // Waits for run() to have returned; a batch that never ran has nothing to wait for.
  ~DeviceBatch();
  DeviceBatch(const DeviceBatch&) = delete;
  DeviceBatch& operator=(const DeviceBatch&) = delete;

  // Queues a device, gives it its line on the display, and returns its index (its place in the
  // summaries). Devices start in the order added, at most BatchSettings::jobs at once.
  size_t add(BatchDevice device);

  // No more devices come: run() returns once every one added has ended.
  void close();

  struct Counts {
    int passed = 0;   // Ended "ok".
    int failed = 0;   // Ended otherwise.
    int running = 0;  // Started and not ended.
    int waiting = 0;  // Added and not started.
  };
  Counts counts() const;

  // Runs the devices as they are added, refreshing the display about ten times a second, until the
  // batch is closed and every device added has ended. A raised `*takeNoMore` starts no further
  // device or attempt: those not started stay "not_started", and run() returns once the running
  // ones have ended. A raised `*stopRunning` asks every running child to stop (as Ctrl+C asks a
  // single run) and kills one that has not ended some seconds later. Either may be null. Returns
  // each device's summary, in the order added.
  std::vector<DeviceSummary> run(const std::atomic<bool>* takeNoMore,
                                 const std::atomic<bool>* stopRunning);

 private:
  struct Worker {
    std::thread thread;
    bool ended = false;  // Guarded by mutex_.
  };
  bool taking() const;    // Whether new devices and attempts may start.
  bool stopping() const;  // Whether running children are to stop.
  void runDevice(size_t i);
  UnitRecord attempt(size_t i, const BatchDevice& device, int n);
  void record(size_t i, const UnitRecord& r);

  const BatchSettings settings_;
  BatchDisplay& display_;
  Clock& clock_;
  FileSystem& files_;
  const std::atomic<bool>* takeNoMore_ = nullptr;
  const std::atomic<bool>* stopRunning_ = nullptr;
  mutable std::mutex mutex_;  // Guards everything below.
  std::condition_variable changed_;
  std::vector<BatchDevice> devices_;
  std::vector<DeviceSummary> summaries_;
  size_t next_ = 0;  // The next device not started.
  int running_ = 0;
  bool closed_ = false;
  bool runDone_ = true;  // No run() in progress.
  std::list<Worker> workers_;
};

// The batch's exit code: one device's own code; for several, 0 when every one succeeded, 130 when
// the batch was interrupted, else kExitSomeFailed.
int batchExitCode(const std::vector<DeviceSummary>& devices, bool interrupted);

}  // namespace kestrel
