#include "sim/serial_boot_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "sim/pty_line.h"

namespace kestrel::sim {
namespace {

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

SerialBootSim::SerialBootSim(SerialFaults faults) : SerialBootDevice(std::move(faults)) {
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
  closeLine();
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

uint32_t SerialBootSim::lineSpeed() {
  termios tio{};
  // On a pseudo-terminal the master reports the settings the utility made on its side.
  if (master_ < 0 || ::tcgetattr(master_, &tio) != 0) return 0;
  speed_t speed = ::cfgetospeed(&tio);
  // Back at the idle speed, the utility has closed the port since it wrote what is read now:
  // those bytes went at the speed the line had last.
  if (speed != kIdleSpeed) lastSpeed_ = baudOf(speed);
  return lastSpeed_;
}

void SerialBootSim::run() {
  uint8_t buf[4096];
  while (!stop_) {
    if (hangUpRequested_) closeLine();
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
    for (ssize_t i = 0; i < n && !hangUpRequested_; ++i) {
      if (faults_.paced && baud) lineFreeAt_ = std::max(lineFreeAt_, arrived) + 10000.0 / baud;
      feed(buf[i], baud, faults_.paced ? lineFreeAt_ : arrived);
    }
  }
}

void SerialBootSim::transmit(const std::vector<uint8_t>& bytes, int delayMs) {
  if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
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

void SerialBootSim::holdLine() {
  if (slaveKeeper_ >= 0) ::tcflow(slaveKeeper_, TCOOFF);
}

void SerialBootSim::closeLine() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
  if (slaveKeeper_ >= 0) ::close(slaveKeeper_);
  slaveKeeper_ = -1;
}

}  // namespace kestrel::sim
