#include "core/window_state.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace kestrel {

std::atomic<WindowState*> windowRef{nullptr};

WindowState::~WindowState() {
  // By now the front end's own members are gone: a worker still running would use freed memory.
  if (workers.running() > 0 || !workersEnded_) {
    std::fprintf(stderr, "a worker thread still runs as its window is destroyed\n");
    std::fflush(nullptr);
    std::abort();
  }
  shutdown(0);
}

void WindowState::attach() {
  BaudIndex = 0;
  windowRef = this;
  searchStopped = 1;
}

void WindowState::workerFailed(std::string_view name, bool noMemory) noexcept {
  try {
    UpdateOutcome failed;
    failed.cause = noMemory ? UpdateOutcome::Cause::NoMemory : UpdateOutcome::Cause::ThreadFailed;
    failed.detail = std::string(name) + (noMemory ? " ran out of memory" : " failed");
    outcome.set(failed);
  } catch (...) {
    // No memory even for the record: the update still ends, as Interrupted at the latest.
  }
}

bool WindowState::pause(uint32_t ms) {
  // Slices short enough that closing the window is noticed well within a second.
  constexpr uint32_t kSliceMs = 20;
  uint32_t start = clock.tickCount();
  while (!closing()) {
    uint32_t elapsed = ticksSince(start, clock.tickCount());
    if (elapsed >= ms) return true;
    clock.sleepMs(std::min(kSliceMs, ms - elapsed));
  }
  return false;
}

bool WindowState::shutdown(uint32_t timeoutMs, const std::function<void()>& whileWaiting) {
  if (shutDown_) return workersEnded_;
  shutDown_ = true;
  try {
    outcome.setInterrupted();
  } catch (const std::bad_alloc&) {
    // Out of memory: the update is still ended below; only its record lacks the words.
  }
  windowClosing = true;
  searchStopped = 1;
  hid.hidRunning = 0;
  // Wakes a worker blocked on the serial line; the HID workers notice within one 100 ms read.
  serialPortHandle.close();
  if (!whileWaiting) {
    workersEnded_ = workers.waitAll(timeoutMs);
  } else {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!(workersEnded_ = workers.waitAll(5)) && std::chrono::steady_clock::now() < until) {
      whileWaiting();
    }
  }
  // A worker that still runs keeps the window, its handles and windowRef: the caller ends the
  // process instead of freeing them under it.
  if (!workersEnded_) return false;
  hid.hidReadHandle.close();
  hid.hidWriteHandle.close();
  hid.hidClaim.release();
  serialPortHandle.close();
  serialPortClaim.release();
  WindowState* self = this;
  windowRef.compare_exchange_strong(self, nullptr);
  return true;
}

}  // namespace kestrel
