// The HID backend over hidapi's hidraw implementation.

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/backends.h"
#include "platform/hidapi_errors.h"
#include "platform/usb_location.h"
#include "platform_api/hid_device.h"

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

// hidapi's wide strings are UTF-32 here; the program's strings are UTF-8. A value that is no
// character becomes U+FFFD.
std::string utf8Of(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) {
    auto c = uint32_t(*text);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6);
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12);
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18);
      out += char(0x80 | (c >> 12 & 0x3F));
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string sysfsRoot() {
  const char* root = std::getenv(kSysfsRootVariable);
  return root && *root ? root : "/sys";
}

// The claim is flock() on the hidraw node, which Kestrel Utility and kestrel-flash both take: the
// kernel lets it go with the last descriptor, so a run that crashes leaves no stale claim.
class FlockClaim final : public HidClaim {
 public:
  explicit FlockClaim(int fd) : fd_(fd) {}
  ~FlockClaim() override { ::close(fd_); }

 private:
  int fd_;
};

// Opens the node only to hold a lock on it: no I/O goes through this descriptor.
int openForLock(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

class HidapiBackend final : public HidApi {
 public:
  bool enumerate(std::vector<HidInterfaceInfo>* interfaces) override {
    interfaces->clear();
    if (!init()) return false;
    const std::string root = sysfsRoot();
    hid_device_info* list = hid_enumerate(0, 0);
    for (hid_device_info* d = list; d; d = d->next) {
      if (!d->path) continue;
      HidInterfaceInfo info;
      info.path = d->path;
      info.attributes = {d->vendor_id, d->product_id, d->release_number};
      info.serialNumber = utf8Of(d->serial_number);
      const char* slash = std::strrchr(d->path, '/');
      info.location = hidrawUsbLocation(root, slash ? slash + 1 : d->path);
      interfaces->push_back(std::move(info));
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

  std::unique_ptr<HidClaim> claim(const std::string& path, bool* busy) override {
    *busy = false;
    int fd = openForLock(path);
    if (fd < 0) return nullptr;
    // Another program's look at the claim (claimState) holds the lock for a moment: that is
    // waited out, a claim that stays is not.
    for (int attempt = 0;; ++attempt) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::make_unique<FlockClaim>(fd);
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK || attempt == kClaimAttempts) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *busy = errno == EWOULDBLOCK;
    ::close(fd);
    return nullptr;
  }

  HidClaimState claimState(const std::string& path) override {
    int fd = openForLock(path);
    if (fd < 0) return HidClaimState::Unknown;
    int r;
    do {
      r = ::flock(fd, LOCK_SH | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    HidClaimState state = r == 0                 ? HidClaimState::Free
                          : errno == EWOULDBLOCK ? HidClaimState::Busy
                                                 : HidClaimState::Unknown;
    ::close(fd);
    return state;
  }

 private:
  static constexpr int kClaimAttempts = 5;

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
