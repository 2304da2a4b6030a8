// The serial backend over POSIX termios.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/backends.h"
#include "platform_api/serial_port.h"

namespace kestrel {
namespace {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

constexpr int kIntervalMs = 30;
constexpr int kPerByteMs = 10;
constexpr int kConstantMs = 200;

// The test hook of setReadWaitHook, and whether one is set (so that a read without one takes no
// lock).
std::mutex readWaitHookMutex;  // Guards readWaitHook.
std::function<void()> readWaitHook;
std::atomic<bool> readWaitHookSet{false};

void readWaitBegins() {
  if (!readWaitHookSet.load()) return;
  std::function<void()> hook;
  {
    std::lock_guard lock(readWaitHookMutex);
    hook = readWaitHook;
  }
  if (hook) hook();
}

PortError describe(const std::string& path, int err) {
  return {err, path + ": " + std::strerror(err)};
}

speed_t speedFor(uint32_t baud) {
  switch (baud) {
    case 115200:
      return B115200;
    case 57600:
      return B57600;
    case 38400:
      return B38400;
    case 19200:
      return B19200;
    case 4800:
      return B4800;
    case 2400:
      return B2400;
    default:
      return B9600;
  }
}

// One tcdrain() on its own thread: the call has no time-out of its own and waits for the
// transmitter, which flow control can hold for ever.
class DrainWait {
 public:
  // Waits up to `limit` for the drain to end. True when it has.
  bool waitFor(Ms limit) {
    std::unique_lock lock(mutex_);
    return ended_cv_.wait_for(lock, limit, [this] { return ended_; });
  }
  void end() {
    std::lock_guard lock(mutex_);
    ended_ = true;
    ended_cv_.notify_all();
  }

 private:
  std::mutex mutex_;  // Guards ended_.
  std::condition_variable ended_cv_;
  bool ended_ = false;
};

class PosixSerialPort final : public SerialPort {
 public:
  // `found` holds the line's settings as the port had them before this program set it up.
  PosixSerialPort(int fd, int wakeFd, uint32_t baud, std::optional<termios> found)
      : fd_(fd), wakeFd_(wakeFd), baud_(baud), found_(found) {}

  ~PosixSerialPort() override {
    // The drain is bounded, so the settings go back at once after it (TCSADRAIN could wait for a
    // held-up line without end).
    drain();
    // The line goes back to how it was found: a terminal given as the port stays usable.
    if (found_) ::tcsetattr(fd_, TCSANOW, &*found_);
    ::ioctl(fd_, TIOCNXCL);
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    ::close(wakeFd_);
  }

  bool write(const uint8_t* data, size_t n) override {
    const auto deadline = SteadyClock::now() + Ms(writeLimitMs(n, baud_));
    size_t done = 0;
    while (done < n) {
      if (cancelled_.load()) return false;
      ssize_t r = ::write(fd_, data + done, n - done);
      if (r > 0) {
        done += size_t(r);
        unDrained_ += size_t(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EAGAIN) return false;
      // The driver's buffer is full: wait until it takes more, the port is cancelled, or the
      // line has taken nothing for longer than the bytes can take.
      auto now = SteadyClock::now();
      int ready = now < deadline ? waitFor(POLLOUT, msUntil(deadline)) : 0;
      if (ready == 0) {
        heldUp_ = true;
        return false;
      }
      if (ready < 0) return false;
    }
    return true;
  }

  bool drain() override {
    size_t pending = unDrained_.exchange(0);
    if (pending == 0 || lost_.load()) return true;
    try {
      return drainWithin(Ms(drainLimitMs(pending, baud_)));
    } catch (const std::exception&) {
      // No thread (or no memory) for the wait: the driver's own count has to do.
      return drainQueue(Ms(drainLimitMs(pending, baud_)));
    }
  }

  int read(uint8_t* data, size_t n) override {
    if (n == 0) return 0;
    const auto start = SteadyClock::now();
    const auto deadline = start + Ms(kPerByteMs * int64_t(n) + kConstantMs);
    size_t got = 0;
    while (got < n) {
      auto now = SteadyClock::now();
      if (now >= deadline) break;
      int64_t left = msUntil(deadline);
      int timeout = int(got == 0 ? left : std::min<int64_t>(kIntervalMs, left));
      int ready = waitFor(POLLIN, timeout);
      if (ready == 0) break;  // No byte within the time-out or the interval.
      if (ready < 0) {
        if (got > 0) break;
        // A failed port returns only when a read would have: callers loop on reads.
        sleepUntilCancelled(deadline);
        return -1;
      }
      ssize_t r = ::read(fd_, data + got, n - got);
      if (r > 0) {
        got += size_t(r);
      } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
        continue;
      } else {
        if (!cancelled_.load()) lost_ = true;
        if (got > 0) break;
        sleepUntilCancelled(deadline);
        return -1;
      }
    }
    return int(got);
  }

