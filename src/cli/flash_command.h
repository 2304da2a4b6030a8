#pragma once

#include <atomic>
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
  const std::atomic<bool>* interrupted = nullptr;  // Set from a signal handler: stop at once.
};

// kestrel-flash with `args` (without the program name). Returns the exit code. Everything it
// prints goes through env.out and env.err.
int runFlash(const std::vector<std::string>& args, FlashEnvironment& env);

}  // namespace kestrel
