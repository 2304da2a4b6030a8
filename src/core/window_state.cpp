#include "core/window_state.h"

#include <algorithm>

namespace kestrel {

std::atomic<WindowState*> windowRef{nullptr};

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

}  // namespace kestrel
