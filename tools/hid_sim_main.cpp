// kestrel-hid-sim: one simulated USB boot loader in a process of its own, plugged into the
// simulated machine of a folder (see sim/hid_socket.h), for tests of whole programs through the
// tests' stand-in for the hidapi library. It appears when it has started and is gone when it ends;
// SIGUSR1 (or --unplug-at) unplugs it at once, mid-update too. SIGTERM and SIGINT end it.
//
// It reports on stdout, one JSON object a line:
//   {"event":"ready","path":NODE,"location":L,"serial":SN}     plugged in
//   {"event":"started","downloads":N}                         a start report came
//   {"event":"image","downloads":N,"length":L,"sha256":HEX}    a download reached its end; the
//                                                             flash is in --image FILE by now
//   {"event":"unplugged"}                                     gone before it was told to end
//   {"event":"end","connections":C,"reports":R,"downloads":N,"violations":[...]}

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "cli/sha256.h"
#include "platform/usb_location.h"
#include "sim/hid_boot_sim.h"
#include "sim/hid_socket.h"
#include "tool_usage.h"

namespace {

namespace fs = std::filesystem;
namespace hidsock = kestrel::sim::hidsock;
using kestrel::sim::HidBootSim;

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t unplugRequested = 0;

void onStop(int) {
  stopRequested = 1;
}
void onUnplug(int) {
  unplugRequested = 1;
}

constexpr const char* kProgram = "kestrel-hid-sim";

constexpr const char* kUsage =
    "usage: kestrel-hid-sim --dir DIR [--location LOC] [--serial SN] [--image FILE] [faults]\n"
    "       kestrel-hid-sim --help\n"
    "\n"
    "One simulated USB boot loader of a Kestrel device, plugged into the simulated machine in\n"
    "DIR: its node DIR/dev/hidrawN (flock() on it claims the device), its socket in DIR/run and\n"
    "sysfs entries in DIR/sys that put it at the USB port LOC. Programs find it through the\n"
    "tests' stand-in for the hidapi library (build/default/tests/hidapi-stand-in):\n"
    "\n"
    "  kestrel-hid-sim --dir /tmp/usb --location 1-3.2 --serial A1 &\n"
    "  LD_LIBRARY_PATH=build/default/tests/hidapi-stand-in KESTREL_HIDSIM_DIR=/tmp/usb \\\n"
    "    KESTREL_SYSFS_ROOT=/tmp/usb/sys kestrel-flash --port usb:1-3.2 fw.out\n"
    "\n"
    "options:\n"
    "  --dir DIR           the simulated machine's folder (made when missing)\n"
    "  --location LOC      the USB port, as Linux names it: bus-port[.port...] (\"1-3.2\");\n"
    "                      without it the device is not on USB and has no location\n"
    "  --serial SN         the USB serial number (none without it)\n"
    "  --vendor N, --product N, --version N\n"
    "                      what it lists itself as (0xFFFF, 0x0012, 0x0100)\n"
    "  --image FILE        write the flash there whenever a download reaches its end\n"
    "  --paced             one report each way per millisecond, as on the interrupt endpoint\n"
    "  -h, --help          this text\n"
    "faults (blocks count from 0 in the order sent, reports from 0, the start report):\n"
    "  --no-ack            acknowledges no block\n"
    "  --no-ack-at N       does not acknowledge the N-th block sent\n"
    "  --unplug-at N       is unplugged as the N-th report comes (as SIGUSR1 does at once)\n"
    "  --write-fail-at N --write-errno E\n"
    "                      the N-th report fails with the system error number E\n"
    "\n"
    "It prints one JSON object a line: \"ready\" (with its node), \"started\" for every start\n"
    "report, \"image\" (length and SHA-256 of the flash) for every download that reached its\n"
    "end, \"unplugged\", and \"end\" (connections, reports, downloads, protocol violations). It\n"
    "runs until SIGINT or SIGTERM, or until the program that started it ends, and takes its node\n"
    "and sysfs entries away at the end.\n";

struct Options {
  fs::path dir;
  std::string location;
  std::string serial;
  uint16_t vendor = 0xFFFF, product = 0x0012, version = 0x0100;
  fs::path image;
  kestrel::sim::HidFaults faults;
};

bool number(const char* text, long max, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 0);
  if (!*text || *end || errno || v < 0 || v > max) return false;
  *out = v;
  return true;
}

