#include "sim/serial_boot_device.h"

#include <algorithm>
#include <chrono>

namespace kestrel::sim {
namespace {

constexpr size_t kFrameSize = 2051;
constexpr size_t kBlockSize = 2048;
const std::vector<uint8_t> kAck = {'U', '5', 'U'};

}  // namespace

SerialBootDevice::SerialBootDevice(SerialFaults faults) : faults_(std::move(faults)) {}

void SerialBootDevice::feed(uint8_t byte, uint32_t baud, double ms) {
  std::lock_guard feeding(feedMutex_);
  if (lineDropped_) return;
  if (onByte_) onByte_(byte, baud);
  {
    std::lock_guard lock(mutex_);
    received_.push_back({ms, baud, byte});
  }
  if (baud == 9600) service(byte);
  if (state_ == State::Asleep) {
    if (byte == 0xA2 && baud == 9600) state_ = State::Awake;
    return;
  }
  if (baud != 115200) return;
  if (state_ == State::Frame) {
    frameBuffer_.push_back(byte);
    if (exchange_ == faults_.hangUpAt && frameBuffer_.size() == kFrameSize / 2) {
      lineDropped_ = true;
      dropLine();
      return;
    }
    if (frameBuffer_.size() == kFrameSize) frame();
    return;
  }
  if (commandBuffer_.empty() && byte != 'U') {
    if (byte == 0xA5 && faults_.hangUpOnProbe) {
      lineDropped_ = true;
      dropLine();
      return;
    }
    if (byte == 0xA5 && !faults_.silent) {
      std::vector<uint8_t> answer = faults_.answerPrefix;
      answer.push_back(0x5A);
      {
        std::lock_guard lock(mutex_);
        ++probesAnswered_;
      }
      transmit(answer, 0);
    }
    return;
  }
  commandBuffer_.push_back(char(byte));
  if (commandBuffer_.size() == 5) {
    std::string text;
    text.swap(commandBuffer_);
    command(text);
  }
}

void SerialBootDevice::onByte(std::function<void(uint8_t, uint32_t)> hook) {
  std::lock_guard feeding(feedMutex_);
  onByte_ = std::move(hook);
}

void SerialBootDevice::service(uint8_t byte) {
  if (!inServiceCode_) {
    inServiceCode_ = byte == 0xAA;
    serviceCode_.clear();
    return;
  }
  serviceCode_.push_back(char(byte));
  if (serviceCode_.size() < 4) return;
  inServiceCode_ = false;
  if (faults_.silent) return;
  if (serviceCode_ == "/%/%") transmit(faults_.textAnswer, 0);
  if (serviceCode_ == "CR01") transmit(faults_.cr01Answer, 0);
  if (serviceCode_ == "CR02") transmit(faults_.cr02Answer, 0);
}

void SerialBootDevice::command(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    commands_.push_back(text);
  }
  if (text == "UCLRU") {
    {
      std::lock_guard lock(mutex_);
      flash_.clear();
      pages_.clear();
    }
    exchange_ = -1;
    if (faults_.silent || faults_.noClearAck || clearsMissed_++ < faults_.clearAcksMissed) return;
    transmit(faults_.clearAnswer.empty() ? kAck : faults_.clearAnswer, 0);
  } else if (text == "UFLHU") {
    ++exchange_;
    state_ = State::Frame;
    frameBuffer_.clear();
    // Before the acknowledgement, so that nothing of the frame gets through.
    if (exchange_ == faults_.holdLineAt) holdLine();
    if (!faults_.silent && exchange_ != faults_.noCommandAckAt) transmit(kAck, 0);
  } else if (text == "URBTU") {
    state_ = State::Asleep;
    std::lock_guard lock(mutex_);
    restarted_ = true;
    cv_.notify_all();
  }
}

void SerialBootDevice::frame() {
  state_ = State::Awake;
  uint16_t page = uint16_t(frameBuffer_[0] << 8 | frameBuffer_[1]);
  uint8_t sum = 0;
  for (size_t i = 0; i < kBlockSize; ++i) sum = uint8_t(sum + frameBuffer_[2 + i]);
  sum = uint8_t(sum + page);
  bool good = sum == frameBuffer_[kFrameSize - 1];
  {
    std::lock_guard lock(mutex_);
    pages_.push_back(page);
    if (good) {
      size_t at = size_t(page) * 256;
      if (flash_.size() < at + kBlockSize) flash_.resize(at + kBlockSize, 0xFF);
      std::copy(frameBuffer_.begin() + 2, frameBuffer_.begin() + 2 + kBlockSize,
                flash_.begin() + long(at));
    } else {
      ++checksumErrors_;
    }
  }
  if (faults_.silent || exchange_ == faults_.noFrameAckAt) return;
  if (!good) return transmit({'B', 'A', 'D'}, 0);
  int delay = exchange_ == faults_.lateAckAt ? faults_.lateAckMs : 0;
  if (exchange_ == faults_.strayBeforeAckAt) return transmit({'x', 'U', '5', 'U'}, delay);
  transmit(kAck, delay);
}

std::vector<LineByte> SerialBootDevice::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}
size_t SerialBootDevice::receivedCount() const {
  std::lock_guard lock(mutex_);
  return received_.size();
}
std::vector<uint8_t> SerialBootDevice::image() const {
  std::lock_guard lock(mutex_);
  return flash_;
}
std::vector<uint16_t> SerialBootDevice::pages() const {
  std::lock_guard lock(mutex_);
  return pages_;
}
std::vector<std::string> SerialBootDevice::commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}
int SerialBootDevice::checksumErrors() const {
  std::lock_guard lock(mutex_);
  return checksumErrors_;
}
int SerialBootDevice::probesAnswered() const {
  std::lock_guard lock(mutex_);
  return probesAnswered_;
}
bool SerialBootDevice::restarted() const {
  std::lock_guard lock(mutex_);
  return restarted_;
}
void SerialBootDevice::clearRecords() {
  std::lock_guard lock(mutex_);
  received_.clear();
  received_.shrink_to_fit();
  pages_.clear();
  commands_.clear();
  restarted_ = false;
}

bool SerialBootDevice::waitForRestart(int realMs) const {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(realMs), [this] { return restarted_; });
}

}  // namespace kestrel::sim
