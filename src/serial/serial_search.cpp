#include "serial/serial_search.h"

#include "core/window_state.h"
#include "serial/serial_download.h"
#include "serial/serial_session.h"

namespace kestrel {
namespace {

constexpr int kWakeBaudIndex = 4;
constexpr uint32_t kProbeIntervalMs = 150;
constexpr size_t kAnswerBufferSize = 65;

void failThreadStart(WindowState& w, const char* message) {
  closePort(w);
  UpdateOutcome failed;
  failed.cause = UpdateOutcome::Cause::ThreadFailed;
  failed.detail = std::string(message) + " (a thread could not be started)";
  w.outcome.set(failed);
  w.showMessage(message);
  w.searchStopped = 1;
  w.serialUpdateRunning = false;
  w.enableRun();
}

}  // namespace

void startSerialSearch(WindowState& w) {
  w.BaudIndex = kWakeBaudIndex;
  if (!openPort(w)) {
    closePort(w);
    w.BaudIndex = 0;
    return;
  }
  writePort(w, &kWakeByte, 1);
  w.clock.sleepMs(10);
  writePort(w, &kWakeByte, 1);

  w.BaudIndex = 0;
  closePort(w);
  w.clock.sleepMs(100);
  if (!openPort(w)) {
    closePort(w);
    return;
  }
  if (w.searchStopped == 0) return;  // A search is already under way.

  w.disableRun();
  w.serialUpdateRunning = true;
  w.searchStopped = 0;
  if (!w.workers.start("SendThread", SendThread)) {
    failThreadStart(w, "SendThread fail!");
    return;
  }
  if (!w.workers.start("ReceiveThread", ReceiveThread)) {
    failThreadStart(w, "ReceiveThread fail!");
    return;
  }
}

void SendThread() {
  WindowState& w = window();
  while (!w.closing() && w.serialPortHandle.isOpen()) {
    {
      std::lock_guard step(w.searchStep);
      if (w.searchStopped != 0) break;
      w.setProgress(0);
      w.setStatus("Search Device...");
      writePort(w, &kProbeByte, 1);
    }
    if (!w.pause(kProbeIntervalMs)) break;
  }
}

void ReceiveThread() {
  WindowState& w = window();
  bool found = false;
  uint8_t buf[kAnswerBufferSize];
  while (w.searchStopped == 0 && !w.closing()) {
    int got = readPort(w, buf, sizeof buf);
    if (got <= 0) {
      if (!w.serialPortHandle.isOpen()) break;
      w.pause(50);
      continue;
    }
    if (buf[0] == kAnswerByte) {
      std::lock_guard step(w.searchStep);
      if (w.searchStopped == 0) {
        w.setStatus(" Device Found!");
        w.searchStopped = 1;
        found = true;
      }
    }
  }
  if (found && w.pause(300)) serialDownload(w);
  if (!found) {
    // A stopped search has nothing to download; its port is already closed or closes here.
    closePort(w);
    UpdateOutcome unanswered;
    unanswered.cause =
        w.linkLost ? UpdateOutcome::Cause::DeviceGone : UpdateOutcome::Cause::NoAnswer;
    unanswered.detail = w.linkLost ? "the line went away during the search"
                                   : "the search ended before the boot loader answered";
    w.outcome.set(unanswered);
  }
  w.serialUpdateRunning = false;
  w.enableRun();
}

}  // namespace kestrel
