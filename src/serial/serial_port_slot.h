#pragma once

#include <memory>
#include <mutex>

#include "platform/serial_port.h"

namespace kestrel {

// The window's `serialPortHandle`: the one open serial port, or none.
//
// Threads never hold the descriptor itself. Each operation takes a reference with acquire(),
// uses the port and lets go; close() empties the slot and cancels the port, which wakes any
// thread blocked in it. The descriptor is closed when the last reference goes, so no thread can
// ever use a descriptor number after it was closed and reused by another open.
class SerialPortSlot {
 public:
  // The open port, or null when none is open.
  std::shared_ptr<SerialPort> acquire() const {
    std::lock_guard lock(mutex_);
    return port_;
  }

  bool isOpen() const { return acquire() != nullptr; }

  // Stores a newly opened port. Any port still in the slot is closed first.
  void put(std::unique_ptr<SerialPort> port) {
    close();
    std::lock_guard lock(mutex_);
    port_ = std::move(port);
  }

  // Closes the open port; does nothing when none is open. Callable from any thread.
  void close() {
    std::shared_ptr<SerialPort> old;
    {
      std::lock_guard lock(mutex_);
      old.swap(port_);
    }
    if (old) old->cancel();
  }

 private:
  mutable std::mutex mutex_;  // Guards port_.
  std::shared_ptr<SerialPort> port_;
};

}  // namespace kestrel
