#pragma once

// A batch: one image, converted once, to many devices, each updated by a child process of its own
// (this program again, with the internal option kBatchChildOption), a few at a time.
//
// The protocol between the parent and a child:
// - the parent writes the image into a private file (FileSystem::writePrivateFile), removed when
//   the batch ends, and starts the child with
//     --batch-child ATTEMPT,SHA256,IMAGEFILE --port LABEL [--search-timeout S] [--log FILE] -- FILE
//   where LABEL names the device as --port does and FILE is the firmware as the user named it;
// - the child reads IMAGEFILE, refuses it unless its SHA-256 is SHA256 (before anything reaches
//   the device), updates the device as a single run does, and writes on its standard output what a
//   single run writes with --json, plus a "unit" event (where the device is: "location",
//   "serial_number", "version") as it starts and a "record" event (the attempt's UnitRecord, which
//   it has appended to --log FILE when given) just before its "end" object;
// - the parent reads those lines as they come; a child that ends without its record (a crash, a
//   kill) is recorded by the parent, with the signal where a signal ended it;
// - a stop request of the parent (Child::requestStop) ends the child's update in good order, as
//   Ctrl+C ends a single run; a child whose parent has gone runs on to its end.

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "cli/batch_display.h"
#include "cli/unit_record.h"

namespace kestrel {

class Clock;
class FileSystem;

// The internal option that makes a run one device's child of a batch. Not shown in --help.
inline constexpr const char* kBatchChildOption = "batch-child";

// What the internal option carries: the attempt's number and the image the parent handed over.
struct BatchChildSpec {
  int attempt = 1;
  std::string sha256;     // 64 lower-case hexadecimal digits.
  std::string imagePath;  // The private file.
};
std::string batchChildText(const BatchChildSpec& spec);
// False when `text` is not of batchChildText()'s form.
bool parseBatchChild(const std::string& text, BatchChildSpec* spec);

// One device of a batch.
struct BatchDevice {
  std::string label;  // How the batch names it, and the --port its child gets.
  std::string location;
  std::string serialNumber;
  std::optional<int> version;
  // Set when the device is refused before any child runs for it (a USB boot loader that another
  // run holds): the record of that refusal.
  std::optional<UnitRecord> refused;
};

struct BatchPlan {
  std::vector<BatchDevice> devices;
  int jobs = 0;     // Children at once; 0: every device at once.
  int retries = 0;  // Further attempts for a device whose update failed with the link still there.
  // The options every child gets besides its own: --search-timeout S, --log FILE.
  std::vector<std::string> childOptions;
  std::string logPath;  // Where the parent records what no child recorded; "" for none.
  UnitRecord common;    // The record's host, firmware, image length and SHA-256.
  std::string imagePath;
};

// Whether an attempt that ended with the cause `cause` (causeName()) may be tried again: the update
// failed with the link still there (no answer, no acknowledgement, a held-up line, a report that
// could not be written). Not a device that went away, an interrupted update, or a refused port.
bool retryable(const std::string& cause);

// Runs every device of `plan`: at most plan.jobs children at once, each attempt reported to
// `display` and recorded. A raised `*stop` (a request to end) asks every running child to stop,
// kills one that has not ended some seconds later, and starts no more. Returns each device's
// summary, in the plan's order. Time is measured with `clock`. The calling thread refreshes the
// display meanwhile.
std::vector<DeviceSummary> runBatch(const BatchPlan& plan, BatchDisplay& display, Clock& clock,
                                    FileSystem& files, const std::atomic<bool>* stop);

// The batch's exit code: one device's own code; for several, 0 when every one succeeded, 130 when
// the batch was interrupted, else kExitSomeFailed.
int batchExitCode(const std::vector<DeviceSummary>& devices, bool interrupted);

}  // namespace kestrel
