// The HID backend on Windows: SetupAPI to list the HID interfaces and find their USB ports,
// hid.dll for their attributes and serial numbers, a synchronous handle for writing reports and an
// overlapped one for reading them, a named mutex for the claim.

#include <windows.h>
// clang-format off: setupapi.h and hidsdi.h need windows.h first; hidsdi.h declares C functions
// without saying so.
#include <cfgmgr32.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}
// clang-format on

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/backends.h"
#include "platform/usb_location.h"
#include "platform/windows_text.h"
#include "platform_api/hid_device.h"

namespace kestrel {
namespace {

constexpr size_t kReportSize = 65;

class WindowsHidDevice final : public HidDevice {
 public:
  WindowsHidDevice(HANDLE h, bool overlapped)
      : h_(h),
        overlapped_(overlapped),
        event_(overlapped ? ::CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr) {
    read_.hEvent = event_;
  }

  ~WindowsHidDevice() override {
    endRead(true);
    ::CloseHandle(h_);
    if (event_) ::CloseHandle(event_);
  }

  void cancel() override {
    cancelled_ = true;
    endRead(false);
  }

  bool write(const uint8_t* report, size_t n, HidError* err) override {
    if (cancelled_) {
      *err = {int(ERROR_OPERATION_ABORTED), false};
      return false;
    }
    DWORD written = 0;
    if (::WriteFile(h_, report, DWORD(n), &written, nullptr)) return true;
    DWORD code = ::GetLastError();
    *err = {int(code), hidWriteMeansGone(int(code))};
    return false;
  }

  // One read outstanding at a time, waited for in slices of `timeoutMs`: a read that has not
  // finished when the slice ends stays outstanding for the next call.
  int read(uint8_t* buf, size_t n, int timeoutMs, HidError* err) override {
    std::unique_lock lock(mutex_);
    if (cancelled_ || !event_) {
      lock.unlock();
      ::Sleep(DWORD(timeoutMs));
      return 0;
    }
    if (!pending_) {
      ::ResetEvent(event_);
      DWORD got = 0;
      if (::ReadFile(h_, buffer_, kReportSize, &got, &read_)) return deliver(buf, n, got);
      DWORD code = ::GetLastError();
      if (hidReadMeansGone(int(code))) {
        // Nothing is outstanding: wait the slice, as a read would.
        lock.unlock();
        ::Sleep(DWORD(timeoutMs));
        *err = {int(code), true};
        return -1;
      }
      if (code != ERROR_IO_PENDING) {
        *err = {int(code), false};
        return -1;
      }
      pending_ = true;
    }
    lock.unlock();
    if (::WaitForSingleObject(event_, DWORD(timeoutMs)) != WAIT_OBJECT_0) return 0;
    lock.lock();
    if (!pending_) return 0;  // cancelled meanwhile
    DWORD got = 0;
    pending_ = false;
    if (!::GetOverlappedResult(h_, &read_, &got, FALSE)) {
      DWORD code = ::GetLastError();
      *err = {int(code), hidReadMeansGone(int(code)), true};
      return -1;
    }
    return deliver(buf, n, got);
  }

  bool attributes(HidAttributes* out) override {
    HIDD_ATTRIBUTES a{};
    a.Size = sizeof a;
    if (!::HidD_GetAttributes(h_, &a)) return false;
    out->vendorId = a.VendorID;
    out->productId = a.ProductID;
    out->version = a.VersionNumber;
    return true;
  }

 private:
  int deliver(uint8_t* buf, size_t n, DWORD got) {
    size_t count = std::min<size_t>(n, got);
    std::memcpy(buf, buffer_, count);
    return int(count);
  }

  // Cancels the outstanding read and waits until the system has let go of its buffer. CancelIo
  // where the reader itself ends its read; CancelIoEx from any other thread.
  void endRead(bool anyThread) {
    std::lock_guard lock(mutex_);
    if (!pending_) return;
    if (anyThread) {
      ::CancelIoEx(h_, &read_);
    } else {
      ::CancelIo(h_);
    }
    DWORD got = 0;
    ::GetOverlappedResult(h_, &read_, &got, TRUE);
    pending_ = false;
  }

