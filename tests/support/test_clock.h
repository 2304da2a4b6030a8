#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/clock.h"

namespace kestrel::test {

// A clock that moves only when the code under test waits: a sleep advances the ticks by its length
// at once and then gives the other threads at most one millisecond of real time. Pauses and
// time-outs of seconds pass in milliseconds; a loop that polls a flag between 1 ms sleeps (the USB
// acknowledgement wait) still gives the thread that raises the flag a real millisecond per poll.
// Start it near 0xFFFFFFFF to put the counter's wrap inside a test. Any thread may use it.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(uint32_t origin = 0x10000) : ticks_(origin) {}
  uint32_t tickCount() override { return ticks_.load(); }
  // Without real pauses a sleep takes no real time at all: for a test that itself waits for the
  // other threads at the moments that matter, where thousands of polls would otherwise cost
  // seconds of real time (a real millisecond costs 1 to 16 of them, by platform and load, and on
  // a busy machine a mere yield can cost as much).
  void realPauses(bool on) { realPause_ = on; }
  void sleepMs(uint32_t ms) override {
    ticks_.fetch_add(ms);
    if (realPause_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(ms, 1)));
    }
  }

 private:
  std::atomic<uint32_t> ticks_;
  std::atomic<bool> realPause_{true};
};

// A clock whose sleeps can be watched: `onSleep` runs in the sleeping thread after each sleep,
// so a test can act on an exact poll. Time comes from `base`.
class WatchedClock final : public Clock {
 public:
  explicit WatchedClock(Clock& base) : base_(base) {}
  uint32_t tickCount() override { return base_.tickCount(); }
  void sleepMs(uint32_t ms) override {
    base_.sleepMs(ms);
    if (onSleep) onSleep(ms);
  }
  std::function<void(uint32_t)> onSleep;

 private:
  Clock& base_;
};

// The real clock until hold(): from then on its ticks stand still while its sleeps still take real
// time, so a time-out under way never passes while a test looks at the state it waits in. Any
// thread may use it.
class HeldClock final : public Clock {
 public:
  uint32_t tickCount() override { return held_ ? heldAt_.load() : systemClock().tickCount(); }
  void sleepMs(uint32_t ms) override { systemClock().sleepMs(ms); }
  void hold() {
    heldAt_ = systemClock().tickCount();
    held_ = true;
  }

 private:
  std::atomic<bool> held_{false};
  std::atomic<uint32_t> heldAt_{0};
};

}  // namespace kestrel::test