  void purge() override { ::tcflush(fd_, TCIOFLUSH); }

  bool lineLost() const override { return lost_.load(); }
  bool lineHeldUp() const override { return heldUp_.load(); }

  void cancel() override {
    cancelled_ = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wakeFd_, &one, sizeof one);
  }

 private:
  static int msUntil(SteadyClock::time_point deadline) {
    auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now()).count();
    return int(std::max<int64_t>(0, left) + 1);
  }

  // Waits for `events` on the port. 1 when ready, 0 on time-out, -1 when the port failed or was
  // cancelled.
  int waitFor(short events, int timeoutMs) {
    for (;;) {
      if (cancelled_.load()) return -1;
      if (events == POLLIN) readWaitBegins();
      pollfd fds[2] = {{fd_, events, 0}, {wakeFd_, POLLIN, 0}};
      int r = ::poll(fds, 2, timeoutMs);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -1;
      if (r == 0) return 0;
      if (fds[1].revents != 0 || cancelled_.load()) return -1;
      if (fds[0].revents & events) return 1;
      lost_ = true;  // POLLHUP, POLLERR or POLLNVAL without data: the line is gone.
      return -1;
    }
  }

  // tcdrain() on a descriptor of its own, on a helper thread, for at most `limit`. When the limit
  // passes, the output still waiting is discarded, which ends the drain on a UART; a drain that
  // still does not end is left to finish by itself with its own descriptor, so the port can close.
  bool drainWithin(Ms limit) {
    int own = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return drainQueue(limit);
    auto wait = std::make_shared<DrainWait>();
    std::thread helper;
    try {
      helper = std::thread([own, wait] {
        ::tcdrain(own);
        ::close(own);
        wait->end();
      });
    } catch (...) {
      ::close(own);
      throw;
    }
    if (wait->waitFor(limit)) {
      helper.join();
      return true;
    }
    heldUp_ = true;
    ::tcflush(fd_, TCOFLUSH);
    if (wait->waitFor(Ms(100))) {
      helper.join();
    } else {
      helper.detach();
    }
    return false;
  }

  // Without a helper thread: waits until the driver's buffer is empty (the chip's FIFO may still
  // hold a few bytes), for at most `limit`.
  bool drainQueue(Ms limit) {
    const auto deadline = SteadyClock::now() + limit;
    int queued = 0;
    while (::ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0) {
      if (SteadyClock::now() >= deadline) {
        heldUp_ = true;
        ::tcflush(fd_, TCOFLUSH);
        return false;
      }
      ::usleep(1000);
    }
    return true;
  }

  void sleepUntilCancelled(SteadyClock::time_point deadline) {
    auto now = SteadyClock::now();
    if (now >= deadline || cancelled_.load()) return;
    pollfd fd = {wakeFd_, POLLIN, 0};
    ::poll(&fd, 1, int(std::chrono::duration_cast<Ms>(deadline - now).count()) + 1);
  }

  const int fd_;
  const int wakeFd_;
  const uint32_t baud_;
  const std::optional<termios> found_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> lost_{false};
  std::atomic<bool> heldUp_{false};
  std::atomic<size_t> unDrained_{0};  // Bytes written since the last drain.
};

// A claim: the lock file's descriptor with the lock on it, or none where no lock could be had.
class LockFileClaim final : public PortClaim {
 public:
  explicit LockFileClaim(int fd = -1) : fd_(fd) {}
  ~LockFileClaim() override {
    if (fd_ >= 0) ::close(fd_);
  }
  bool held() const override { return fd_ >= 0; }

