// The HID backend over hidapi's hidraw implementation.

#include <hidapi/hidapi.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/hid_device.h"
#include "platform/hidapi_errors.h"

namespace kestrel {

namespace {

class HidapiDevice final : public HidDevice {
 public:
  explicit HidapiDevice(hid_device* dev) : dev_(dev) {}
  ~HidapiDevice() override { hid_close(dev_); }

  void cancel() override { cancelled_ = true; }

  bool write(const uint8_t* report, size_t n, HidError* err) override {
    if (cancelled_) {
      *err = {ECANCELED, false};
      return false;
    }
    errno = 0;
    int r = hid_write(dev_, report, n);
    if (r >= 0) return true;
    err->error = errno;
    err->deviceGone = hidapiWriteMeansGone(errno);
    return false;
  }

  int read(uint8_t* buf, size_t n, int timeoutMs, HidError* err) override {
    if (n < 2) return 0;
    if (cancelled_) {
      // Nothing more comes through a cancelled handle; the wait keeps a polling caller from
      // spinning.
      std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
      return 0;
    }
    // The device has no numbered reports: hidraw delivers them without the report ID, so the
    // 0x00 is put back in front to keep every byte at its protocol position.
    errno = 0;
    int r = hid_read_timeout(dev_, buf + 1, n - 1, timeoutMs);
    if (r > 0) {
      buf[0] = 0x00;
      return r + 1;
    }
    if (r == 0) return 0;
    err->error = errno;
    err->deviceGone = hidapiReadMeansGone(errno);
    return -1;
  }

  bool attributes(HidAttributes* out) override {
    hid_device_info* info = hid_get_device_info(dev_);
    if (!info) return false;
    out->vendorId = info->vendor_id;
    out->productId = info->product_id;
    out->version = info->release_number;
    return true;
  }

 private:
  hid_device* dev_;
  std::atomic<bool> cancelled_{false};
};

class HidapiBackend final : public HidApi {
 public:
  bool enumerate(std::vector<std::string>* paths) override {
    if (!init()) return false;
    hid_device_info* list = hid_enumerate(0, 0);
    for (hid_device_info* d = list; d; d = d->next) {
      if (d->path) paths->push_back(d->path);
    }
    hid_free_enumeration(list);
    return true;
  }

  std::unique_ptr<HidDevice> open(const std::string& path, HidUse) override {
    if (!init()) return nullptr;
    hid_device* dev = hid_open_path(path.c_str());
    if (!dev) return nullptr;
    return std::make_unique<HidapiDevice>(dev);
  }

 private:
  bool init() {
    std::call_once(once_, [this] { ok_ = hid_init() == 0; });
    return ok_;
  }
  std::once_flag once_;
  bool ok_ = false;
};

}  // namespace

HidApi& hidapiBackend() {
  static HidapiBackend backend;
  return backend;
}

HidApi& hidBackend() {
  return hidapiBackend();
}

bool hidWriteMeansGone(int err) {
  return hidapiWriteMeansGone(err);
}

bool hidReadMeansGone(int err) {
  return hidapiReadMeansGone(err);
}

}  // namespace kestrel
