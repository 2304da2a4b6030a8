// The serial backend over the Windows comm API.

#include <windows.h>

#include <atomic>
#include <cwctype>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "platform/windows_text.h"
#include "platform_api/serial_port.h"

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

// One FlushFileBuffers on a thread of its own, with a handle of its own that it closes.
DWORD WINAPI flushThread(void* handle) {
  ::FlushFileBuffers(static_cast<HANDLE>(handle));
  ::CloseHandle(static_cast<HANDLE>(handle));
  return 0;
}

class WindowsSerialPort final : public SerialPort {
 public:
  WindowsSerialPort(HANDLE port, uint32_t baud, std::optional<DCB> found,
                    std::optional<COMMTIMEOUTS> foundTimeouts)
      : port_(port),
        cancelEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        baud_(baud),
        found_(found),
        foundTimeouts_(foundTimeouts) {}

  ~WindowsSerialPort() override {
    drain();
    // The port goes back to how it was found.
    if (found_) ::SetCommState(port_, &*found_);
    if (foundTimeouts_) ::SetCommTimeouts(port_, &*foundTimeouts_);
    ::CloseHandle(port_);
    ::CloseHandle(cancelEvent_);
  }

  // Each write is timed by the port's write time-outs (set at the open): a write that ends with
  // bytes not taken ran out of its time.
  bool write(const uint8_t* data, size_t n) override {
    InIo io(this);
    if (cancelled_) return false;
    DWORD written = 0;
    BOOL ok = ::WriteFile(port_, data, DWORD(n), &written, nullptr);
    DWORD err = ok ? ERROR_SUCCESS : ::GetLastError();
    unDrained_ += written;
    if (ok && written == n) return true;
    if (ok || err == ERROR_TIMEOUT || err == ERROR_SEM_TIMEOUT) {
      if (!cancelled_) heldUp_ = true;
      return false;
    }
    noteFailure(err);
    return false;
  }

  // FlushFileBuffers waits until the transmit buffer is empty, without a time-out of its own: it
  // runs on a helper thread within the drain's limit, and is then cancelled and the output
  // discarded. The driver's queue is waited for first, so that a flush that discards instead of
  // waiting (Wine's does) costs no more than what the chip itself still holds.
  bool drain() override {
    size_t pending = unDrained_.exchange(0);
    if (pending == 0 || lost_) return true;
    const DWORD start = ::GetTickCount();
    const DWORD limit = drainLimitMs(pending, baud_);
    if (!drainQueue(start, limit)) return false;
    HANDLE own = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), port_, ::GetCurrentProcess(), &own, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
      return true;  // The driver's queue is empty; the chip's last bytes leave on their own.
    }
    HANDLE helper = ::CreateThread(nullptr, 0, flushThread, own, 0, nullptr);
    if (!helper) {
      ::CloseHandle(own);
      return true;
    }
    DWORD spent = ::GetTickCount() - start;
    if (::WaitForSingleObject(helper, spent < limit ? limit - spent : 0) == WAIT_OBJECT_0) {
      ::CloseHandle(helper);
      return true;
    }
    heldUp_ = true;
    ::CancelSynchronousIo(helper);
    ::PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR);
    // A flush that still does not end finishes by itself and closes its own handle.
    ::WaitForSingleObject(helper, 100);
    ::CloseHandle(helper);
    return false;
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
  bool lineHeldUp() const override { return heldUp_.load(); }

 private:
  // Waits until the driver's output queue is empty, until `limitMs` after `start`; then discards
  // it and says the line is held up.
  bool drainQueue(DWORD start, DWORD limitMs) {
    for (;;) {
      COMSTAT status{};
      DWORD errors = 0;
      if (!::ClearCommError(port_, &errors, &status) || status.cbOutQue == 0) return true;
      if (::GetTickCount() - start >= limitMs) break;
      ::Sleep(1);
    }
    heldUp_ = true;
    ::PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR);
    return false;
  }

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
  const uint32_t baud_;
  std::optional<DCB> found_;
  std::optional<COMMTIMEOUTS> foundTimeouts_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> lost_{false};
  std::atomic<bool> heldUp_{false};
  std::atomic<size_t> unDrained_{0};  // Bytes written since the last drain.
  std::mutex mutex_;                  // Guards inIo_.
  std::set<HANDLE> inIo_;
};

