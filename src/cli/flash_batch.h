#pragma once

// kestrel-flash with several devices: each --port given (a serial port or a USB selector) and
// every boot loader that usb:* finds, updated by a batch (device_batch.h) with one conversion.

#include <optional>

namespace kestrel {

struct FlashEnvironment;
struct FlashOptions;

// Runs the update of `o` as a batch when it names more than one device: several --port, or a
// usb:* that finds several boot loaders. Nothing (and nothing done) when it names one device, which
// a single run updates as it always has. Otherwise the exit code: 0 when every device was updated,
// kExitSomeFailed when any was not, kExitInterrupted after a request to end, and a single run's
// code when the batch could not begin (a refused conversion: kExitConversion).
std::optional<int> flashBatch(const FlashOptions& o, FlashEnvironment& env);

}  // namespace kestrel
