#include "sim/simulated_serial_ports.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <deque>
#include <limits>

namespace kestrel::sim {
namespace {

constexpr uint32_t kIntervalMs = 30;
constexpr uint32_t kPerByteMs = 10;
constexpr uint32_t kConstantMs = 200;
constexpr uint32_t kSliceMs = 20;  // The longest a wait sleeps before it looks at a cancel again.
constexpr double kNever = std::numeric_limits<double>::infinity();

// Whole ticks until `ms` of the line's time have passed; at least one, so that a wait moves on.
uint32_t ticksFor(double ms) {
  return uint32_t(std::max(1.0, std::ceil(ms)));
}

}  // namespace

// One device and the bytes on their way between it and the utility, in the line's time: the
// clock's ticks, counted on across the counter's wrap, in milliseconds.
//
// The utility's bytes go through a transmit buffer that empties at the line's speed, 10 bits a
// byte, and reach the device as they leave it; the device's answers become readable when they
// have come. A change of the port's settings (its close) while bytes are still in the buffer
// sends them at a speed that is no longer theirs: the device gets them garbled (speed 0).
class SimulatedSerialPorts::Line final : public SerialBootDevice {
 public:
  Line(Clock& clock, SerialFaults faults)
      : SerialBootDevice(std::move(faults)),
        clock_(clock),
        lastTick_(clock.tickCount()),
        elapsed_(double(lastTick_)) {}

  struct Incoming {
    double at;
    uint8_t byte;
  };
  struct Outgoing {
    double leaves;  // when its last bit has left the port
    uint32_t baud;
    uint8_t byte;
  };

  std::mutex mutex;  // Guards everything below, and the line's time.
  std::deque<Incoming> toUtility;
  std::deque<Outgoing> toDevice;
  std::vector<uint8_t> written;  // every byte the utility handed to the port
  double transmitterFreeAt = 0;  // when the last byte in toDevice will have left
  bool lost = false;
  bool held = false;  // flow control holds the line: nothing leaves toDevice
  bool open = false;
  bool claimed = false;

  // The line's time now. With `mutex` held.
  double now() {
    uint32_t tick = clock_.tickCount();
    elapsed_ += double(uint32_t(tick - lastTick_));
    lastTick_ = tick;
    return elapsed_;
  }

  // Takes `byte`, written at `baud`, into the transmit buffer; false when the buffer is full.
  bool offer(uint8_t byte, uint32_t baud) {
    std::lock_guard lock(mutex);
    if (toDevice.size() >= faults_.portBuffer) return false;
    double leaves = kNever;
    if (!held) {
      leaves = std::max(now(), transmitterFreeAt) + 10000.0 / baud;
      transmitterFreeAt = leaves;
    }
    toDevice.push_back({leaves, baud, byte});
    written.push_back(byte);
    return true;
  }

  // Milliseconds until the transmit buffer has room again (kNever on a held line).
  double untilRoom() {
    std::lock_guard lock(mutex);
    if (toDevice.size() < faults_.portBuffer) return 0;
    return held ? kNever : toDevice.front().leaves - now();
  }

  // Milliseconds until the transmit buffer is empty (kNever on a held line).
  double untilEmpty() {
    std::lock_guard lock(mutex);
    if (toDevice.empty()) return 0;
    return held ? kNever : toDevice.back().leaves - now();
  }

  // Hands the device every byte that has left the port by now, in order, each at its time.
  void deliver() {
    std::lock_guard delivering(deliverMutex_);
    std::vector<Outgoing> left;
    {
      std::lock_guard lock(mutex);
      double t = now();
      while (!held && !toDevice.empty() && toDevice.front().leaves <= t) {
        left.push_back(toDevice.front());
        toDevice.pop_front();
      }
    }
    for (const Outgoing& b : left) {
      deliveredAt_ = b.leaves;
      feed(b.byte, b.baud, b.leaves);
    }
  }