// A claim: a named object that exists while any run holds the port. Ownership of a mutex belongs
// to a thread, and a run's claim is taken and let go on different threads, so only the object's
// existence counts.
class NamedClaim final : public PortClaim {
 public:
  explicit NamedClaim(HANDLE object = nullptr) : object_(object) {}
  ~NamedClaim() override {
    if (object_) ::CloseHandle(object_);
  }
  bool held() const override { return object_ != nullptr; }

 private:
  const HANDLE object_;
};

// The port's name as one object name for all its spellings: without a "\\.\" or "\\?\"
// prefix, in capitals (Windows' names ignore case), without backslashes (they separate
// namespaces).
std::wstring claimKey(const std::string& path) {
  std::wstring key = toWide(path);
  for (const wchar_t* prefix : {L"\\\\.\\", L"\\\\?\\"}) {
    if (key.rfind(prefix, 0) == 0) key.erase(0, wcslen(prefix));
  }
  for (wchar_t& c : key) c = c == L'\\' ? L'/' : wchar_t(std::towupper(c));
  if (key.size() > 200) key = L"#" + std::to_wstring(std::hash<std::wstring>{}(key));
  return key;
}

// The two names a run's claim may have: global, so that runs in other sessions (a service,
// another user) meet it, and the session's own where the global namespace is not open to this
// program.
constexpr const wchar_t* kClaimSpaces[] = {L"Global\\kestrel-serial-", L"kestrel-serial-"};

// True when a run holds the claim on `path`: its object exists, under either name. The handle
// opened to look is closed at once.
bool claimedByARun(const std::string& path) {
  const std::wstring key = claimKey(path);
  for (const wchar_t* space : kClaimSpaces) {
    if (HANDLE object = ::OpenMutexW(SYNCHRONIZE, FALSE, (space + key).c_str())) {
      ::CloseHandle(object);
      return true;
    }
    // Another user's run holds it (its object is not open to this user).
    if (::GetLastError() == ERROR_ACCESS_DENIED) return true;
  }
  return false;
}

class WindowsSerialBackend final : public SerialBackend {
 public:
  std::unique_ptr<PortClaim> claim(const std::string& name, PortError* error) override {
    std::string path = resolveSerialPortName(name);
    if (path.empty()) {
      *error = {int(ERROR_FILE_NOT_FOUND), name + ": no such port"};
      return nullptr;
    }
    return claimSerialDevice(path, error);
  }

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
  // Only a comm device is a port: a file (a name, or a COM link, that leads to one) would get the
  // wake and probe bytes written over its first bytes.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (::GetFileType(port) != FILE_TYPE_CHAR || !::GetCommState(port, &dcb)) {
    ::CloseHandle(port);
    *error = {int(ERROR_INVALID_FUNCTION), path + ": not a serial port"};
    return nullptr;
  }
  // The line: the speed, 8 data bits, no parity bit, one stop bit, the parity check on, 0x00
  // bytes kept, binary; every other setting as the port had it. Refusals are not reported.
  std::optional<DCB> found = dcb;
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fParity = TRUE;
  dcb.fNull = FALSE;
  dcb.fBinary = TRUE;
  ::SetCommState(port, &dcb);
  std::optional<COMMTIMEOUTS> foundTimeouts;
  COMMTIMEOUTS timeouts{};
  if (::GetCommTimeouts(port, &timeouts)) foundTimeouts = timeouts;
  timeouts.ReadIntervalTimeout = kIntervalMs;
  timeouts.ReadTotalTimeoutMultiplier = kPerByteMs;
  timeouts.ReadTotalTimeoutConstant = kConstantMs;
  // No write waits for ever: a line held up (flow control) ends it after the bytes' time, and that
  // of full buffers ahead of them, plus a margin.
  timeouts.WriteTotalTimeoutMultiplier = lineTimeMs(1, baud);
  timeouts.WriteTotalTimeoutConstant = writeLimitMs(0, baud);
  ::SetCommTimeouts(port, &timeouts);
  ::PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  return std::make_unique<WindowsSerialPort>(port, baud, found, foundTimeouts);
}

