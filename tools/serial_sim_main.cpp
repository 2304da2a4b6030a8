// kestrel-serial-sim: a simulated serial boot loader on a pseudo-terminal, for trying the utility
// without hardware. Runs until interrupted.
//
//   kestrel-serial-sim --link DIR/COM1 [--paced] [--hold-line-at N]
//
// --hold-line-at N holds the line up (flow control) as the N-th block command (0-based) of a
// download comes, before it is acknowledged: nothing more of the utility's gets through.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "sim/serial_boot_sim.h"

namespace {
volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) {
  stopRequested = 1;
}
}  // namespace

int main(int argc, char** argv) {
  std::string link;
  kestrel::sim::SerialFaults faults;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--link") == 0 && i + 1 < argc) {
      link = argv[++i];
    } else if (std::strcmp(argv[i], "--paced") == 0) {
      faults.paced = true;
    } else if (std::strcmp(argv[i], "--hold-line-at") == 0 && i + 1 < argc) {
      faults.holdLineAt = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s --link DIR/COMn [--paced] [--hold-line-at N]\n", argv[0]);
      return 2;
    }
  }
  if (link.empty()) {
    std::fprintf(stderr, "usage: %s --link DIR/COMn [--paced] [--hold-line-at N]\n", argv[0]);
    return 2;
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  kestrel::sim::SerialBootSim sim(faults);
  std::filesystem::path path(link);
  std::filesystem::create_directories(path.parent_path());
  sim.linkAs(path.parent_path().string(), path.filename().string());
  std::printf("boot loader listening on %s (linked as %s)\n", sim.devicePath().c_str(),
              link.c_str());
  std::fflush(stdout);
  size_t reported = 0;
  while (!stopRequested) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto cmds = sim.commands();
    if (cmds.size() > reported) {
      reported = cmds.size();
      if (cmds.back() == "URBTU") {
        std::printf(
            "update received: %zu bytes of flash written, %d checksum errors; device restarted\n",
            sim.image().size(), sim.checksumErrors());
        std::fflush(stdout);
      }
    }
  }
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return 0;
}
