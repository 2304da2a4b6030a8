#pragma once

// The record of one attempt at updating one unit: what --log appends as one JSON line, what a
// batch's child reports to its parent, and what the batch's "attempt" events carry.

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace kestrel {

class FileSystem;

struct UnitRecord {
  std::string time;      // When the attempt ended, in UTC: "2024-05-01T12:34:56.789Z".
  std::string host;      // The machine that ran it.
  std::string firmware;  // The ELF file, as the command line named it.
  uint64_t imageLength = 0;
  std::string sha256;  // Of the image the device was sent (or was to be sent).
  std::string device;  // The device's label: its --port ("COM3", "/dev/ttyUSB0", "usb:1-3.2").
  // Where the unit is: a USB boot loader's physical port, or the device a serial port leads to;
  // "" when not known.
  std::string location;
  std::string serialNumber;    // The USB serial number; "" when none or not known.
  std::optional<int> version;  // The USB boot loader's version; none over a serial port.
  std::string result;          // "ok", "failed", "crashed" or "no_report".
  int exitCode = 0;            // What a run of this one attempt alone would exit with.
  std::string reason;          // The last line's words: what happened and what to do.
  std::string cause;           // The outcome's cause ("no_acknowledgement"); "" when none.
  std::string deviceGot;       // "untouched", "woken", "incomplete", "complete"; "" unknown.
  std::optional<int> signal;   // The signal that ended a crashed child (POSIX).
  double seconds = 0;          // How long the attempt took.
  int attempt = 1;             // 1 for the first, 2 for the first retry, ...
};

// The record as a JSON object, members in the order above; unknown values are null.
nlohmann::ordered_json recordJson(const UnitRecord& r);

// Reads a record back from recordJson()'s form; false when `j` is not one (a member missing or of
// the wrong type).
bool recordFromJson(const nlohmann::json& j, UnitRecord* r);

// `t` in UTC as ISO 8601 with milliseconds: "2024-05-01T12:34:56.789Z".
std::string utcTimeText(std::chrono::system_clock::time_point t);

// Appends `r` as one line of JSON to the log at `path` (FileSystem::appendToFile: one write,
// synced to disk, never truncated). False with *error saying why.
bool appendRecord(FileSystem& files, const std::string& path, const UnitRecord& r,
                  std::string* error);

}  // namespace kestrel
