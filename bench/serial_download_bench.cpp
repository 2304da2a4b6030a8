// A 0x40000-byte serial update against the simulated boot loader paced at 115200 8N1 (11,520
// bytes a second), in a child process so that this process's CPU time is the utility's alone.
// Reports the download's wall time against the line-rate bound and the CPU time used.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "bench_util.h"
#include "platform/backends.h"
#include "sim/elf_builder.h"
#include "sim/serial_boot_sim.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "update/update_commands.h"

using namespace kestrel;
using Clk = std::chrono::steady_clock;

namespace {

// Notes when the download proper starts and ends.
class TimedWindow : public test::FakeWindow {
 public:
  using FakeWindow::FakeWindow;
  void setStatus(const std::string& text) override {
    if (text == "Progressing...") downloadStart = Clk::now();
    FakeWindow::setStatus(text);
  }
  void showMessage(const std::string& text, std::optional<std::string> caption,
                   MessageIcon icon) override {
    if (text == "Download Finished!") downloadEnd = Clk::now();
    FakeWindow::showMessage(text, caption, icon);
  }
  Clk::time_point downloadStart, downloadEnd;
};

}  // namespace

int main() {
  test::TempDir dir;
  std::filesystem::create_directory("ports");
  int ready[2];
  if (pipe(ready) != 0) return 1;
  pid_t child = fork();
  if (child == 0) {
    sim::SerialBootSim device({.paced = true});
    device.linkAs((dir.path() / "ports").string(), "COM1");
    char ok = 1;
    [[maybe_unused]] ssize_t w = write(ready[1], &ok, 1);
    for (;;) pause();
  }
  char ok = 0;
  if (read(ready[0], &ok, 1) != 1) return 1;
  setenv("KESTREL_COM_DIR", (dir.path() / "ports").c_str(), 1);
  setenv("KESTREL_LOCK_DIR", dir.path().c_str(), 1);

  const uint32_t size = 0x40000;
  test::writeFile("fw.out", sim::ElfBuilder().add(0, sim::patternBytes(size, 5)).build());
  test::NoHidDevices hid;
  TimedWindow window(systemClock(), posixSerialBackend(), hid, fileSystem());
  window.selectPort(1);
  window.typeTitle("fw");

  double cpu0 = bench::cpuSeconds();
  auto t0 = Clk::now();
  runCommand(window);
  if (!window.workersEnd(std::chrono::minutes(10))) return 1;
  auto t1 = Clk::now();
  double cpu = bench::cpuSeconds() - cpu0;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);

  bool success = !window.texts().empty() && window.texts().back() == "Download Finished!";
  // Every byte of the download at 11,520 bytes a second: "UCLRU" and its acknowledgement, per
  // block "UFLHU", its acknowledgement, the 2051-byte frame and its acknowledgement, "URBTU".
  const double blocks = size / 2048;
  const double bytes = 5 + 3 + blocks * (5 + 3 + 2051 + 3) + 5;
  const double bound = bytes / 11520.0;
  double run = std::chrono::duration<double>(t1 - t0).count();
  double download =
      std::chrono::duration<double>(window.downloadEnd - window.downloadStart).count();
  std::printf("serial download of 0x%X bytes: %s\n", size, success ? "ok" : "FAILED");
  std::printf("  line-rate bound        %8.3f s (%0.f bytes at 11520 B/s)\n", bound, bytes);
  std::printf(
      "  download wall time     %8.3f s (%+.2f%% over the bound; includes 205 ms of fixed "
      "pauses)\n",
      download, 100.0 * (download - bound) / bound);
  std::printf("  whole Run wall time    %8.3f s (wake-up, search and 300 ms pause included)\n",
              run);
  std::printf("  utility CPU time       %8.3f s (%.2f%% of the Run's wall time)\n", cpu,
              100.0 * cpu / run);
  return success ? 0 : 1;
}
