// The clock on Windows: the system's 32-bit millisecond tick count, which wraps after 49.7 days.

#include <windows.h>

#include "platform/backends.h"
#include "platform_api/clock.h"

namespace kestrel {
namespace {

class WindowsClock final : public Clock {
 public:
  uint32_t tickCount() override { return ::GetTickCount(); }
  void sleepMs(uint32_t ms) override { ::Sleep(ms); }
};

}  // namespace

Clock& systemClock() {
  static WindowsClock clock;
  return clock;
}

}  // namespace kestrel
