// A stand-in for the hidapi library, for tests only: built as libhidapi-hidraw.so.0 in a folder of
// its own, which a test puts first in LD_LIBRARY_PATH of a program it starts, so that the program's
// own HID backend, unchanged, runs against simulated boot loaders in processes of their own
// (kestrel-hid-sim, see sim/hid_socket.h). Never installed.
//
// It behaves as the hidraw backend does where the program looks: paths of nodes, a report ID in
// front of every written report and none in front of a read one, -1 on a hang-up, errno ENODEV
// for a write to a device that has gone.

#include <dirent.h>
#include <hidapi/hidapi.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/hid_socket.h"

namespace hidsock = kestrel::sim::hidsock;

struct hid_device_ {
  int fd = -1;
  hid_device_info* info = nullptr;
  bool blocking = true;
  std::deque<std::vector<unsigned char>> input;  // Reports that came while a write waited.
  std::wstring error;
};

namespace {

// As many reports as hidraw keeps for a reader that does not read; later ones are dropped.
constexpr size_t kInputQueue = 64;
// The longest a write waits for the device to take its report.
constexpr int kWriteTimeoutMs = 5000;

wchar_t* wideCopy(const std::string& utf8) {
  std::wstring wide;
  for (size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra && i + size_t(k) < utf8.size(); ++k) {
      code = code << 6 | (static_cast<unsigned char>(utf8[i + size_t(k)]) & 0x3F);
    }
    wide += wchar_t(code);
    i += size_t(extra) + 1;
  }
  return ::wcsdup(wide.c_str());
}

bool readNode(const std::string& path, hidsock::NodeInfo* info) {
  std::ifstream in(path);
  if (!in) return false;
  std::stringstream text;
  text << in.rdbuf();
  return hidsock::parseNode(text.str(), info);
}

hid_device_info* infoFor(const std::string& path, const hidsock::NodeInfo& node) {
  auto* d = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
  d->path = ::strdup(path.c_str());
  d->vendor_id = node.vendor;
  d->product_id = node.product;
  d->release_number = node.release;
  d->serial_number = wideCopy(node.serial);
  d->manufacturer_string = wideCopy("Kestrel test");
  d->product_string = wideCopy("simulated boot loader");
  d->usage_page = 0xFF00;
  d->usage = 0x0001;
  d->interface_number = 0;
  d->bus_type = HID_API_BUS_USB;
  return d;
}

void freeInfo(hid_device_info* d) {
  std::free(d->path);
  std::free(d->serial_number);
  std::free(d->manufacturer_string);
  std::free(d->product_string);
  std::free(d);
}

// The number of a node named "hidrawN", or -1.
long nodeNumber(const char* name) {
  if (std::strncmp(name, "hidraw", 6) != 0 || !name[6]) return -1;
  char* end = nullptr;
  long n = std::strtol(name + 6, &end, 10);
  return *end ? -1 : n;
}

// One message from the device: true with its bytes, false on a hang-up or when `timeoutMs` (-1:
// none) passes with *timedOut set.
bool receive(hid_device* dev, std::vector<unsigned char>* message, int timeoutMs, bool* timedOut) {
  *timedOut = false;
  pollfd p{dev->fd, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r == 0) {
    *timedOut = true;
    return false;
  }
  if (r < 0) return false;
  unsigned char buf[hidsock::kMaxMessage];
  ssize_t n;
  do {
    n = ::recv(dev->fd, buf, sizeof buf, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  message->assign(buf, buf + n);
  return true;
}

void keepInput(hid_device* dev, const std::vector<unsigned char>& message) {
  if (dev->input.size() < kInputQueue) dev->input.emplace_back(message.begin() + 1, message.end());
}

}  // namespace

extern "C" {

int HID_API_EXPORT hid_init(void) {
  return 0;
}

int HID_API_EXPORT hid_exit(void) {
  return 0;
}

struct hid_device_info HID_API_EXPORT* hid_enumerate(unsigned short vendor_id,
                                                     unsigned short product_id) {
  const char* dir = std::getenv(hidsock::kDirVariable);
  if (!dir) return nullptr;
  std::string devDir = std::string(dir) + "/dev";
  DIR* d = ::opendir(devDir.c_str());
  if (!d) return nullptr;
  std::vector<std::pair<long, std::string>> nodes;
  while (dirent* e = ::readdir(d)) {
    long n = nodeNumber(e->d_name);
    if (n >= 0) nodes.emplace_back(n, devDir + "/" + e->d_name);
  }
  ::closedir(d);
  std::sort(nodes.begin(), nodes.end());
  hid_device_info* first = nullptr;
  hid_device_info** next = &first;
  for (const auto& [n, path] : nodes) {
    hidsock::NodeInfo node;
    if (!readNode(path, &node)) continue;
    if ((vendor_id && node.vendor != vendor_id) || (product_id && node.product != product_id)) {
      continue;
    }
    *next = infoFor(path, node);
    next = &(*next)->next;
  }
  return first;
}

void HID_API_EXPORT hid_free_enumeration(struct hid_device_info* devs) {
  while (devs) {
    hid_device_info* next = devs->next;
    freeInfo(devs);
    devs = next;
  }
}

hid_device* HID_API_EXPORT hid_open_path(const char* path) {
  hidsock::NodeInfo node;
  if (!path || !readNode(path, &node)) {
    errno = ENOENT;
    return nullptr;
  }
  std::string socketPath = hidsock::socketOf(path);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int err = errno;
    ::close(fd);
    errno = err == ECONNREFUSED ? ENODEV : err;
    return nullptr;
  }
  auto* dev = new hid_device;
  dev->fd = fd;
  dev->info = infoFor(path, node);
  return dev;
}

hid_device* HID_API_EXPORT hid_open(unsigned short vendor_id, unsigned short product_id,
                                    const wchar_t* serial_number) {
  hid_device_info* list = hid_enumerate(vendor_id, product_id);
  hid_device* dev = nullptr;
  for (hid_device_info* d = list; d && !dev; d = d->next) {
    if (serial_number && std::wcscmp(serial_number, d->serial_number) != 0) continue;
    dev = hid_open_path(d->path);
  }
  hid_free_enumeration(list);
  return dev;
}

void HID_API_EXPORT hid_close(hid_device* dev) {
  if (!dev) return;
  ::close(dev->fd);
  freeInfo(dev->info);
  delete dev;
}

int HID_API_EXPORT hid_write(hid_device* dev, const unsigned char* data, size_t length) {
  ssize_t sent;
  do {
    sent = ::send(dev->fd, data, length, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    // The device closed the connection: it has been unplugged.
    if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) errno = ENODEV;
    dev->error = L"write failed";
    return -1;
  }
  // Written once the device says so; input that comes meanwhile waits for the next read.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    std::vector<unsigned char> message;
    bool timedOut = false;
    if (!receive(dev, &message, int(std::max<long long>(0, left.count())), &timedOut)) {
      errno = timedOut ? ETIMEDOUT : ENODEV;
      dev->error = timedOut ? L"write timed out" : L"device gone";
      return -1;
    }
    if (message[0] == hidsock::kInput) {
      keepInput(dev, message);
      continue;
    }
    int32_t err = 0;
    if (message[0] != hidsock::kWritten || message.size() != 1 + sizeof err) {
      errno = EPROTO;
      return -1;
    }
    std::memcpy(&err, message.data() + 1, sizeof err);
    if (err == 0) return int(length);
    errno = err;
    dev->error = L"write refused by the device";
    return -1;
  }
}

