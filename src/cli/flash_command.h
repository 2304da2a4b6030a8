#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "core/update_outcome.h"

namespace kestrel {

class Clock;
class FileSystem;
class HidApi;
class OutputSink;
class SerialBackend;

// Exit codes of kestrel-flash.
enum FlashExit : int {
  kExitOk = 0,
  kExitFailure = 1,  // Anything else: memory, an I/O error on the link, a thread.
  kExitUsage = 2,
  kExitConversion = 3,  // The ELF file was refused, or its image could not be written.
  kExitNoDevice = 4,    // Port or device not found, or not openable.
  kExitNoAnswer = 5,    // The serial search got no answer within --search-timeout.
  kExitNoAck = 6,       // The device did not acknowledge a step.
  kExitDeviceGone = 7,  // The line hung up, the device was unplugged, or the line is held up.
  kExitSomeFailed = 8,  // A batch of several devices: one or more of them were not updated.
  kExitInterrupted = 130,
};

// The exit code of an update that ended with `outcome`. Only the outcome decides it.
int exitCodeFor(const UpdateOutcome& outcome);

// What the command runs against: the real machine in main(), simulators in tests.
struct FlashEnvironment {
  Clock& clock;
  SerialBackend& serial;
  HidApi& hid;
  FileSystem& files;
  OutputSink& out;
  OutputSink& err;
  bool outIsTerminal = false;
  // Raised from a signal handler (or the console's control handler): the update stops at its next
  // step, and nothing more reaches the device.
  const std::atomic<bool>* interrupted = nullptr;
  // The terminal's width in columns for the progress line, asked at every redraw (unset or 0: 80).
  std::function<int()> columns;
  // The terminal's height in lines (unset or 0: any), and whether the cursor can be moved on it
  // (terminalMovesCursor()): a batch draws its devices' lines in place only then.
  std::function<int()> rows;
  bool outMovesCursor = false;
  // How many requests to end have come (stopRequestCount()), for a station's two stages; unset:
  // one when `interrupted` is raised.
  std::function<int()> stopRequests;
};

// kestrel-flash with `args` (without the program name). Returns the exit code. Everything it
// prints goes through env.out and env.err.
int runFlash(const std::vector<std::string>& args, FlashEnvironment& env);

}  // namespace kestrel
