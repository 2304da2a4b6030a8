#include "serial/serial_search.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "core/window_state.h"
#include "serial/serial_download.h"
#include "serial/serial_session.h"

namespace kestrel {
namespace {

constexpr int kWakeBaudIndex = 4;
constexpr uint32_t kProbeIntervalMs = 150;
constexpr size_t kAnswerBufferSize = 65;
constexpr uint32_t kNoDeadline = UINT32_MAX;

// Milliseconds of the search left before its deadline: 0 once it has passed, kNoDeadline when the
// search has none.
uint32_t searchTimeLeft(WindowState& w) {
  const int64_t deadline = w.searchDeadlineMs;
  if (deadline < 0) return kNoDeadline;
  const uint32_t spent = ticksSince(w.searchStartTick, w.clock.tickCount());
  return spent >= deadline ? 0 : uint32_t(deadline - spent);
}

// The search ends without an answer: the ReceiveThread, woken from its read, closes the port and
// records why. With searchStep held.
void endSearch(WindowState& w) {
  w.searchStopped = 1;
  if (auto port = w.serialPortHandle.acquire()) port->cancel();
}

void failThreadStart(WindowState& w, const char* message) {
  releasePort(w);
  UpdateOutcome failed;
  failed.cause = UpdateOutcome::Cause::ThreadFailed;
  failed.detail = std::string(message) + " (a thread could not be started)";
  w.outcome.set(failed);
  w.showMessage(message);
  w.searchStopped = 1;
  w.serialUpdateRunning = false;
  w.enableRun();
}

// The window is closing (the program was told to end): nothing more goes to the device.
void stopWakeUp(WindowState& w) {
  releasePort(w);
  w.BaudIndex = 0;
  w.outcome.setInterrupted();
}

}  // namespace

void startSerialSearch(WindowState& w, const SearchLimits& limits) {
  // The first open claims the port for the whole run, the gap between the two opens included.
  w.BaudIndex = kWakeBaudIndex;
  if (!openPort(w)) {
    releasePort(w);
    w.BaudIndex = 0;
    return;
  }
  if (w.closing()) return stopWakeUp(w);
  w.deviceWoken = true;
  writePort(w, &kWakeByte, 1);
  w.clock.sleepMs(10);
  writePort(w, &kWakeByte, 1);

  w.BaudIndex = 0;
  closePort(w);  // once the second wake byte has left the line at 9600 bit/s
  w.clock.sleepMs(100);
  if (w.closing()) return stopWakeUp(w);
  if (!openPort(w)) {
    releasePort(w);
    return;
  }
  if (w.searchStopped == 0) return;  // A search is already under way.

  w.disableRun();
  w.serialUpdateRunning = true;
  w.searchDeadlineMs = limits.deadlineMs ? int64_t(*limits.deadlineMs) : -1;
  w.searchEndsWhenLineLost = limits.endWhenLineLost;
  w.searchStartTick = w.clock.tickCount();
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
      if (searchTimeLeft(w) == 0) {
        endSearch(w);
        break;
      }
      w.setProgress(0);
      w.setStatus("Search Device...");
      writePort(w, &kProbeByte, 1);
    }
    // The last pause ends at the deadline, not after it.
    if (!w.pause(std::min(kProbeIntervalMs, searchTimeLeft(w)))) break;
  }
}

void ReceiveThread() {
  WindowState& w = window();
  bool found = false;
  uint8_t buf[kAnswerBufferSize];
  while (w.searchStopped == 0 && !w.closing()) {
    int got = readPort(w, buf, sizeof buf);
    if (got <= 0) {
      if (w.linkLost && w.searchEndsWhenLineLost) {
        std::lock_guard step(w.searchStep);
        endSearch(w);
      }
      if (!w.serialPortHandle.isOpen() || w.searchStopped != 0) break;
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
    if (!lineFailure(w, " during the search", &unanswered)) {
      unanswered.cause = UpdateOutcome::Cause::NoAnswer;
      unanswered.detail = searchTimeLeft(w) == 0
                              ? "the boot loader did not answer within the search's time"
                              : "the search ended before the boot loader answered";
    }
    w.outcome.set(unanswered);
  }
  // The run is over: the port is free for another.
  releasePort(w);
  w.serialUpdateRunning = false;
  w.enableRun();
}

}  // namespace kestrel
