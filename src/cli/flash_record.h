#pragma once

// What one run records of its attempt at a device: with --log FILE one JSON line appended to the
// file (unit_record.h); as a batch's child (device_batch.h) also a "unit" event as the update
// begins and a "record" event before the "end" object, for its parent.

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/unit_record.h"

namespace kestrel {

class ConsoleWindow;
struct FlashEnvironment;
struct FlashOptions;
class HidApi;

// Where the device that --port `port` names is, as far as can be told without opening it: for a
// USB selector the boot loader it admits (the first free one for "usb"), with its location, serial
// number and version; for a serial port the device it leads to. Empty fields where nothing is
// known.
UnitRecord unitPlace(const std::string& port, HidApi& hid);

class UnitRecorder {
 public:
  // A recorder for the run of `o`, or null when it neither logs nor is a batch's child.
  static std::unique_ptr<UnitRecorder> forRun(const FlashOptions& o, FlashEnvironment& env);

  // The update of the device `label` (how --port named it) begins: a child reports the "unit".
  void begin(ConsoleWindow& w, const std::string& label);
  // The image the device is sent.
  void image(const std::vector<uint8_t>& bytes);
  // The run ends with `end` (its "end" object): the record is appended to the log (a failure to
  // write it is a warning on stderr, or a "warning" event) and a child reports it.
  void end(ConsoleWindow& w, const nlohmann::ordered_json& end);

 private:
  UnitRecorder(FlashEnvironment& env, bool child, std::string logPath, UnitRecord record);

  FlashEnvironment& env_;
  const bool child_;
  const std::string logPath_;
  UnitRecord record_;
  uint32_t start_ = 0;
  bool ended_ = false;
};

// For a batch's child: the image its parent handed over, as `order` (--batch-child) names it, read
// into *image and checked against its SHA-256. False when it cannot be read or is not the image
// converted, with the outcome (ImageFileError, nothing sent) recorded in `w`.
bool takeHandedImage(ConsoleWindow& w, const std::string& order, std::vector<uint8_t>* image);

}  // namespace kestrel
