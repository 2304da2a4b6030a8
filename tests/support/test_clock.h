#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/clock.h"

namespace kestrel::test {

// A clock whose ticks run `scale` times faster than real time, starting at `origin`: a 5000 ms
// deadline passes in 5000 / scale real milliseconds, and an origin just below 0xFFFFFFFF puts the
// wrap inside a test. Sleeps are scaled too unless `realSleeps`, which keeps short fixed pauses
// (the 10 ms between wake bytes) as a device would see them.
class FastClock final : public Clock {
 public:
  explicit FastClock(double scale = 50.0, uint32_t origin = 0x10000, bool realSleeps = false)
      : scale_(scale), origin_(origin), realSleeps_(realSleeps) {}
  uint32_t tickCount() override {
    auto real = std::chrono::steady_clock::now() - start_;
    double ms = std::chrono::duration<double, std::milli>(real).count() * scale_;
    return origin_ + uint32_t(int64_t(ms));
  }
  void sleepMs(uint32_t ms) override {
    std::this_thread::sleep_for(
        std::chrono::duration<double, std::milli>(realSleeps_ ? ms : ms / scale_));
  }

 private:
  const double scale_;
  const uint32_t origin_;
  const bool realSleeps_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// A clock whose sleeps can be watched: `onSleep` runs in the sleeping thread after each sleep,
// so a test can act on an exact poll. Time comes from `base` (the real clock by default).
class WatchedClock final : public Clock {
 public:
  explicit WatchedClock(Clock& base = systemClock()) : base_(base) {}
  uint32_t tickCount() override { return base_.tickCount(); }
  void sleepMs(uint32_t ms) override {
    base_.sleepMs(ms);
    if (onSleep) onSleep(ms);
  }
  std::function<void(uint32_t)> onSleep;

 private:
  Clock& base_;
};

}  // namespace kestrel::test
