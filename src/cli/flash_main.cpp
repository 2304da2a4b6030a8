// kestrel-flash: the utility's update from the command line.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "cli/flash_command.h"
#include "cli/flash_options.h"
#include "cli/output_sink.h"
#include "platform/backends.h"
#include "platform/child_process.h"
#include "platform/process.h"
#include "platform_api/clock.h"
#include "platform_api/files.h"
#include "platform_api/hid_device.h"
#include "platform_api/serial_port.h"

namespace {

// Raised by the handlers of Ctrl+C, a closing terminal or console, kill, logoff: the update ends
// by its own road, with the port put back and its last line written.
std::atomic<bool> interrupted{false};
std::atomic<bool> json{false};

// The last words when not even the program's own output can be had (no memory, no thread): written
// straight to the descriptors, without allocating.
int cannotRun() {
  static const char kJson[] =
      "{\"event\":\"end\",\"result\":\"failed\",\"exit_code\":1,\"reason\":\"out of memory\","
      "\"cause\":\"no_memory\"}\n";
  static const char kText[] = "kestrel-flash: out of memory (or no thread could be started)\n";
  if (json) (void)!::write(1, kJson, sizeof kJson - 1);
  (void)!::write(2, kText, sizeof kText - 1);
  return kestrel::kExitFailure;
}

// Where the run time gives up (no memory even to throw std::bad_alloc): the same words, exit 1.
[[noreturn]] void cannotGoOn() {
  std::_Exit(cannotRun());
}

}  // namespace

int main(int argc, char** argv) {
  kestrel::ensureStandardDescriptors();
  // Output that nobody reads any more is given up (see OutputSink), not a reason to die mid-update.
  kestrel::ignoreBrokenPipes();
  kestrel::ignoreFileSizeLimit();
  kestrel::watchStopRequests(&interrupted);
  // This program is the one a batch starts for each device (with the internal option).
  kestrel::allowCopiesOfThisProgram();
  std::set_terminate(cannotGoOn);
  int code;
  try {
    std::vector<std::string> args = kestrel::commandLineArguments(argc, argv);
    json = kestrel::asksForJson(args);
    // A batch's child hears its parent's stop request too (on Windows through its standard input,
    // which in any other run is the user's console).
    if (kestrel::isBatchChild(args)) kestrel::watchParentStopRequests(&interrupted);
    kestrel::OutputSink out(1);
    // Where both lead to one place (2>&1, one terminal), one writer keeps their order.
    std::optional<kestrel::OutputSink> ownErr;
    std::optional<kestrel::OutputSink> sharedErr;
    kestrel::OutputSink& err =
        kestrel::sameOutput(1, 2) ? sharedErr.emplace(2, out) : ownErr.emplace(2);
    kestrel::FlashEnvironment env{kestrel::systemClock(),
                                  kestrel::serialBackend(),
                                  kestrel::hidBackend(),
                                  kestrel::fileSystem(),
                                  out,
                                  err,
                                  kestrel::stdoutIsTerminal(),
                                  &interrupted,
                                  [] { return kestrel::terminalColumns(1); },
                                  [] { return kestrel::terminalRows(1); },
                                  kestrel::stdoutIsTerminal() && kestrel::terminalMovesCursor(1),
                                  kestrel::stopRequestCount};
    code = kestrel::runFlash(args, env);
    // Output still stuck in a pipe nobody reads is not waited for beyond this.
    bool flushed = out.flush(std::chrono::seconds(1));
    flushed = err.flush(std::chrono::seconds(1)) && flushed;
    kestrel::stopRequestsHandled();
    if (!flushed) std::_Exit(code);
  } catch (const std::exception&) {
    code = cannotRun();
    kestrel::stopRequestsHandled();
  }
  return code;
}
