// A 0x40000-byte USB update against the simulated HID boot loader paced at one report per
// millisecond each way (a full-speed interrupt endpoint). Reports the wall time against the
// bound (5,376 output reports and 128 acknowledgements at 1 ms each, plus the 2,500 ms final
// pause) and the process's CPU time (the simulator's pacing sleeps cost none).

#include <chrono>
#include <cstdio>

#include "bench_util.h"
#include "platform/backends.h"
#include "sim/elf_builder.h"
#include "sim/hid_boot_sim.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "update/update_commands.h"

using namespace kestrel;
using Clk = std::chrono::steady_clock;

int main() {
  test::TempDir dir;
  const uint32_t size = 0x40000;
  test::writeFile("fw.out", sim::ElfBuilder().add(0, sim::patternBytes(size, 5)).build());
  sim::HidBootSim device({sim::HidBootSim::bootLoader()}, {.paced = true});
  test::NoSerialPorts serial;
  test::FakeWindow window(systemClock(), serial, device, fileSystem());
  window.typeTitle("fw");

  double cpu0 = bench::cpuSeconds();
  auto t0 = Clk::now();
  runCommand(window);
  if (!window.workersEnd(std::chrono::minutes(10))) return 1;
  double wall = std::chrono::duration<double>(Clk::now() - t0).count();
  double cpu = bench::cpuSeconds() - cpu0;

  bool success = window.texts() == std::vector<std::string>{"Download Finished!"} &&
                 device.image() == sim::patternBytes(size, 5);
  const double reports = 1 + 128 * 42, acks = 128;
  const double bound = (reports + acks) / 1000.0 + 2.5;
  std::printf("USB download of 0x%X bytes: %s\n", size, success ? "ok" : "FAILED");
  std::printf(
      "  bound                  %8.3f s (%.0f reports and %.0f acknowledgements at 1 ms, 2.5 s "
      "pause)\n",
      bound, reports, acks);
  std::printf("  wall time              %8.3f s (%+.2f%% over the bound)\n", wall,
              100.0 * (wall - bound) / bound);
  std::printf("  CPU time               %8.3f s (%.2f%% of the wall time)\n", cpu,
              100.0 * cpu / wall);
  return success ? 0 : 1;
}
