#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

namespace kestrel {

// Where the window keeps one open device (the serial port, a HID handle), or none.
//
// Threads never keep the device itself. Each operation takes a Lease with acquire(), uses the
// device and lets the lease go. close() empties the slot, cancels the device (which wakes a thread
// blocked in it, and makes its further calls fail at once) and waits until the last lease has
// gone; only then is the device destroyed, which closes it. So no thread ever uses a device, or a
// descriptor number, after it was closed, and when close() returns the device is closed.
//
// `Device` has cancel(). All members may be called from any thread; a thread must not call close()
// or put() while it holds a lease of the same slot (it would wait for itself).
template <class Device>
class DeviceSlot {
  struct Held {
    explicit Held(std::unique_ptr<Device> d) : device(std::move(d)) {}
    std::unique_ptr<Device> device;
    int users = 0;  // Leases out; guarded by the slot's mutex_.
  };

 public:
  // One operation's hold on the open device; empty when none was open.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept : slot_(other.slot_), held_(std::move(other.held_)) {
      other.slot_ = nullptr;
    }
    Lease& operator=(Lease&&) = delete;
    ~Lease() { reset(); }
    // Lets the device go before the lease's end.
    void reset() {
      if (!held_) return;
      std::lock_guard lock(slot_->mutex_);
      --held_->users;
      held_.reset();
      slot_->released_.notify_all();
    }
    explicit operator bool() const { return held_ != nullptr; }
    Device* operator->() const { return held_->device.get(); }
    Device& operator*() const { return *held_->device; }

   private:
    friend class DeviceSlot;
    Lease(const DeviceSlot* slot, std::shared_ptr<Held> held)
        : slot_(slot), held_(std::move(held)) {}
    const DeviceSlot* slot_ = nullptr;
    std::shared_ptr<Held> held_;
  };

  DeviceSlot() = default;
  DeviceSlot(const DeviceSlot&) = delete;
  DeviceSlot& operator=(const DeviceSlot&) = delete;
  ~DeviceSlot() { close(); }

  // The open device for one operation, or an empty lease when none is open.
  Lease acquire() const {
    std::lock_guard lock(mutex_);
    if (!held_) return Lease();
    ++held_->users;
    return Lease(this, held_);
  }

  bool isOpen() const {
    std::lock_guard lock(mutex_);
    return held_ != nullptr;
  }

  // Stores a newly opened device. A device still in the slot is closed first.
  void put(std::unique_ptr<Device> device) {
    close();
    std::lock_guard lock(mutex_);
    held_ = std::make_shared<Held>(std::move(device));
  }

  // Closes the open device as described above; does nothing when none is open.
  void close() {
    std::shared_ptr<Held> old;
    {
      std::unique_lock lock(mutex_);
      old.swap(held_);
      if (!old) return;
      old->device->cancel();
      released_.wait(lock, [&] { return old->users == 0; });
    }
    old->device.reset();
  }

 private:
  mutable std::mutex mutex_;  // Guards held_ and every Held::users.
  mutable std::condition_variable released_;
  std::shared_ptr<Held> held_;
};

}  // namespace kestrel
