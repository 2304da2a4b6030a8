// kestrel-serial-sim: a simulated serial boot loader on a pseudo-terminal, for trying the utility
// without hardware. Runs until interrupted.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "sim/serial_boot_sim.h"
#include "tool_usage.h"

namespace {

constexpr const char* kProgram = "kestrel-serial-sim";

constexpr const char* kUsage =
    "usage: kestrel-serial-sim --link DIR/COMn [--paced] [--silent] [--hold-line-at N]\n"
    "       kestrel-serial-sim --help\n"
    "\n"
    "A simulated serial boot loader of a Kestrel device, on a pseudo-terminal: it wakes on the\n"
    "byte 0xA2 at 9600 bit/s, answers the search at 115200 bit/s, takes a whole download\n"
    "(\"UCLRU\", the blocks, \"URBTU\") and answers the service codes, as the device does. Give\n"
    "the utility the folder DIR to find its COM ports in, and choose \"COMn\" there:\n"
    "\n"
    "  kestrel-serial-sim --link /tmp/ports/COM1 --paced &\n"
    "  KESTREL_COM_DIR=/tmp/ports kestrel-utility          # choose \"COM1\"\n"
    "  KESTREL_COM_DIR=/tmp/ports kestrel-flash --port COM1 fw.out\n"
    "\n"
    "options:\n"
    "  --link DIR/COMn  make DIR (when missing) and in it the symbolic link COMn to the\n"
    "                   pseudo-terminal, replacing what was there; removed at the end\n"
    "  --paced          bytes take their time on the line, 10 bits each at the speed set\n"
    "                   (a whole 256 KiB download takes some 25 s at 115200 bit/s)\n"
    "  --silent         wakes, but never answers: a search that never ends\n"
    "  --hold-line-at N holds the line up (flow control) as the N-th block command of a\n"
    "                   download comes (0 is the first), before it is acknowledged: nothing\n"
    "                   more of the utility's gets through\n"
    "  -h, --help       this text\n"
    "\n"
    "It prints the pseudo-terminal it listens on, then one line for each update it received\n"
    "whole (\"update received: N bytes of flash written, E checksum errors; device\n"
    "restarted\"), and runs until SIGINT (Ctrl-C) or SIGTERM.\n";

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) {
  stopRequested = 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string link;
  kestrel::sim::SerialFaults faults;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--link" || arg.rfind("--link=", 0) == 0) {
      if (arg == "--link" && i + 1 == argc) {
        return kestrel::tools::usageError(kProgram, "--link needs a path, DIR/COMn");
      }
      link = arg == "--link" ? argv[++i] : arg.substr(std::strlen("--link="));
      if (link.empty() || kestrel::tools::looksLikeOption(link)) {
        return kestrel::tools::usageError(kProgram,
                                          "--link needs a path, DIR/COMn, not '" + link + "'");
      }
    } else if (arg == "--paced") {
      faults.paced = true;
    } else if (arg == "--silent") {
      faults.silent = true;
    } else if (arg == "--hold-line-at") {
      char* end = nullptr;
      const char* value = i + 1 < argc ? argv[++i] : "";
      long n = std::strtol(value, &end, 10);
      if (*value == '\0' || *end != '\0' || n < 0 || n > 0xFFFF) {
        return kestrel::tools::usageError(
            kProgram,
            std::string("--hold-line-at needs a block command's number, not '") + value + "'");
      }
      faults.holdLineAt = int(n);
    } else if (kestrel::tools::looksLikeOption(arg)) {
      return kestrel::tools::usageError(kProgram, "unknown option '" + arg + "'");
    } else {
      return kestrel::tools::usageError(kProgram, "unexpected argument '" + arg + "'");
    }
  }
  if (link.empty()) return kestrel::tools::usageError(kProgram, "no --link DIR/COMn given");
  std::filesystem::path path(link);
  if (!path.has_filename()) {
    return kestrel::tools::usageError(kProgram, "--link names a folder; give DIR/COMn");
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  kestrel::sim::SerialBootSim sim(faults);
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, path.parent_path().c_str(),
                 ec.message().c_str());
    return 1;
  }
  try {
    sim.linkAs(path.has_parent_path() ? path.parent_path().string() : ".",
               path.filename().string());
  } catch (const std::filesystem::filesystem_error& e) {
    std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    return 1;
  }
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
  std::filesystem::remove(path, ec);
  return 0;
}
