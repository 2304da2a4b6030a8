#include "cli/flash_command.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/update_commands.h"
#include "cli/console_window.h"
#include "cli/sha256.h"
#include "hid/hid_link.h"
#include "image/download_image.h"
#include "image/elf_image_extractor.h"
#include "platform/clock.h"
#include "platform/hid_device.h"
#include "platform/serial_port.h"
#include "serial/serial_session.h"

namespace kestrel {
namespace {

constexpr const char* kUsage =
    "usage: kestrel-flash [options] FILE.out\n"
    "       kestrel-flash --list\n"
    "\n"
    "Converts FILE.out into the flat image FILE.bin beside it and downloads it to the device's\n"
    "boot loader, exactly as Kestrel Utility's \"Run \" does.\n"
    "\n"
    "options:\n"
    "  --port usb|COMn|/dev/PATH  the link: the USB boot loader (default), COM1 to COM9 (mapped\n"
    "                             as in the window; KESTREL_COM_DIR applies) or a serial device\n"
    "  --search-timeout SECONDS   give up the serial search after this long (default 30)\n"
    "  --dry-run                  convert and show the image; touch no device\n"
    "  --list                     show the serial ports and USB boot loaders present\n"
    "  --json                     one JSON object per line for every event\n"
    "  --quiet                    print nothing but a failure\n"
    "  --help                     this text\n"
    "\n"
    "exit codes:\n"
    "  0 success          1 other failure (image file, memory, I/O error on the link)\n"
    "  2 bad usage        3 conversion refused   4 port or device not found or not openable\n"
    "  5 no answer to the serial search           6 no acknowledgement from the device\n"
    "  7 device gone during the update            130 interrupted\n";

constexpr const char* kDialoutHint =
    "the port exists but this user may not open it: add yourself to the dialout group "
    "(sudo adduser $USER dialout) and log in again";
constexpr const char* kUdevHint =
    "a HID device exists that this user may not open: install the udev rule "
    "(sudo cp 60-kestrel-bootloader.rules /etc/udev/rules.d/ && sudo udevadm control --reload "
    "&& sudo udevadm trigger), then plug the device in again";

struct Options {
  std::string port = "usb";
  std::string file;
  double searchTimeout = 30;
  bool dryRun = false;
  bool list = false;
  bool json = false;
  bool quiet = false;
  bool help = false;
};

bool parse(const std::vector<std::string>& args, Options* o, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--port") {
      if (!value(&o->port)) return false;
    } else if (a == "--search-timeout") {
      if (!value(&v)) return false;
      char* end = nullptr;
      o->searchTimeout = std::strtod(v.c_str(), &end);
      if (v.empty() || *end || o->searchTimeout <= 0) {
        *error = "--search-timeout takes a number of seconds above 0";
        return false;
      }
    } else if (a == "--dry-run") {
      o->dryRun = true;
    } else if (a == "--list") {
      o->list = true;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "--quiet") {
      o->quiet = true;
    } else if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (!a.empty() && a[0] == '-') {
      *error = "unknown option " + a;
      return false;
    } else if (o->file.empty()) {
      o->file = a;
    } else {
      *error = "only one FILE.out can be flashed at a time";
      return false;
    }
  }
  if (o->help || o->list) return true;
  if (o->file.empty()) {
    *error = "no FILE.out given";
    return false;
  }
  if (o->file.size() <= 4 || o->file.compare(o->file.size() - 4, 4, ".out") != 0) {
    *error = o->file + " is not named *.out";
    return false;
  }
  return true;
}

// The serial backend for --port /dev/PATH: "COM1" is that device.
class DevicePathBackend final : public SerialBackend {
 public:
  explicit DevicePathBackend(std::string path) : path_(std::move(path)) {}
  std::unique_ptr<SerialPort> open(const std::string& name, uint32_t baud,
                                   std::string* error) override {
    if (name != "COM1") {
      *error = name + ": no such port";
      return nullptr;
    }
    return openSerialDevice(path_, baud, error);
  }

 private:
  std::string path_;
};

// Whether this user can open `path` for reading and writing: "" when yes, else the reason.
std::string accessProblem(const std::string& path) {
  if (::access(path.c_str(), R_OK | W_OK) == 0) return "";
  return std::strerror(errno);
}