 private:
  const int fd_;
};

std::string lockFolder() {
  const char* dir = std::getenv("KESTREL_LOCK_DIR");
  return dir && *dir ? dir : "/run/lock";
}

// The claim's lock file for the character device `device`: by the device's number, so that every
// name of one device (links, /dev/serial/by-id) meets.
std::string lockFileFor(dev_t device) {
  char name[64];
  std::snprintf(name, sizeof name, "/kestrel-tty-%u-%u.lock", ::major(device), ::minor(device));
  return lockFolder() + name;
}

// True when a run holds the claim on the device at `path`. Makes no lock file; the shared lock it
// tries is let go at once.
bool claimedByARun(const std::string& path) {
  struct stat device {};
  if (::stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return false;
  int fd =
      ::open(lockFileFor(device.st_rdev).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool claimed = false;
  struct stat lock {};
  if (::fstat(fd, &lock) == 0 && S_ISREG(lock.st_mode)) {
    int r;
    do {
      r = ::flock(fd, LOCK_SH | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    claimed = r != 0 && errno == EWOULDBLOCK;
  }
  ::close(fd);
  return claimed;
}

// Opens the lock file at `path`, making it when it is not there; -1 when it cannot be had.
int openLockFile(const std::string& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    // No O_CREAT for a file that is there: in a sticky folder the system refuses it for another
    // user's file. O_NOFOLLOW and O_NONBLOCK: a link or a FIFO planted under the name leads
    // nowhere and holds nothing up.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                0644);
    if (fd >= 0) {
      ::fchmod(fd, 0644);  // whatever the umask: other users' runs must be able to open it
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

int unitNumber(const std::string& name, const std::string& prefix) {
  return std::atoi(name.c_str() + prefix.size());
}

// Built-in UARTs: every /dev/ttyS* node exists, but only those with a UART behind them count.
bool hasUart(const std::string& node) {
  std::string path = "/sys/class/tty/" + node + "/type";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char text[16] = {};
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  return n <= 0 || std::atoi(text) != 0;
}

std::vector<std::string> presentPorts() {
  std::vector<std::string> ports;
  for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
      std::string name = entry.path().filename().string();
      if (name.rfind(prefix, 0) != 0 || name.size() == std::strlen(prefix)) continue;
      if (!std::all_of(name.begin() + long(std::strlen(prefix)), name.end(), ::isdigit)) continue;
      if (std::string(prefix) == "ttyS" && !hasUart(name)) continue;
      found.push_back(name);
    }
    std::sort(found.begin(), found.end(), [prefix](const std::string& a, const std::string& b) {
      return unitNumber(a, prefix) < unitNumber(b, prefix);
    });
    for (auto& f : found) ports.push_back("/dev/" + f);
  }
  return ports;
}

class PosixSerialBackend final : public SerialBackend {
 public:
  std::unique_ptr<PortClaim> claim(const std::string& name, PortError* error) override {
    std::string path = resolveSerialPortName(name);
    if (path.empty()) {
      *error = {ENOENT, name + ": no such port"};
      return nullptr;
    }
    return claimSerialDevice(path, error);
  }

  std::unique_ptr<SerialPort> open(const std::string& name, uint32_t baud,
                                   PortError* error) override {
    std::string path = resolveSerialPortName(name);
    if (path.empty()) {
      *error = {ENOENT, name + ": no such port"};
      return nullptr;
    }
    return openSerialDevice(path, baud, error);
  }
};

}  // namespace

std::unique_ptr<SerialPort> openSerialDevice(const std::string& path, uint32_t baud,
                                             PortError* error) {
  // O_NONBLOCK: the open must not wait for a carrier, and writes must stay cancellable.
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = describe(path, errno);
    return nullptr;
  }
  if (!::isatty(fd)) {
    *error = {ENOTTY, path + ": not a serial port"};
    ::close(fd);
    return nullptr;
  }
  // Root ignores TIOCEXCL, so an advisory lock keeps a second opener out as well.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = {EBUSY, path + ": in use by another program"};
    ::close(fd);
    return nullptr;
  }
  // Not every tty driver supports exclusive mode; the lock above holds either way.
  (void)::ioctl(fd, TIOCEXCL);
  termios tio{};
  std::optional<termios> found;
  if (::tcgetattr(fd, &tio) == 0) {
    found = tio;
    // Raw bytes both ways: nothing translated, echoed, edited or eaten by software flow
    // control. Hardware flow control and the modem lines stay as found.
    tio.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                             IXOFF | IXANY | IMAXBEL);
    tio.c_oflag &= ~tcflag_t(OPOST);
    tio.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speedFor(baud));
    ::cfsetospeed(&tio, speedFor(baud));
    ::tcsetattr(fd, TCSANOW, &tio);
  }
  // Stale input goes. Output needs no purge here: every close drains what this program wrote, and
  // on a pseudo-terminal flushing it would discard what the far end has not read yet.
  ::tcflush(fd, TCIFLUSH);
  int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    *error = describe(path, errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixSerialPort>(fd, wakeFd, baud, found);
}

