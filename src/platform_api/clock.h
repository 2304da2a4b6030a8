#pragma once

#include <cstdint>

namespace kestrel {

// The program's sense of time: a 32-bit millisecond tick counter that wraps from 0xFFFFFFFF to 0,
// and sleeps. Every wait in the program takes its time from a Clock, so that tests can run a
// 5-second time-out in milliseconds or start the counter just before its wrap.
// Implementations must be callable from any thread.
class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds since an arbitrary origin, modulo 2^32.
  virtual uint32_t tickCount() = 0;

  // Blocks the calling thread for about `ms` milliseconds of this clock's time.
  virtual void sleepMs(uint32_t ms) = 0;
};

// Milliseconds from `start` to `now` on a wrapping 32-bit counter. Correct across one wrap.
inline uint32_t ticksSince(uint32_t start, uint32_t now) {
  return now - start;
}

// True once more than `limitMs` have passed since `start`, whatever the counter's value.
inline bool limitPassed(uint32_t start, uint32_t now, uint32_t limitMs) {
  return ticksSince(start, now) > limitMs;
}

}  // namespace kestrel
