// kestrel-flash: the utility's update from the command line.

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>
#include <vector>

#include "cli/flash_command.h"
#include "platform/clock.h"
#include "platform/hid_device.h"
#include "platform/serial_port.h"

namespace {
std::atomic<bool> interrupted{false};
void onSignal(int) {
  interrupted = true;
}
}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::vector<std::string> args(argv + 1, argv + argc);
  kestrel::FlashEnvironment env{kestrel::systemClock(),
                                kestrel::posixSerialBackend(),
                                kestrel::hidapiBackend(),
                                stdout,
                                stderr,
                                ::isatty(STDOUT_FILENO) != 0,
                                &interrupted};
  return kestrel::runFlash(args, env);
}