int HID_API_EXPORT hid_read_timeout(hid_device* dev, unsigned char* data, size_t length,
                                    int milliseconds) {
  const int entry = errno;
  auto deliver = [&](const std::vector<unsigned char>& report) {
    size_t n = std::min(length, report.size());
    std::memcpy(data, report.data(), n);
    return int(n);
  };
  if (!dev->input.empty()) {
    std::vector<unsigned char> report = std::move(dev->input.front());
    dev->input.pop_front();
    return deliver(report);
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int wait =
        milliseconds < 0
            ? -1
            : int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                             until - std::chrono::steady_clock::now())
                                             .count()));
    std::vector<unsigned char> message;
    bool timedOut = false;
    if (!receive(dev, &message, wait, &timedOut)) {
      if (timedOut) return 0;
      // As hidapi does on a hang-up of the node: -1, with errno as it was.
      errno = entry;
      dev->error = L"device gone";
      return -1;
    }
    if (message[0] != hidsock::kInput) continue;
    return deliver(std::vector<unsigned char>(message.begin() + 1, message.end()));
  }
}

int HID_API_EXPORT hid_read(hid_device* dev, unsigned char* data, size_t length) {
  return hid_read_timeout(dev, data, length, dev->blocking ? -1 : 0);
}

int HID_API_EXPORT hid_set_nonblocking(hid_device* dev, int nonblock) {
  dev->blocking = !nonblock;
  return 0;
}

// What the simulated boot loader does not have.
int HID_API_EXPORT hid_send_feature_report(hid_device* dev, const unsigned char*, size_t) {
  dev->error = L"not available in the simulator";
  errno = EPIPE;
  return -1;
}
int HID_API_EXPORT hid_get_feature_report(hid_device* dev, unsigned char*, size_t) {
  return hid_send_feature_report(dev, nullptr, 0);
}
int HID_API_EXPORT hid_get_input_report(hid_device* dev, unsigned char*, size_t) {
  return hid_send_feature_report(dev, nullptr, 0);
}
int HID_API_EXPORT hid_get_indexed_string(hid_device* dev, int, wchar_t*, size_t) {
  return hid_send_feature_report(dev, nullptr, 0);
}

namespace {
int copyString(const wchar_t* from, wchar_t* to, size_t max) {
  if (!to || max == 0) return -1;
  std::wcsncpy(to, from ? from : L"", max);
  to[max - 1] = L'\0';
  return 0;
}
}  // namespace

int HID_API_EXPORT hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  return copyString(dev->info->manufacturer_string, string, maxlen);
}
int HID_API_EXPORT hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  return copyString(dev->info->product_string, string, maxlen);
}
int HID_API_EXPORT hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  return copyString(dev->info->serial_number, string, maxlen);
}

struct hid_device_info HID_API_EXPORT* hid_get_device_info(hid_device* dev) {
  return dev->info;
}

const wchar_t* HID_API_EXPORT hid_error(hid_device* dev) {
  if (!dev) return L"hid_error for the library is not available in the simulator";
  return dev->error.empty() ? L"Success" : dev->error.c_str();
}

const struct hid_api_version* HID_API_EXPORT hid_version(void) {
  static const hid_api_version version = {HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR,
                                          HID_API_VERSION_PATCH};
  return &version;
}

const char* HID_API_EXPORT hid_version_str(void) {
  return HID_API_VERSION_STR;
}

}  // extern "C"
