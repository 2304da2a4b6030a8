#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim/serial_boot_device.h"

namespace kestrel::sim {

// The simulated serial boot loader on the far end of a pseudo-terminal, in real time: the utility
// opens the near end as it would a serial port, through termios. The device reads the line speed
// the utility set through the far end. Runs its own thread.
class SerialBootSim final : public SerialBootDevice {
 public:
  explicit SerialBootSim(SerialFaults faults = {});
  ~SerialBootSim() override;

  // The pseudo-terminal the utility opens.
  const std::string& devicePath() const { return devicePath_; }
  // Makes `dir`/`name` a symbolic link to the device, replacing what was there.
  void linkAs(const std::string& dir, const std::string& name) const;

 protected:
  void transmit(const std::vector<uint8_t>& bytes, int delayMs) override;
  void dropLine() override { hangUpRequested_ = true; }
  // Stops the near end's output, as XOFF or a low CTS stop a UART: the utility's writes block.
  void holdLine() override;

 private:
  void run();
  uint32_t lineSpeed();
  void closeLine();
  double nowMs() const;

  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::string devicePath_;
  int master_ = -1;  // Used by the simulator's thread only, and closed there.
  int slaveKeeper_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hangUpRequested_{false};
  // Touched by the simulator's thread only.
  double lineFreeAt_ = 0;  // When the line to the device has carried every byte so far (ms).
  double sendFreeAt_ = 0;
  uint32_t lastSpeed_ = 0;  // The last speed the utility set.
  std::thread thread_;
};

}  // namespace kestrel::sim