  // The port's settings change (it closes): the bytes still in the buffer go out at a speed that
  // is not theirs, and reach the device garbled; on a held line they never leave. Empties it.
  void settingsChange() {
    deliver();
    std::lock_guard delivering(deliverMutex_);
    std::deque<Outgoing> rest;
    {
      std::lock_guard lock(mutex);
      rest.swap(toDevice);
      if (held) return;
    }
    for (const Outgoing& b : rest) {
      deliveredAt_ = b.leaves;
      feed(b.byte, 0, b.leaves);
    }
  }

  // Discards what has not left yet.
  void discardOutgoing() {
    std::lock_guard lock(mutex);
    toDevice.clear();
  }

 protected:
  // Called while a byte is delivered: the answer starts from the moment that byte came.
  void transmit(const std::vector<uint8_t>& bytes, int delayMs) override {
    std::lock_guard lock(mutex);
    for (uint8_t b : bytes) toUtility.push_back({deliveredAt_ + delayMs, b});
  }
  void dropLine() override {
    std::lock_guard lock(mutex);
    lost = true;
    toUtility.clear();
  }
  void holdLine() override {
    std::lock_guard lock(mutex);
    held = true;
  }

 private:
  Clock& clock_;
  uint32_t lastTick_;  // Guarded by mutex, with elapsed_.
  double elapsed_;
  // One delivery to the device at a time, so that bytes reach it in the order they left.
  std::mutex deliverMutex_;
  double deliveredAt_ = 0;  // Guarded by deliverMutex_: the time of the byte being delivered.
};

namespace {

class SimulatedPort final : public SerialPort {
 public:
  SimulatedPort(std::shared_ptr<SimulatedSerialPorts::Line> line, uint32_t baud, Clock& clock)
      : line_(std::move(line)), baud_(baud), clock_(clock) {}
  // Closes at once, as a port whose close waits only for the driver's buffer: what is still in the
  // transmitter then leaves garbled, unless the caller drained first.
  ~SimulatedPort() override {
    line_->settingsChange();
    std::lock_guard lock(line_->mutex);
    line_->open = false;
  }

  bool write(const uint8_t* data, size_t n) override {
    const uint32_t start = clock_.tickCount();
    const uint32_t limit = writeLimitMs(n, baud_);
    for (size_t i = 0; i < n; ++i) {
      for (;;) {
        if (cancelled_ || lineLost()) return false;
        line_->deliver();
        if (line_->offer(data[i], baud_)) break;
        // The buffer is full: wait for room, no longer than the write may take.
        uint32_t spent = ticksSince(start, clock_.tickCount());
        if (spent >= limit) {
          heldUp_ = true;
          return false;
        }
        double room = line_->untilRoom();
        clock_.sleepMs(
            std::min({limit - spent, kSliceMs, room == kNever ? limit : ticksFor(room)}));
      }
    }
    return true;
  }

  bool drain() override {
    const uint32_t start = clock_.tickCount();
    size_t pending;
    {
      std::lock_guard lock(line_->mutex);
      pending = line_->toDevice.size();
    }
    const uint32_t limit = drainLimitMs(pending, baud_);
    for (;;) {
      line_->deliver();
      double left = line_->untilEmpty();
      if (left <= 0 || lineLost()) return true;
      uint32_t spent = ticksSince(start, clock_.tickCount());
      if (spent >= limit) {
        heldUp_ = true;
        line_->discardOutgoing();
        return false;
      }
      clock_.sleepMs(std::min({limit - spent, kSliceMs, left == kNever ? limit : ticksFor(left)}));
    }
  }