std::unique_ptr<PortClaim> claimSerialDevice(const std::string& path, PortError* error) {
  const std::wstring key = claimKey(path);
  for (const wchar_t* space : kClaimSpaces) {
    HANDLE object = ::CreateMutexW(nullptr, FALSE, (space + key).c_str());
    DWORD err = ::GetLastError();
    if (object && err == ERROR_ALREADY_EXISTS) {
      ::CloseHandle(object);
      *error = {int(ERROR_SHARING_VIOLATION), path + ": in use by another program"};
      return nullptr;
    }
    // Another user's run holds it (its object is not open to this user).
    if (!object && err == ERROR_ACCESS_DENIED) {
      *error = {int(ERROR_SHARING_VIOLATION), path + ": in use by another program"};
      return nullptr;
    }
    if (object) return std::make_unique<NamedClaim>(object);
  }
  return std::make_unique<NamedClaim>();
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

namespace kestrel {
namespace {

// n of "COMn" (n from 1, no leading zero, any case), or 0.
unsigned comNumber(const std::wstring& name) {
  if (name.size() < 4 || _wcsnicmp(name.c_str(), L"COM", 3) != 0 || name[3] == L'0') return 0;
  unsigned n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < L'0' || name[i] > L'9' || n > 100000) return 0;
    n = n * 10 + unsigned(name[i] - L'0');
  }
  return n;
}

}  // namespace

PortProbe probeSerialDevice(const std::string& path, PortError* error) {
  // A run holds its port from the wake bytes to its end, closed for 100 ms between its two opens:
  // an open of ours in that gap would make the run's reopen fail. Its claim says so unopened.
  if (claimedByARun(path)) {
    *error = {int(ERROR_SHARING_VIOLATION), path + ": in use by another program"};
    return PortProbe::InUse;
  }
  HANDLE port = ::CreateFileW(toWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    DWORD err = ::GetLastError();
    // A port that another program has open is refused as access denied.
    if (err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION) {
      *error = {int(err), path + ": in use by another program"};
      return PortProbe::InUse;
    }
    *error = {int(err), path + ": " + windowsErrorText(err)};
    return PortProbe::Unopenable;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  PortProbe found = PortProbe::Openable;
  if (::GetFileType(port) != FILE_TYPE_CHAR || !::GetCommState(port, &dcb)) {
    *error = {int(ERROR_INVALID_HANDLE), path + ": not a serial port"};
    found = PortProbe::NotSerial;
  }
  ::CloseHandle(port);
  return found;
}

std::vector<std::string> systemSerialPortNames() {
  // Every name the system's device namespace holds, as a list of strings ending with an empty one.
  std::vector<wchar_t> names(1 << 16);
  DWORD n = 0;
  while ((n = ::QueryDosDeviceW(nullptr, names.data(), DWORD(names.size()))) == 0 &&
         ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 24)) {
    names.resize(names.size() * 4);
  }
  std::set<unsigned> numbers;
  for (const wchar_t* name = names.data(); n > 0 && *name; name += wcslen(name) + 1) {
    if (unsigned k = comNumber(name)) numbers.insert(k);
  }
  std::vector<std::string> ports;
  for (unsigned k : numbers) ports.push_back("COM" + std::to_string(k));
  return ports;
}

std::string serialDevicePathFor(const std::string& name) {
  std::wstring wide = toWide(name);
  std::wstring bare = wide;
  if (bare.size() > 4 && (bare.compare(0, 4, L"\\\\.\\") == 0 || bare.compare(0, 4, L"//./") == 0))
    bare = bare.substr(4);
  if (unsigned k = comNumber(bare)) return "\\\\.\\COM" + std::to_string(k);
  return name.find_first_of("\\/") != std::string::npos ? name : "";
}

}  // namespace kestrel
