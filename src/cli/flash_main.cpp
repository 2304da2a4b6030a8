// kestrel-flash: the utility's update from the command line.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/flash_command.h"
#include "cli/output_sink.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/hid_device.h"
#include "platform/process.h"
#include "platform/serial_port.h"

namespace {

std::atomic<bool> interrupted{false};

void onSignal(int) {
  interrupted = true;
}

}  // namespace

int main(int argc, char** argv) {
  kestrel::ensureStandardDescriptors();
  // Output that nobody reads any more is given up (see OutputSink), not a reason to die mid-update.
  kestrel::ignoreBrokenPipes();
  kestrel::ignoreFileSizeLimit();
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::vector<std::string> args = kestrel::commandLineArguments(argc, argv);
  int code;
  {
    kestrel::OutputSink out(1);
    kestrel::OutputSink err(2);
    kestrel::FlashEnvironment env{kestrel::systemClock(),
                                  kestrel::serialBackend(),
                                  kestrel::hidBackend(),
                                  kestrel::fileSystem(),
                                  out,
                                  err,
                                  kestrel::stdoutIsTerminal(),
                                  &interrupted};
    code = kestrel::runFlash(args, env);
    // Output still stuck in a pipe nobody reads is not waited for beyond this.
    bool flushed = out.flush(std::chrono::seconds(1));
    flushed = err.flush(std::chrono::seconds(1)) && flushed;
    if (!flushed) std::_Exit(code);
  }
  return code;
}
