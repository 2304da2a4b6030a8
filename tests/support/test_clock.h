#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "platform/backends.h"
#include "platform_api/clock.h"

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

// Simulated time in the order of events: a sleep lasts until the clock reaches its end, and the
// clock moves on, to the earliest end among the sleeps under way, only once every thread that
// takes part sleeps. So every thread wakes at exactly the tick its sleep ends, whatever the machine
// does, and a time limit is met to the millisecond. `participants` counts the threads that take
// part (a window's running workers, say; at least one is assumed); a thread that waits for
// something other than the clock meanwhile holds the time still. Should the clock stand still for
// ten seconds of real time (a participant waits for a sleeper: a fault of the code under test), it
// moves on anyway and stalled() says so. Any thread may use it.
class EventClock final : public Clock {
 public:
  explicit EventClock(uint32_t origin = 0x10000) : now_(origin) {}
  // How many threads take part; set before any of them sleeps. Threads beyond them that sleep count
  // among the sleepers.
  std::function<int()> participants;
  // Runs as the clock leaves the tick `leaving`, every participant asleep: whatever the threads
  // did at that tick is done. It runs with the clock locked and must not use the clock.
  std::function<void(uint32_t leaving)> onMove;

  uint32_t tickCount() override {
    std::lock_guard lock(mutex_);
    return uint32_t(now_);
  }
  void sleepMs(uint32_t ms) override {
    std::unique_lock lock(mutex_);
    const uint64_t end = now_ + ms;
    if (ms == 0) return;
    sleeping_.insert(end);
    auto still = std::chrono::steady_clock::now();
    while (now_ < end) {
      int awake = std::max(1, participants ? participants() : 1);
      bool stuck = std::chrono::steady_clock::now() - still > kStallAfter;
      if (int(sleeping_.size()) >= awake || stuck) {
        stalled_ = stalled_ || stuck;
        moveOn();
        still = std::chrono::steady_clock::now();
        continue;
      }
      // A participant still runs (or has ended and is not counted out yet): look again soon.
      woken_.wait_for(lock, std::chrono::milliseconds(1));
    }
  }
  bool stalled() const {
    std::lock_guard lock(mutex_);
    return stalled_;
  }

 private:
  static constexpr std::chrono::seconds kStallAfter{10};

  // To the earliest end of a sleep; the sleeps that end there count as awake from now on, so that
  // no other sleeper moves the clock on before they have run. Needs mutex_.
  void moveOn() {
    if (onMove) onMove(uint32_t(now_));
    now_ = *sleeping_.begin();
    sleeping_.erase(sleeping_.begin(), sleeping_.upper_bound(now_));
    woken_.notify_all();
  }

  mutable std::mutex mutex_;  // Guards everything below.
  std::condition_variable woken_;
  uint64_t now_;
  std::multiset<uint64_t> sleeping_;  // When each sleep under way ends.
  bool stalled_ = false;
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