bool anyHidPermissionProblem(HidApi& hid) {
  std::vector<std::string> paths;
  if (!hid.enumerate(&paths)) return false;
  for (const auto& p : paths) {
    if (std::filesystem::exists(p) && ::access(p.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
      return true;
    }
  }
  return false;
}

int list(FlashEnvironment& env) {
  for (int n = 1; n <= 9; ++n) {
    std::string name = portName(n);
    std::string path = resolveSerialPortName(name);
    std::error_code ec;
    if (path.empty() || !std::filesystem::exists(path, ec)) {
      std::fprintf(env.out, "%s  %s  not present\n", name.c_str(),
                   path.empty() ? "(none)" : path.c_str());
      continue;
    }
    std::string problem = accessProblem(path);
    if (problem.empty()) {
      std::fprintf(env.out, "%s  %s  present, can be opened\n", name.c_str(), path.c_str());
    } else {
      std::fprintf(
          env.out, "%s  %s  present, cannot be opened: %s%s\n", name.c_str(), path.c_str(),
          problem.c_str(),
          errno == EACCES ? std::string(" (").append(kDialoutHint).append(")").c_str() : "");
    }
  }
  std::vector<std::string> paths;
  if (!env.hid.enumerate(&paths)) {
    std::fprintf(env.out, "USB boot loaders: the HID devices cannot be listed\n");
    return kExitOk;
  }
  int found = 0;
  std::fprintf(env.out, "USB boot loaders:\n");
  for (const auto& p : paths) {
    auto dev = env.hid.open(p);
    HidAttributes a;
    if (!dev) {
      if (std::filesystem::exists(p) && ::access(p.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        std::fprintf(env.out, "  %s  cannot be opened: permission denied (%s)\n", p.c_str(),
                     kUdevHint);
      }
      continue;
    }
    if (!dev->attributes(&a) || a.vendorId != kBootVendorId || a.productId != kBootProductId)
      continue;
    ++found;
    std::fprintf(env.out, "  %s  vendor 0x%04X product 0x%04X version 0x%04X%s\n", p.c_str(),
                 a.vendorId, a.productId, a.version,
                 a.version == kBootVersion ? "" : " (not the boot loader's version)");
  }
  if (!found) std::fprintf(env.out, "  none\n");
  return kExitOk;
}

int dryRun(ConsoleWindow& w, const Options& o, const std::string& title, FlashEnvironment& env) {
  ConvertResult converted = convert(w, title);
  if (converted != ConvertResult::Ok) {
    if (converted == ConvertResult::Failed) w.showMessage("File Convert fail!", "Error");
    return kExitConversion;
  }
  Extraction x;
  std::string error;
  if (!extractImageFromFile(o.file, &x, &error)) {
    std::fprintf(env.err, "kestrel-flash: %s\n", error.c_str());
    return kExitConversion;
  }
  uint32_t blocks = (uint32_t(x.image.size()) + kBlockSize - 1) / kBlockSize;
  std::string sha = sha256Hex(x.image.data(), x.image.size());
  if (o.json) {
    std::string segments = "[";
    for (size_t i = 0; i < x.segments.size(); ++i) {
      const auto& s = x.segments[i];
      char buf[160];
      std::snprintf(buf, sizeof buf,
                    "%s{\"file_offset\":%u,\"address\":%u,\"size\":%u,\"image_offset\":%u}",
                    i ? "," : "", s.fileOffset, s.address, s.size, s.imageOffset);
      segments += buf;
    }
    segments += "]";
    char fields[256];
    std::snprintf(fields, sizeof fields,
                  "\"image_length\":%zu,\"blocks\":%u,\"sha256\":\"%s\",\"segments\":",
                  x.image.size(), blocks, sha.c_str());
    w.event("image", fields + segments, "");
  } else {
    std::fprintf(env.out, "segment  file offset  address     size        image offset\n");
    for (size_t i = 0; i < x.segments.size(); ++i) {
      const auto& s = x.segments[i];
      std::fprintf(env.out, "%7zu  0x%08X   0x%08X  0x%08X  0x%05X\n", i, s.fileOffset, s.address,
                   s.size, s.imageOffset);
    }
    std::fprintf(
        env.out,
        "image length  %zu bytes (0x%zX)\nblocks        %u of 2048 bytes\nsha256        %s\n",
        x.image.size(), x.image.size(), blocks, sha.c_str());
  }
  return kExitOk;
}

// Sorts the update's outcome into an exit code and a sentence for the user.
int outcome(const ConsoleWindow& w, bool searchTimedOut, bool interrupted, const Options& o,
            std::string* reason) {
  if (interrupted) {
    *reason = "interrupted";
    return kExitInterrupted;
  }
  if (searchTimedOut) {
    *reason = "no answer from the boot loader on " + o.port + " within " +
              std::to_string(int(o.searchTimeout)) + " s: is the device connected and powered?";
    return kExitNoAnswer;
  }
  auto messages = w.messages();
  for (const auto& m : messages) {
    if (m.text == "Download Finished!") {
      *reason = "download finished";
      return kExitOk;
    }
  }
  if (messages.empty()) {
    *reason = "the update ended without a result";
    return kExitFailure;
  }
  const auto& last = messages.back();
  const std::string& t = last.text;
  if (t == "File Convert fail!" || t.rfind("Cannot create ", 0) == 0 ||
      t.rfind("Cannot write ", 0) == 0) {
    *reason = "conversion refused: " + messages.front().text;
    return kExitConversion;
  }
  if (t == "Serial Port is unavaible!" || t == "Make sure the Device work under USB-Boot Mode" ||
      t == "Couldn't get handle for HID devices" || t == "Couldn't get HID attributes") {
    std::string detail = w.lastPortError.get();
    if (o.port == "usb") {
      *reason = "no USB boot loader found: put the device in USB boot mode";
    } else {
      *reason = "port " + o.port + " cannot be opened" + (detail.empty() ? "" : ": " + detail);
    }
    return kExitNoDevice;
  }
  int block = w.currentBlock.load();
  std::string where = block < 0 ? ""
                                : " at block " + std::to_string(block) + " (page address " +
                                      std::to_string(PageAddress(uint32_t(block))) + ")";
  if (w.linkLost.load()) {
    *reason = "the device went away during the update" + where;
    return kExitDeviceGone;
  }
  if (t == "NO Ack!" || t == "NO Ack 2!" || t == "NO Ack1!" ||
      t.rfind("NO ACK ,Block no:", 0) == 0) {
    std::string step = last.caption == "UCLRU"   ? "the clear command"
                       : last.caption == "UFLHU" ? "the block command"
                       : last.caption == "data"  ? "the block's data"
                                                 : "the block";
    if (last.caption == "UCLRU") where.clear();
    *reason = "no acknowledgement of " + step + where;
    return kExitNoAck;
  }
  *reason = t;
  return kExitFailure;
}

}  // namespace

int runFlash(const std::vector<std::string>& args, FlashEnvironment& env) {
  Options o;
  std::string error;
  if (!parse(args, &o, &error)) {
    std::fprintf(env.err, "kestrel-flash: %s\n%s", error.c_str(), kUsage);
    return kExitUsage;
  }
  if (o.help) {
    std::fputs(kUsage, env.out);
    return kExitOk;
  }
  if (o.list) return list(env);

  int portIndex = 0;
  std::unique_ptr<DevicePathBackend> deviceBackend;
  SerialBackend* serial = &env.serial;
  if (o.port == "usb") {
    portIndex = 0;
  } else if (o.port.size() == 4 && o.port.rfind("COM", 0) == 0 && o.port[3] >= '1' &&
             o.port[3] <= '9') {
    portIndex = o.port[3] - '0';
  } else if (o.port.rfind("/dev/", 0) == 0 || o.port.find('/') != std::string::npos) {
    deviceBackend = std::make_unique<DevicePathBackend>(o.port);
    serial = deviceBackend.get();
    portIndex = 1;
  } else {
    std::fprintf(env.err, "kestrel-flash: --port takes usb, COM1 to COM9 or a device path\n%s",
                 kUsage);
    return kExitUsage;
  }

  ConsoleStyle style = o.json              ? ConsoleStyle::Json
                       : o.quiet           ? ConsoleStyle::Quiet
                       : env.outIsTerminal ? ConsoleStyle::Terminal
                                           : ConsoleStyle::Plain;
  ConsoleWindow w(env.clock, *serial, env.hid, env.out, style);
  std::string title = o.file.substr(0, o.file.size() - 4);
  w.choose(portIndex, title);
  if (o.dryRun) return dryRun(w, o, title, env);

  runCommand(w);
  bool searchTimedOut = false;
  bool interrupted = false;
  const uint32_t start = env.clock.tickCount();
  while (!w.workers.waitAll(20)) {
    if (env.interrupted && env.interrupted->load()) {
      interrupted = true;
      shutdownWorkers(w, 2000);
      break;
    }
    bool searching = w.serialUpdateRunning && w.searchStopped == 0;
    if (searching && limitPassed(start, env.clock.tickCount(), uint32_t(o.searchTimeout * 1000))) {
      searchTimedOut = true;
      stopCommand(w);
    }
  }
  CloseHidDevice(w);

  std::string reason;
  int code = outcome(w, searchTimedOut, interrupted, o, &reason);
  if (code == kExitNoDevice) {
    std::string detail = w.lastPortError.get();
    if (o.port != "usb" && detail.find(std::strerror(EACCES)) != std::string::npos) {
      reason += " (" + std::string(kDialoutHint) + ")";
    } else if (o.port == "usb" && anyHidPermissionProblem(env.hid)) {
      reason += " (" + std::string(kUdevHint) + ")";
    }
  }
  w.event("end",
          std::string("\"result\":\"") + (code == kExitOk ? "ok" : "failed") +
              "\",\"exit_code\":" + std::to_string(code) + ",\"reason\":" + jsonString(reason),
          "");
  if (code != kExitOk && !o.json) std::fprintf(env.err, "kestrel-flash: %s\n", reason.c_str());
  return code;
}

}  // namespace kestrel
