#pragma once

// kestrel-flash with several devices: each --port given (a serial port or a USB selector) and
// every boot loader that usb:* finds, updated by a batch (device_batch.h) with one conversion.

#include <optional>
#include <string>

#include "cli/console_window.h"

namespace kestrel {

class FileSystem;
struct BatchSettings;
struct FlashEnvironment;
struct FlashOptions;

// How a batch of `o` writes in `env`: JSON, quiet, lines redrawn on a terminal, or plain lines.
ConsoleStyle batchStyle(const FlashOptions& o, const FlashEnvironment& env);

// The image that every device's child of a batch (or a station) gets: the firmware converted once,
// written to a private file that is removed when this goes, by whatever road.
class BatchImage {
 public:
  BatchImage() = default;
  ~BatchImage();
  BatchImage(const BatchImage&) = delete;
  BatchImage& operator=(const BatchImage&) = delete;

  // Converts the firmware of `o` (saying so as a single run does, the image beside it as usual),
  // writes the private file and fills in *settings: what every child gets (the common record,
  // the image's file, --json, --search-timeout, --log) and the log. Nothing when the devices can
  // be started; otherwise the exit code of a run that could not begin, its last words written.
  std::optional<int> prepare(const FlashOptions& o, FlashEnvironment& env, BatchSettings* settings);

 private:
  FileSystem* files_ = nullptr;
  std::string path_;
};

// Runs the update of `o` as a batch when it names more than one device: several --port, or a
// usb:* that finds several boot loaders. Nothing (and nothing done) when it names one device, which
// a single run updates as it always has. Otherwise the exit code: 0 when every device was updated,
// kExitSomeFailed when any was not, kExitInterrupted after a request to end, and a single run's
// code when the batch could not begin (a refused conversion: kExitConversion).
std::optional<int> flashBatch(const FlashOptions& o, FlashEnvironment& env);

}  // namespace kestrel