bool parse(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      return i + 1 < argc && !kestrel::tools::looksLikeOption(argv[i + 1]) ? argv[++i] : nullptr;
    };
    auto numeric = [&](long max, auto* to) {
      const char* v = value();
      long n = 0;
      if (!v || !number(v, max, &n)) {
        *error = a + " takes a number from 0 to " + std::to_string(max);
        return false;
      }
      *to = static_cast<std::remove_pointer_t<decltype(to)>>(n);
      return true;
    };
    auto text = [&](auto* to) {
      const char* v = value();
      if (!v) *error = a + " needs a value";
      if (v) *to = v;
      return v != nullptr;
    };
    if (a == "--dir") {
      if (!text(&o->dir)) return false;
    } else if (a == "--location") {
      if (!text(&o->location)) return false;
    } else if (a == "--serial") {
      if (!text(&o->serial)) return false;
    } else if (a == "--image") {
      if (!text(&o->image)) return false;
    } else if (a == "--vendor" || a == "--product" || a == "--version") {
      if (!numeric(0xFFFF, a == "--vendor"    ? &o->vendor
                           : a == "--product" ? &o->product
                                              : &o->version))
        return false;
    } else if (a == "--no-ack-at" || a == "--unplug-at" || a == "--write-fail-at") {
      int* to = a == "--no-ack-at"   ? &o->faults.noAckAt
                : a == "--unplug-at" ? &o->faults.unplugAt
                                     : &o->faults.writeFailAt;
      if (!numeric(1 << 20, to)) return false;
    } else if (a == "--write-errno") {
      if (!numeric(4095, &o->faults.writeErrno)) return false;
    } else if (a == "--no-ack") {
      o->faults.noAck = true;
    } else if (a == "--paced") {
      o->faults.paced = true;
    } else {
      *error = "unknown option '" + a + "'";
      return false;
    }
  }
  if (o->dir.empty()) {
    *error = "--dir is needed";
    return false;
  }
  if (!o->location.empty() && !kestrel::isUsbPortName(o->location)) {
    *error = "--location takes a USB port such as 1-3.2, not '" + o->location + "'";
    return false;
  }
  if (o->serial.find('\n') != std::string::npos) {
    *error = "--serial takes one line";
    return false;
  }
  return true;
}

void say(const nlohmann::ordered_json& event) {
  std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void makeFolders(const fs::path& p) {
  std::error_code ec;
  fs::create_directories(p, ec);  // another simulator may make the same folders at the same time
  if (!fs::is_directory(p)) throw fs::filesystem_error("cannot make the folder", p, ec);
}

// One simulated machine's view of this device: its node, socket and sysfs entries.
class Presence {
 public:
  explicit Presence(const Options& o) : o_(o) {}

  // Takes the lowest free node number (the socket's name is the reservation) and makes the
  // device appear, its node last. Returns the listening socket.
  int appear() {
    makeFolders(o_.dir / "dev");
    makeFolders(o_.dir / "run");
    for (int n = 0; n < 1024; ++n) {
      name_ = "hidraw" + std::to_string(n);
      socket_ = o_.dir / "run" / (name_ + ".sock");
      listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::string path = socket_.string();
      if (path.size() >= sizeof address.sun_path) throw std::runtime_error(path + ": too long");
      std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
      if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        number_ = n;
        break;
      }
      ::close(listener_);
      listener_ = -1;
      if (errno != EADDRINUSE) throw std::runtime_error(path + ": " + std::strerror(errno));
    }
    if (listener_ < 0 || ::listen(listener_, 16) != 0) throw std::runtime_error("no free node");
    makeSysfs();
    node_ = o_.dir / "dev" / name_;
    fs::path unfinished = o_.dir / "run" / (name_ + ".node");
    std::ofstream(unfinished) << hidsock::formatNode(
        {o_.vendor, o_.product, o_.version, o_.serial});
    fs::rename(unfinished, node_);
    return listener_;
  }

  // Unplugged: the node goes first, so that nobody finds a device that is going.
  void vanish() {
    if (number_ < 0) return;  // nothing of its own to take away
    std::error_code ec;
    if (!node_.empty()) fs::remove(node_, ec);
    fs::remove(o_.dir / "sys" / "class" / "hidraw" / name_, ec);
    if (!hidFolder_.empty()) fs::remove_all(hidFolder_, ec);
    fs::remove(o_.dir / "run" / (name_ + ".node"), ec);
    fs::remove(socket_, ec);
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    number_ = -1;
  }

  std::string node() const { return node_.string(); }

 private:
  // sysfs as the kernel makes it: the HID device in the folder of its USB interface, in that of
  // its USB device, in those of the hubs above it; the class entry leads to the node's folder,
  // whose "device" leads back up to the HID device.
  void makeSysfs() {
    fs::path devices = o_.dir / "sys" / "devices";
    fs::path usb;
    if (o_.location.empty()) {
      usb = devices / "virtual" / "misc" / "uhid";
    } else {
      std::string bus = o_.location.substr(0, o_.location.find('-'));
      usb = devices / "pci0000:00" / "0000:00:14.0" / ("usb" + bus);
      for (size_t at = o_.location.find('.');; at = o_.location.find('.', at + 1)) {
        usb /= o_.location.substr(0, at);
        if (at == std::string::npos) break;
      }
      usb /= o_.location + ":1.0";
    }
    char hid[32];
    std::snprintf(hid, sizeof hid, "0003:%04X:%04X.%04X", o_.vendor, o_.product, number_ + 1);
    hidFolder_ = usb / hid;
    fs::path nodeFolder = hidFolder_ / "hidraw" / name_;
    makeFolders(nodeFolder);
    fs::create_directory_symlink("../..", nodeFolder / "device");
    makeFolders(o_.dir / "sys" / "class" / "hidraw");
    fs::create_directory_symlink(fs::relative(nodeFolder, o_.dir / "sys" / "class" / "hidraw"),
                                 o_.dir / "sys" / "class" / "hidraw" / name_);
  }

  const Options& o_;
  std::string name_;
  int number_ = -1;
  int listener_ = -1;
  fs::path socket_, node_, hidFolder_;
};

