#include <chrono>
#include <thread>

#include "platform/backends.h"
#include "platform_api/clock.h"

namespace kestrel {
namespace {

class SystemClock final : public Clock {
 public:
  uint32_t tickCount() override {
    auto elapsed = std::chrono::steady_clock::now() - origin_;
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  }
  void sleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

 private:
  const std::chrono::steady_clock::time_point origin_ = std::chrono::steady_clock::now();
};

}  // namespace

Clock& systemClock() {
  static SystemClock clock;
  return clock;
}

}  // namespace kestrel
