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
//
// A pseudo-terminal carries no speed with its bytes, and the simulator's thread may read them
// long after they were written, when the utility has closed the port or opened it again at
// another speed. So the near end's output is held stopped (as flow control would) whenever the
// line is at its idle settings: a write after the utility's open waits until the simulator has
// seen the open's speed and taken everything written before it. Each byte then counts at the
// speed of the open it was written in, however late it is read. The one thing this cannot tell
// apart is a close and a new open at another speed that both pass while the simulator's thread
// does not run at all (the utility waits 100 ms between its two opens).
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
  // Follows the utility's opens and closes through the near end's settings, taking every byte
  // written in one open at that open's speed.
  void followLine();
  // Reads and takes every byte the utility has written so far, at `lastSpeed_`.
  void takeWritten();
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
  uint32_t lastSpeed_ = 0;  // The speed of the utility's latest open, as seen.
  bool gateOpen_ = false;   // The near end's output flows: the utility's writes get through.
  bool held_ = false;       // Held up for good (SerialFaults::holdLineAt).
  std::thread thread_;
};

}  // namespace kestrel::sim
