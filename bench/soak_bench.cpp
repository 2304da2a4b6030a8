// Soak: 50 back-to-back updates on each link against the simulators, in one process. Reports open
// file descriptors, threads and resident memory before (after one warm-up update) and after;
// exits 1 if any of them grew (resident memory beyond 1 MiB of allocator slack).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/backends.h"
#include "sim/elf_builder.h"
#include "sim/hid_boot_sim.h"
#include "sim/serial_boot_sim.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"
#include "update/update_commands.h"

using namespace kestrel;

namespace {

struct Usage {
  long fds = 0;
  long threads = 0;
  long rssKb = 0;
};

Usage usage() {
  Usage u;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++u.fds;
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "Threads:") status >> u.threads;
    if (key == "VmRSS:") status >> u.rssKb;
  }
  return u;
}

bool succeeded(const test::FakeWindow& w) {
  auto texts = w.texts();
  return !texts.empty() && texts.back() == "Download Finished!";
}

// Runs `updates` updates and reports usage around all but the first. `forget` clears what the
// simulator and the fake window record, which is test equipment, not the utility's memory.
bool soak(const char* link, int updates, test::FakeWindow& w, const std::function<void()>& forget) {
  int ok = 0;
  Usage before;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < updates + 1; ++i) {
    if (i == 1) before = usage();
    runCommand(w);
    if (!w.workersEnd(std::chrono::seconds(60))) break;
    if (succeeded(w)) ++ok;
    w.clearRecords();
    forget();
  }
  Usage after = usage();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s: %d of %d updates succeeded in %.1f s\n", link, ok, updates + 1, seconds);
  std::printf(
      "  open descriptors  %ld -> %ld\n  threads           %ld -> %ld\n  resident memory   %ld KiB "
      "-> %ld KiB\n",
      before.fds, after.fds, before.threads, after.threads, before.rssKb, after.rssKb);
  return ok == updates + 1 && after.fds <= before.fds && after.threads <= before.threads &&
         after.rssKb <= before.rssKb + 1024;
}

}  // namespace

int main() {
  test::TempDir dir;
  setenv("KESTREL_COM_DIR", dir.path().c_str(), 1);
  setenv("KESTREL_LOCK_DIR", dir.path().c_str(), 1);
  test::writeFile("fw.out", sim::ElfBuilder().add(0, sim::patternBytes(0x3000, 7)).build());
  const int updates = 50;

  sim::SerialBootSim serial;  // goes back to sleep after each restart, ready for the next wake-up
  serial.linkAs(dir.path().string(), "COM1");
  test::NoHidDevices noHid;
  test::FakeWindow serialWindow(systemClock(), posixSerialBackend(), noHid, fileSystem());
  serialWindow.selectPort(1);
  serialWindow.typeTitle("fw");
  bool serialOk = soak("serial", updates, serialWindow, [&] { serial.clearRecords(); });

  sim::HidBootSim hid({sim::HidBootSim::bootLoader()});
  test::ManualClock fast;
  test::FakeWindow usbWindow(fast, posixSerialBackend(), hid, fileSystem());
  usbWindow.typeTitle("fw");
  bool usbOk = soak("USB", updates, usbWindow, [&] { hid.replace({}); });

  std::printf("soak: %s\n", serialOk && usbOk ? "nothing grew" : "FAILED");
  return serialOk && usbOk ? 0 : 1;
}
