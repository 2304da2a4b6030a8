#include "sim/serial_boot_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "sim/pty_line.h"

namespace kestrel::sim {
namespace {

constexpr size_t kFrameSize = 2051;
constexpr size_t kBlockSize = 2048;

uint32_t baudOf(speed_t s) {
  switch (s) {
    case B115200:
      return 115200;
    case B57600:
      return 57600;
    case B38400:
      return 38400;
    case B19200:
      return 19200;
    case B9600:
      return 9600;
    case B4800:
      return 4800;
    case B2400:
      return 2400;
    default:
      return 0;
  }
}

}  // namespace

SerialBootSim::SerialBootSim(SerialFaults faults) : faults_(std::move(faults)) {
  PtyLine line = openPtyLine();
  master_ = line.master;
  slaveKeeper_ = line.keeper;
  devicePath_ = line.path;
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  thread_ = std::thread([this] { run(); });
}

SerialBootSim::~SerialBootSim() {
  stop_ = true;
  thread_.join();
  if (master_ >= 0) ::close(master_);
  if (slaveKeeper_ >= 0) ::close(slaveKeeper_);
}

void SerialBootSim::linkAs(const std::string& dir, const std::string& name) const {
  std::filesystem::path link = std::filesystem::path(dir) / name;
  std::error_code ec;
  std::filesystem::remove(link, ec);
  std::filesystem::create_symlink(devicePath_, link);
}

double SerialBootSim::nowMs() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
      .count();
}

uint32_t SerialBootSim::lineSpeed() const {
  termios tio{};
  // On a pseudo-terminal the master reports the settings the utility made on its side.
  if (master_ < 0 || ::tcgetattr(master_, &tio) != 0) return 0;
  return baudOf(::cfgetospeed(&tio));
}

void SerialBootSim::run() {
  uint8_t buf[4096];
  while (!stop_) {
    if (hangUpRequested_) dropLine();
    if (master_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    pollfd p = {master_, POLLIN, 0};
    if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) {
      // POLLHUP while the utility has the port closed: wait for it to open again.
      if (p.revents & POLLHUP) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) continue;
    uint32_t baud = lineSpeed();
    double arrived = nowMs();
    for (ssize_t i = 0; i < n; ++i) {
      if (faults_.paced && baud) {
        lineFreeAt_ = std::max(lineFreeAt_, arrived) + 10000.0 / baud;
      }
      {
        std::lock_guard lock(mutex_);
        received_.push_back({faults_.paced ? lineFreeAt_ : arrived, baud, buf[i]});
      }
      feed(buf[i], baud);
      if (hangUpRequested_) break;
    }
  }
}

void SerialBootSim::service(uint8_t byte) {
  if (!inServiceCode_) {
    inServiceCode_ = byte == 0xAA;
    serviceCode_.clear();
    return;
  }
  serviceCode_.push_back(char(byte));
  if (serviceCode_.size() < 4) return;
  inServiceCode_ = false;
  if (faults_.silent) return;
  if (serviceCode_ == "/%/%") send(faults_.textAnswer);
  if (serviceCode_ == "CR01") send(faults_.cr01Answer);
  if (serviceCode_ == "CR02") send(faults_.cr02Answer);
}

void SerialBootSim::feed(uint8_t byte, uint32_t baud) {
  if (baud == 9600) service(byte);
  if (state_ == State::Asleep) {
    if (byte == 0xA2 && baud == 9600) state_ = State::Awake;
    return;
  }
  if (baud != 115200) return;
  if (state_ == State::Frame) {
    frameBuffer_.push_back(byte);
    if (exchange_ == faults_.hangUpAt && frameBuffer_.size() == kFrameSize / 2) {
      hangUp();
      return;
    }
    if (frameBuffer_.size() == kFrameSize) frame();
    return;
  }
  if (commandBuffer_.empty() && byte != 'U') {
    if (byte == 0xA5 && !faults_.silent) {
      std::vector<uint8_t> answer = faults_.answerPrefix;
      answer.push_back(0x5A);
      send(answer);
      std::lock_guard lock(mutex_);
      ++probesAnswered_;
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

void SerialBootSim::command(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    commands_.push_back(text);
  }
  const std::vector<uint8_t> ack = {'U', '5', 'U'};
  if (text == "UCLRU") {
    {
      std::lock_guard lock(mutex_);
      flash_.clear();
      pages_.clear();
    }
    exchange_ = -1;
    if (faults_.silent || faults_.noClearAck) return;
    send(faults_.wrongClearAnswer ? std::vector<uint8_t>{'A', 'B', 'C', 'D', 'E'} : ack);
  } else if (text == "UFLHU") {
    ++exchange_;
    state_ = State::Frame;
    frameBuffer_.clear();
    if (!faults_.silent && exchange_ != faults_.noCommandAckAt) send(ack);
  } else if (text == "URBTU") {
    state_ = State::Asleep;
    std::lock_guard lock(mutex_);
    restarted_ = true;
    cv_.notify_all();
  }
}

void SerialBootSim::frame() {
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
  if (!good) {
    send({'B', 'A', 'D'});
    return;
  }
  if (exchange_ == faults_.lateAckAt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(faults_.lateAckMs));
  }
  if (exchange_ == faults_.strayBeforeAckAt) {
    send({'x', 'U', '5', 'U'});
    return;
  }
  send({'U', '5', 'U'});
}

void SerialBootSim::send(const std::vector<uint8_t>& bytes) {
  for (uint8_t b : bytes) {
    if (faults_.paced) {
      // The answer goes out once the line has carried what came before it, a byte at a time.
      double at = std::max({sendFreeAt_, lineFreeAt_, nowMs()}) + 10000.0 / 115200;
      sendFreeAt_ = at;
      double wait = at - nowMs();
      if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(wait));
    }
    if (master_ < 0 || hangUpRequested_) return;
    [[maybe_unused]] ssize_t r = ::write(master_, &b, 1);
  }
}

void SerialBootSim::dropLine() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
  if (slaveKeeper_ >= 0) ::close(slaveKeeper_);
  slaveKeeper_ = -1;
}

std::vector<LineByte> SerialBootSim::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}
std::vector<uint8_t> SerialBootSim::image() const {
  std::lock_guard lock(mutex_);
  return flash_;
}
std::vector<uint16_t> SerialBootSim::pages() const {
  std::lock_guard lock(mutex_);
  return pages_;
}
std::vector<std::string> SerialBootSim::commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}
int SerialBootSim::checksumErrors() const {
  std::lock_guard lock(mutex_);
  return checksumErrors_;
}
int SerialBootSim::probesAnswered() const {
  std::lock_guard lock(mutex_);
  return probesAnswered_;
}
bool SerialBootSim::restarted() const {
  std::lock_guard lock(mutex_);
  return restarted_;
}
void SerialBootSim::clearRecords() {
  std::lock_guard lock(mutex_);
  received_.clear();
  received_.shrink_to_fit();
  pages_.clear();
  commands_.clear();
  restarted_ = false;
}

bool SerialBootSim::waitForRestart(int realMs) const {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(realMs), [this] { return restarted_; });
}

}  // namespace kestrel::sim
