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
  // The line is idle until the utility opens it: nothing gets through before the simulator has
  // seen the open.
  ::tcflow(slaveKeeper_, TCOOFF);
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

void SerialBootSim::followLine() {
  termios tio{};
  // On a pseudo-terminal the master reports the settings the utility made on its side.
  if (::tcgetattr(master_, &tio) != 0) return;
  const speed_t speed = ::cfgetospeed(&tio);
  if (speed == kIdleSpeed && gateOpen_) {
    // The utility has closed the port: whatever it writes next belongs to its next open.
    ::tcflow(slaveKeeper_, TCOOFF);
    gateOpen_ = false;
  }
  takeWritten();
  if (speed == kIdleSpeed || held_) return;
  // An open at a new speed: what it writes waits until everything before it has been taken.
  if (!gateOpen_ || baudOf(speed) != lastSpeed_) {
    lastSpeed_ = baudOf(speed);
    ::tcflow(slaveKeeper_, TCOON);
    gateOpen_ = true;
  }
}

void SerialBootSim::takeWritten() {
  uint8_t buf[4096];
  for (;;) {
    // A read of the master takes what the utility's writes have handed over so far.
    ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) return;
    const double arrived = nowMs();
    for (ssize_t i = 0; i < n && !hangUpRequested_; ++i) {
      if (faults_.paced && lastSpeed_) {
        lineFreeAt_ = std::max(lineFreeAt_, arrived) + 10000.0 / lastSpeed_;
      }
      feed(buf[i], lastSpeed_, faults_.paced ? lineFreeAt_ : arrived);
    }
    if (hangUpRequested_ || master_ < 0) return;
  }
}

void SerialBootSim::run() {
  while (!stop_) {
    if (hangUpRequested_) closeLine();
    if (master_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    followLine();
    // A millisecond at most between looks at the settings: the utility's first write after an
    // open waits for one.
    pollfd p = {master_, POLLIN, 0};
    if (::poll(&p, 1, 1) > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // nobody on the near end
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
  held_ = true;
  gateOpen_ = false;
  if (slaveKeeper_ >= 0) ::tcflow(slaveKeeper_, TCOOFF);
}

void SerialBootSim::closeLine() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
  if (slaveKeeper_ >= 0) ::close(slaveKeeper_);
  slaveKeeper_ = -1;
}

}  // namespace kestrel::sim