  int read(uint8_t* data, size_t n) override {
    if (n == 0) return 0;
    const uint32_t start = clock_.tickCount();
    const uint32_t limit = kPerByteMs * uint32_t(n) + kConstantMs;
    size_t got = 0;
    for (;;) {
      if (cancelled_) return -1;
      line_->deliver();
      uint32_t elapsed = ticksSince(start, clock_.tickCount());
      bool lost;
      double next = kNever;  // ms until something more happens on the line
      {
        std::lock_guard lock(line_->mutex);
        lost = line_->lost;
        double t = line_->now();
        auto& q = line_->toUtility;
        while (got < n && !q.empty() && q.front().at <= t) {
          data[got++] = q.front().byte;
          q.pop_front();
        }
        if (!q.empty()) next = q.front().at - t;
        // The device may answer once what the utility wrote has reached it.
        if (!line_->held && !line_->toDevice.empty()) {
          next = std::min(next, line_->toDevice.back().leaves - t);
        }
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
      if (next != kNever && ticksFor(next) <= wait) {
        clock_.sleepMs(ticksFor(next));
        continue;
      }
      clock_.sleepMs(wait);
      if (got > 0 || wait == left) return int(got);
    }
  }

  void purge() override {
    line_->deliver();
    std::lock_guard lock(line_->mutex);
    double t = line_->now();
    auto& q = line_->toUtility;
    while (!q.empty() && q.front().at <= t) q.pop_front();
    line_->toDevice.clear();
  }

  void cancel() override { cancelled_ = true; }

  bool lineLost() const override {
    std::lock_guard lock(line_->mutex);
    return line_->lost;
  }
  bool lineHeldUp() const override { return heldUp_; }

 private:
  std::shared_ptr<SimulatedSerialPorts::Line> line_;
  const uint32_t baud_;
  Clock& clock_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> heldUp_{false};
};

class SimulatedClaim final : public PortClaim {
 public:
  explicit SimulatedClaim(std::shared_ptr<SimulatedSerialPorts::Line> line)
      : line_(std::move(line)) {}
  ~SimulatedClaim() override {
    std::lock_guard lock(line_->mutex);
    line_->claimed = false;
  }
  bool held() const override { return true; }

 private:
  std::shared_ptr<SimulatedSerialPorts::Line> line_;
};

}  // namespace

SimulatedSerialPorts::~SimulatedSerialPorts() = default;

SerialBootDevice& SimulatedSerialPorts::plug(const std::string& name, SerialFaults faults) {
  auto line = std::make_shared<Line>(clock_, std::move(faults));
  std::lock_guard lock(mutex_);
  lines_[name] = line;
  return *line;
}

std::shared_ptr<SimulatedSerialPorts::Line> SimulatedSerialPorts::find(const std::string& name,
                                                                       PortError* error) const {
  std::lock_guard lock(mutex_);
  auto it = lines_.find(name);
  if (it != lines_.end()) return it->second;
  if (error) *error = {ENOENT, name + ": no such port"};
  return nullptr;
}

bool SimulatedSerialPorts::isOpen(const std::string& name) const {
  auto line = find(name);
  if (!line) return false;
  std::lock_guard lineLock(line->mutex);
  return line->open;
}

bool SimulatedSerialPorts::isClaimed(const std::string& name) const {
  auto line = find(name);
  if (!line) return false;
  std::lock_guard lineLock(line->mutex);
  return line->claimed;
}

std::vector<uint8_t> SimulatedSerialPorts::written(const std::string& name) const {
  auto line = find(name);
  if (!line) return {};
  std::lock_guard lineLock(line->mutex);
  return line->written;
}

std::unique_ptr<PortClaim> SimulatedSerialPorts::claim(const std::string& name, PortError* error) {
  auto line = find(name, error);
  if (!line) return nullptr;
  std::lock_guard lock(line->mutex);
  if (line->claimed) {
    *error = {EBUSY, name + ": in use by another program"};
    return nullptr;
  }
  line->claimed = true;
  return std::make_unique<SimulatedClaim>(line);
}

std::unique_ptr<SerialPort> SimulatedSerialPorts::open(const std::string& name, uint32_t baud,
                                                       PortError* error) {
  auto line = find(name, error);
  if (!line) return nullptr;
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
  double t = line->now();
  while (!line->toUtility.empty() && line->toUtility.front().at <= t) line->toUtility.pop_front();
  return std::make_unique<SimulatedPort>(line, baud, clock_);
}

}  // namespace kestrel::sim