// The open handles: a connection each, served by a thread of its own.
class Connections {
 public:
  explicit Connections(HidBootSim& sim) : sim_(sim) {}
  ~Connections() { end(); }

  void accept(int listener) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::lock_guard lock(mutex_);
    fds_.push_back(fd);
    ++accepted_;
    threads_.emplace_back([this, fd] { serve(fd); });
  }

  // An input report for every open handle, as hidraw gives one to every reader; a handle whose
  // queue is full misses it.
  void broadcast(const uint8_t* report, size_t n) {
    std::vector<uint8_t> message{hidsock::kInput};
    message.insert(message.end(), report + 1, report + n);
    std::lock_guard lock(mutex_);
    for (int fd : fds_) ::send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  }

  // Closes every connection, which the other ends see as a hang-up, and waits for the threads.
  void end() {
    ending_ = true;
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
      threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
    std::lock_guard lock(mutex_);
    for (int fd : fds_) ::close(fd);
    fds_.clear();
  }

  int accepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
  }
  bool goneSeen() const { return gone_; }

 private:
  void serve(int fd) {
    std::unique_ptr<kestrel::HidDevice> handle =
        sim_.open(kestrel::sim::kBootLoaderPath, kestrel::HidUse::Write);
    uint8_t report[hidsock::kMaxMessage];
    while (!ending_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::recv(fd, report, sizeof report, 0);
      if (n <= 0) return;
      kestrel::HidError err;
      bool written = handle && handle->write(report, size_t(n), &err);
      int32_t code = written ? 0 : handle ? err.error : ENODEV;
      if (!written && (!handle || err.deviceGone)) gone_ = true;
      uint8_t answer[1 + sizeof code] = {hidsock::kWritten};
      std::memcpy(answer + 1, &code, sizeof code);
      ::send(fd, answer, sizeof answer, MSG_NOSIGNAL);
    }
  }

  HidBootSim& sim_;
  std::atomic<bool> ending_{false};
  std::atomic<bool> gone_{false};
  mutable std::mutex mutex_;  // Guards fds_, threads_ and accepted_.
  std::vector<int> fds_;
  std::vector<std::thread> threads_;
  int accepted_ = 0;
};

void writeImage(const fs::path& file, const std::vector<uint8_t>& bytes) {
  fs::path unfinished = file;
  unfinished += ".part";
  std::ofstream(unfinished, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  fs::rename(unfinished, file);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (!parse(argc, argv, &o, &error)) return kestrel::tools::usageError(kProgram, error);
  std::signal(SIGTERM, onStop);
  std::signal(SIGINT, onStop);
  std::signal(SIGUSR1, onUnplug);
  std::signal(SIGPIPE, SIG_IGN);
  // A test that dies takes its boot loaders with it: none is left plugged in and running.
  const pid_t parent = ::getppid();
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) return 0;

  HidBootSim sim({HidBootSim::bootLoader()}, o.faults);
  Presence presence(o);
  int listener;
  try {
    listener = presence.appear();
  } catch (const std::exception& e) {
    presence.vanish();
    std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    return 1;
  }
  say({{"event", "ready"},
       {"path", presence.node()},
       {"location", o.location},
       {"serial", o.serial}});

  Connections connections(sim);
  std::atomic<bool> reading{true};
  // The boot loader's answers go to every open handle.
  std::thread reader([&] {
    std::unique_ptr<kestrel::HidDevice> handle =
        sim.open(kestrel::sim::kBootLoaderPath, kestrel::HidUse::Read);
    uint8_t report[65];
    while (reading && handle) {
      kestrel::HidError err;
      int n = handle->read(report, sizeof report, 50, &err);
      if (n > 1) connections.broadcast(report, size_t(n));
      if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });

  int reported = 0, starts = 0;
  bool unplugged = false;
  while (!stopRequested) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) connections.accept(listener);
    for (int started = sim.startReports(); starts < started;) {
      say({{"event", "started"}, {"downloads", ++starts}});
    }
    int finished = sim.finishedDownloads();
    if (finished > reported) {
      reported = finished;
      std::vector<uint8_t> flash = sim.image();
      if (!o.image.empty()) writeImage(o.image, flash);
      say({{"event", "image"},
           {"downloads", finished},
           {"length", flash.size()},
           {"sha256", kestrel::sha256Hex(flash.data(), flash.size())}});
    }
    if (unplugRequested || sim.unplugged() || connections.goneSeen()) {
      sim.unplug();
      unplugged = true;
      break;
    }
  }
  presence.vanish();
  connections.end();
  reading = false;
  reader.join();
  if (unplugged) say({{"event", "unplugged"}});
  say({{"event", "end"},
       {"connections", connections.accepted()},
       {"reports", sim.reportsWritten()},
       {"downloads", sim.finishedDownloads()},
       {"violations", sim.violations()}});
  return 0;
}
