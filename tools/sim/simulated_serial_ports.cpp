#include "sim/simulated_serial_ports.h"

#include <atomic>
#include <cerrno>
#include <deque>

namespace kestrel::sim {

// One device and the bytes on their way from it to the utility, each with the tick from which it
// can be read.
class SimulatedSerialPorts::Line final : public SerialBootDevice {
 public:
  Line(Clock& clock, SerialFaults faults) : SerialBootDevice(std::move(faults)), clock_(clock) {}

  struct Pending {
    uint32_t at;
    uint8_t byte;
  };

  std::mutex mutex;  // Guards everything below.
  std::deque<Pending> toUtility;
  bool lost = false;
  bool open = false;

 protected:
  void transmit(const std::vector<uint8_t>& bytes, int delayMs) override {
    uint32_t at = clock_.tickCount() + uint32_t(delayMs);
    std::lock_guard lock(mutex);
    for (uint8_t b : bytes) toUtility.push_back({at, b});
  }
  void dropLine() override {
    std::lock_guard lock(mutex);
    lost = true;
    toUtility.clear();
  }

 private:
  Clock& clock_;
};

namespace {

constexpr uint32_t kIntervalMs = 30;
constexpr uint32_t kPerByteMs = 10;
constexpr uint32_t kConstantMs = 200;

// Ticks from `from` to `to` on the wrapping counter, read as a signed distance.
int32_t ahead(uint32_t from, uint32_t to) {
  return int32_t(to - from);
}

class SimulatedPort final : public SerialPort {
 public:
  SimulatedPort(std::shared_ptr<SimulatedSerialPorts::Line> line, uint32_t baud, Clock& clock)
      : line_(std::move(line)), baud_(baud), clock_(clock) {}
  ~SimulatedPort() override {
    std::lock_guard lock(line_->mutex);
    line_->open = false;
  }

  bool write(const uint8_t* data, size_t n) override {
    for (size_t i = 0; i < n; ++i) {
      if (cancelled_ || lineLost()) return false;
      line_->feed(data[i], baud_, double(clock_.tickCount()));
    }
    return true;
  }

  int read(uint8_t* data, size_t n) override {
    if (n == 0) return 0;
    const uint32_t start = clock_.tickCount();
    const uint32_t limit = kPerByteMs * uint32_t(n) + kConstantMs;
    size_t got = 0;
    for (;;) {
      if (cancelled_) return -1;
      uint32_t now = clock_.tickCount();
      uint32_t elapsed = now - start;
      bool lost;
      int32_t nextIn = -1;  // ticks until the next byte can be read; -1: none on its way
      {
        std::lock_guard lock(line_->mutex);
        lost = line_->lost;
        auto& q = line_->toUtility;
        while (got < n && !q.empty() && ahead(q.front().at, now) >= 0) {
          data[got++] = q.front().byte;
          q.pop_front();
        }
        if (!q.empty()) nextIn = std::max<int32_t>(0, ahead(now, q.front().at));
      }
      if (got == n) return int(got);
      if (lost) {
        // A failed line takes the read's whole time, as the real port does.
        if (elapsed < limit) clock_.sleepMs(limit - elapsed);
        return got > 0 ? int(got) : -1;
      }
      uint32_t left = elapsed < limit ? limit - elapsed : 0;
      if (left == 0) return int(got);
      // After a byte, a gap of 30 ms ends the read; before one, only the time-out does.
      uint32_t wait = got > 0 ? std::min(kIntervalMs, left) : left;
      if (nextIn >= 0 && uint32_t(nextIn) <= wait) {
        clock_.sleepMs(uint32_t(nextIn));
        continue;
      }
      clock_.sleepMs(wait);
      if (got > 0 || wait == left) return int(got);
    }
  }

  void purge() override {
    uint32_t now = clock_.tickCount();
    std::lock_guard lock(line_->mutex);
    auto& q = line_->toUtility;
    while (!q.empty() && ahead(q.front().at, now) >= 0) q.pop_front();
  }

  void cancel() override { cancelled_ = true; }

  bool lineLost() const override {
    std::lock_guard lock(line_->mutex);
    return line_->lost;
  }

 private:
  std::shared_ptr<SimulatedSerialPorts::Line> line_;
  const uint32_t baud_;
  Clock& clock_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace

SimulatedSerialPorts::~SimulatedSerialPorts() = default;

SerialBootDevice& SimulatedSerialPorts::plug(const std::string& name, SerialFaults faults) {
  auto line = std::make_shared<Line>(clock_, std::move(faults));
  std::lock_guard lock(mutex_);
  lines_[name] = line;
  return *line;
}

bool SimulatedSerialPorts::isOpen(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = lines_.find(name);
  if (it == lines_.end()) return false;
  std::lock_guard lineLock(it->second->mutex);
  return it->second->open;
}

std::unique_ptr<SerialPort> SimulatedSerialPorts::open(const std::string& name, uint32_t baud,
                                                       PortError* error) {
  std::shared_ptr<Line> line;
  {
    std::lock_guard lock(mutex_);
    auto it = lines_.find(name);
    if (it != lines_.end()) line = it->second;
  }
  if (!line) {
    *error = {ENOENT, name + ": no such port"};
    return nullptr;
  }
  std::lock_guard lock(line->mutex);
  if (line->lost) {
    *error = {ENODEV, name + ": the device has gone"};
    return nullptr;
  }
  if (line->open) {
    *error = {EBUSY, name + ": in use by another program"};
    return nullptr;
  }
  line->open = true;
  // Whatever the device sent while the port was closed is stale, as after a real open.
  uint32_t now = clock_.tickCount();
  while (!line->toUtility.empty() && ahead(line->toUtility.front().at, now) >= 0)
    line->toUtility.pop_front();
  return std::make_unique<SimulatedPort>(line, baud, clock_);
}

}  // namespace kestrel::sim