std::unique_ptr<PortClaim> claimSerialDevice(const std::string& path, PortError* error) {
  struct stat device {};
  // Nothing to claim where there is no device: the open says what the name leads to.
  if (::stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) {
    return std::make_unique<LockFileClaim>();
  }
  int fd = openLockFile(lockFileFor(device.st_rdev));
  // A lock folder that cannot be written: each open's own lock is all there is.
  if (fd < 0) return std::make_unique<LockFileClaim>();
  struct stat lock {};
  if (::fstat(fd, &lock) != 0 || !S_ISREG(lock.st_mode)) {
    ::close(fd);
    return std::make_unique<LockFileClaim>();
  }
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::make_unique<LockFileClaim>(fd);
    if (errno == EINTR) continue;
    int err = errno;
    ::close(fd);
    if (err != EWOULDBLOCK) return std::make_unique<LockFileClaim>();
    *error = {EBUSY, path + ": in use by another program"};
    return nullptr;
  }
}

std::string resolveSerialPortName(const std::string& name) {
  std::optional<int> n = comPortNumber(name);
  if (!n) return "";
  if (const char* dir = std::getenv("KESTREL_COM_DIR"); dir && *dir) {
    return std::string(dir) + "/" + name;
  }
  auto ports = presentPorts();
  if (size_t(*n) > ports.size()) return "";
  return ports[size_t(*n) - 1];
}

void setReadWaitHook(std::function<void()> hook) {
  std::lock_guard lock(readWaitHookMutex);
  readWaitHookSet = bool(hook);
  readWaitHook = std::move(hook);
}

SerialBackend& posixSerialBackend() {
  static PosixSerialBackend backend;
  return backend;
}

SerialBackend& serialBackend() {
  return posixSerialBackend();
}

}  // namespace kestrel

namespace kestrel {

PortProbe probeSerialDevice(const std::string& path, PortError* error) {
  // A run holds its port from the wake bytes to its end, closed for 100 ms between its two opens:
  // an open of ours in that gap would make the run's reopen fail. Its claim says so unopened.
  if (claimedByARun(path)) {
    *error = {EBUSY, path + ": in use by another program"};
    return PortProbe::InUse;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    *error = describe(path, err);
    struct stat st {};
    // /dev/tty leads to the controlling terminal, and a program run without one has none.
    if (err == ENXIO && ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
        st.st_rdev == makedev(5, 0)) {
      error->text = path + ": this program has no controlling terminal";
    }
    if (err == EBUSY) {
      *error = {EBUSY, path + ": in use by another program"};
      return PortProbe::InUse;
    }
    return PortProbe::Unopenable;
  }
  PortProbe found = PortProbe::Openable;
  int exclusive = 0;
  if (!::isatty(fd)) {
    *error = {ENOTTY, path + ": not a serial port"};
    found = PortProbe::NotSerial;
  } else if ((::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) ||
             ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // Held exclusively (root's open passes that), or locked as this program locks its port.
    *error = {EBUSY, path + ": in use by another program"};
    found = PortProbe::InUse;
  } else {
    ::flock(fd, LOCK_UN);
  }
  ::close(fd);
  return found;
}

std::vector<std::string> systemSerialPortNames() {
  return {};
}

std::string serialDevicePathFor(const std::string& name) {
  return name.find('/') != std::string::npos ? name : "";
}

}  // namespace kestrel
