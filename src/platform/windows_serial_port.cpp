// The serial backend over the Windows comm API.

#include <windows.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <set>

#include "platform/serial_port.h"
#include "platform/windows_text.h"

namespace kestrel {
namespace {

// The read rules as the port's own time-outs: n bytes; or 30 ms after a byte; or 10 * n + 200 ms.
constexpr DWORD kIntervalMs = 30;
constexpr DWORD kPerByteMs = 10;
constexpr DWORD kConstantMs = 200;

// Errors with which a read or write says that the port itself has gone (a USB adapter
// unplugged), as opposed to one operation failing.
bool meansGone(DWORD err) {
  return err == ERROR_DEVICE_REMOVED || err == ERROR_DEVICE_NOT_CONNECTED ||
         err == ERROR_BAD_COMMAND || err == ERROR_ACCESS_DENIED || err == ERROR_GEN_FAILURE ||
         err == ERROR_NOT_READY || err == ERROR_INVALID_HANDLE;
}

// This thread's own handle, for cancelling its synchronous I/O from another thread.
HANDLE thisThread() {
  thread_local HANDLE self = [] {
    HANDLE h = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &h,
                      THREAD_TERMINATE, FALSE, 0);
    return h;
  }();
  return self;
}

class WindowsSerialPort final : public SerialPort {
 public:
  WindowsSerialPort(HANDLE port, std::optional<DCB> found,
                    std::optional<COMMTIMEOUTS> foundTimeouts)
      : port_(port),
        cancelEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        found_(found),
        foundTimeouts_(foundTimeouts) {}

  ~WindowsSerialPort() override {
    // The port goes back to how it was found.
    if (found_) ::SetCommState(port_, &*found_);
    if (foundTimeouts_) ::SetCommTimeouts(port_, &*foundTimeouts_);
    ::CloseHandle(port_);
    ::CloseHandle(cancelEvent_);
  }

  bool write(const uint8_t* data, size_t n) override {
    InIo io(this);
    size_t done = 0;
    while (done < n) {
      if (cancelled_) return false;
      DWORD written = 0;
      if (!::WriteFile(port_, data + done, DWORD(n - done), &written, nullptr)) {
        noteFailure(::GetLastError());
        return false;
      }
      done += written;
    }
    return true;
  }

  int read(uint8_t* data, size_t n) override {
    if (n == 0) return 0;
    const DWORD start = ::GetTickCount();
    const DWORD limit = kPerByteMs * DWORD(n) + kConstantMs;
    {
      InIo io(this);
      if (cancelled_) return -1;
      DWORD got = 0;
      if (::ReadFile(port_, data, DWORD(n), &got, nullptr)) return int(got);
      noteFailure(::GetLastError());
    }
    // A failed port returns only when a read would have: callers loop on reads.
    DWORD spent = ::GetTickCount() - start;
    if (!cancelled_ && spent < limit) ::WaitForSingleObject(cancelEvent_, limit - spent);
    return -1;
  }

  void purge() override {
    ::PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  }

  void cancel() override {
    cancelled_ = true;
    ::SetEvent(cancelEvent_);
    std::lock_guard lock(mutex_);
    for (HANDLE thread : inIo_) ::CancelSynchronousIo(thread);
  }

  bool lineLost() const override { return lost_.load(); }

 private:
  // Marks the calling thread as in a synchronous call on the port, so that cancel() can end it.
  class InIo {
   public:
    explicit InIo(WindowsSerialPort* port) : port_(port), thread_(thisThread()) {
      std::lock_guard lock(port_->mutex_);
      port_->inIo_.insert(thread_);
    }
    ~InIo() {
      std::lock_guard lock(port_->mutex_);
      port_->inIo_.erase(thread_);
    }

   private:
    WindowsSerialPort* port_;
    HANDLE thread_;
  };

  void noteFailure(DWORD err) {
    if (!cancelled_ && err != ERROR_OPERATION_ABORTED && meansGone(err)) lost_ = true;
  }

  const HANDLE port_;
  const HANDLE cancelEvent_;
  std::optional<DCB> found_;
  std::optional<COMMTIMEOUTS> foundTimeouts_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> lost_{false};
  std::mutex mutex_;  // Guards inIo_.
  std::set<HANDLE> inIo_;
};

class WindowsSerialBackend final : public SerialBackend {
 public:
  std::unique_ptr<SerialPort> open(const std::string& name, uint32_t baud,
                                   PortError* error) override {
    std::string path = resolveSerialPortName(name);
    if (path.empty()) {
      *error = {int(ERROR_FILE_NOT_FOUND), name + ": no such port"};
      return nullptr;
    }
    return openSerialDevice(path, baud, error);
  }
};

}  // namespace

std::unique_ptr<SerialPort> openSerialDevice(const std::string& path, uint32_t baud,
                                             PortError* error) {
  // Read and write, no sharing (exclusive), only an existing device, synchronous I/O.
  HANDLE port = ::CreateFileW(toWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    DWORD err = ::GetLastError();
    *error = {int(err), path + ": " + windowsErrorText(err)};
    return nullptr;
  }
  // The line: the speed, 8 data bits, no parity bit, one stop bit, the parity check on, 0x00
  // bytes kept, binary; every other setting as the port had it. Refusals are not reported.
  std::optional<DCB> found;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (::GetCommState(port, &dcb)) {
    found = dcb;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fParity = TRUE;
    dcb.fNull = FALSE;
    dcb.fBinary = TRUE;
    ::SetCommState(port, &dcb);
  }
  std::optional<COMMTIMEOUTS> foundTimeouts;
  COMMTIMEOUTS timeouts{};
  if (::GetCommTimeouts(port, &timeouts)) foundTimeouts = timeouts;
  timeouts.ReadIntervalTimeout = kIntervalMs;
  timeouts.ReadTotalTimeoutMultiplier = kPerByteMs;
  timeouts.ReadTotalTimeoutConstant = kConstantMs;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  ::SetCommTimeouts(port, &timeouts);
  ::PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  return std::make_unique<WindowsSerialPort>(port, found, foundTimeouts);
}

std::string resolveSerialPortName(const std::string& name) {
  if (!comPortNumber(name)) return "";
  return "\\\\.\\" + name;
}

SerialBackend& serialBackend() {
  static WindowsSerialBackend backend;
  return backend;
}

}  // namespace kestrel