  const HANDLE h_;
  const bool overlapped_;
  const HANDLE event_;
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;  // Guards the outstanding read: read_, buffer_, pending_.
  OVERLAPPED read_{};
  uint8_t buffer_[kReportSize] = {};
  bool pending_ = false;
};

// The location path of the USB device that the HID collection `collection` belongs to: that of
// its USB parent, past the interface node of a composite device. The hub above is never taken for
// it. Empty when the collection is not on USB or Windows gives no port for it.
std::string usbLocationOf(DEVINST collection) {
  HDEVINFO set = ::SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return {};
  std::string location;
  DEVINST node = collection;
  for (int level = 0; level < 3; ++level) {
    DEVINST parent = 0;
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (::CM_Get_Parent(&parent, node, 0) != CR_SUCCESS ||
        ::CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) {
      break;
    }
    node = parent;
    UsbNodeKind kind = usbNodeKind(id);
    if (kind == UsbNodeKind::Interface) continue;
    if (kind == UsbNodeKind::NotUsb) break;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    wchar_t paths[1024];
    DWORD type = 0, size = 0;
    if (::SetupDiOpenDeviceInfoW(set, id, nullptr, 0, &data) &&
        ::SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_LOCATION_PATHS, &type,
                                            reinterpret_cast<BYTE*>(paths), sizeof paths, &size) &&
        type == REG_MULTI_SZ) {
      location = toUtf8(usbPortLocationPath(paths, size / sizeof(wchar_t)));
    }
    break;
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return location;
}

// Attributes and serial number through a handle without read or write access, which Windows gives
// for any HID collection, one that it keeps for itself (a keyboard) included.
void describe(const std::string& path, HidInterfaceInfo* info) {
  HANDLE h = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  HIDD_ATTRIBUTES a{};
  a.Size = sizeof a;
  if (::HidD_GetAttributes(h, &a)) info->attributes = {a.VendorID, a.ProductID, a.VersionNumber};
  // A USB string descriptor holds at most 126 characters.
  wchar_t serial[128] = {};
  if (::HidD_GetSerialNumberString(h, serial, sizeof serial - sizeof(wchar_t))) {
    info->serialNumber = toUtf8(serial);
  }
  ::CloseHandle(h);
}

// The claim is a mutex named after the device path: while one exists, under any session, the
// device is claimed. Its existence is the claim, not its ownership, which Windows ties to a thread
// (the window claims on its own thread and lets go on the download's). Windows destroys it with
// the last handle, so a run that crashes leaves no stale claim.
class MutexClaim final : public HidClaim {
 public:
  explicit MutexClaim(HANDLE mutex) : mutex_(mutex) {}
  ~MutexClaim() override { ::CloseHandle(mutex_); }

 private:
  HANDLE mutex_;
};

class WindowsHidApi final : public HidApi {
 public:
  bool enumerate(std::vector<HidInterfaceInfo>* interfaces) override {
    interfaces->clear();
    GUID hid{};
    ::HidD_GetHidGuid(&hid);
    HDEVINFO list =
        ::SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) return false;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA iface{};
      iface.cbSize = sizeof iface;
      // The end of the list, or an interface that cannot be listed: the walk stops either way,
      // so that no index is tried again and again.
      if (!::SetupDiEnumDeviceInterfaces(list, nullptr, &hid, index, &iface)) break;
      DWORD size = 0;
      ::SetupDiGetDeviceInterfaceDetailA(list, &iface, nullptr, 0, &size, nullptr);
      if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) break;
      std::vector<uint8_t> storage(size);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      SP_DEVINFO_DATA device{};
      device.cbSize = sizeof device;
      if (!::SetupDiGetDeviceInterfaceDetailA(list, &iface, detail, size, nullptr, &device)) break;
      HidInterfaceInfo info;
      info.path = detail->DevicePath;
      describe(info.path, &info);
      info.location = usbLocationOf(device.DevInst);
      interfaces->push_back(std::move(info));
    }
    ::SetupDiDestroyDeviceInfoList(list);
    return true;
  }

  std::unique_ptr<HidDevice> open(const std::string& path, HidUse use) override {
    bool overlapped = use == HidUse::Read;
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<WindowsHidDevice>(h, overlapped);
  }

  std::unique_ptr<HidClaim> claim(const std::string& path, bool* busy) override {
    *busy = false;
    const std::wstring name = toWide(hidClaimName(path));
    // Another program's look at the claim (claimState) keeps the mutex for a moment: that is
    // waited out, a claim that stays is not.
    for (int attempt = 0;; ++attempt) {
      HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
      DWORD code = ::GetLastError();
      if (mutex && code != ERROR_ALREADY_EXISTS) return std::make_unique<MutexClaim>(mutex);
      if (mutex) ::CloseHandle(mutex);
      // Access denied: the mutex exists, made by another user.
      if (code != ERROR_ALREADY_EXISTS && code != ERROR_ACCESS_DENIED) return nullptr;
      if (attempt == kClaimAttempts) {
        *busy = true;
        return nullptr;
      }
      ::Sleep(10);
    }
  }

  HidClaimState claimState(const std::string& path) override {
    HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, toWide(hidClaimName(path)).c_str());
    if (mutex) {
      ::CloseHandle(mutex);
      return HidClaimState::Busy;
    }
    DWORD code = ::GetLastError();
    return code == ERROR_FILE_NOT_FOUND  ? HidClaimState::Free
           : code == ERROR_ACCESS_DENIED ? HidClaimState::Busy
                                         : HidClaimState::Unknown;
  }

 private:
  static constexpr int kClaimAttempts = 5;
};

}  // namespace

HidApi& hidBackend() {
  static WindowsHidApi backend;
  return backend;
}

// A write or a read fails this way when the device has been unplugged.
bool hidWriteMeansGone(int err) {
  return DWORD(err) == ERROR_DEVICE_NOT_CONNECTED || DWORD(err) == ERROR_DEVICE_REMOVED;
}

bool hidReadMeansGone(int err) {
  return hidWriteMeansGone(err);
}

}  // namespace kestrel
