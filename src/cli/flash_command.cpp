#include "cli/flash_command.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/console_window.h"
#include "cli/flash_options.h"
#include "cli/output_sink.h"
#include "cli/sha256.h"
#include "hid/hid_link.h"
#include "image/download_image.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/hid_device.h"
#include "platform/process.h"
#include "platform/serial_port.h"
#include "serial/serial_session.h"
#include "update/firmware_files.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

using Cause = UpdateOutcome::Cause;
using Step = UpdateOutcome::Step;
using Json = nlohmann::ordered_json;

constexpr const char* kDialoutHint =
    "the port exists but this user may not open it: add yourself to the dialout group "
    "(sudo adduser $USER dialout) and log in again";
constexpr const char* kUdevHint =
    "a HID device exists that this user may not open: install the udev rule "
    "(sudo cp 60-kestrel-bootloader.rules /etc/udev/rules.d/ && sudo udevadm control --reload "
    "&& sudo udevadm trigger), then plug the device in again";

// The serial backend for --port PATH: "COM1" is that device.
class DevicePathBackend final : public SerialBackend {
 public:
  explicit DevicePathBackend(std::string path) : path_(std::move(path)) {}
  std::unique_ptr<PortClaim> claim(const std::string& name, PortError* error) override {
    if (comPortNumber(name) != 1) {
      *error = {ENOENT, name + ": no such port"};
      return nullptr;
    }
    return claimSerialDevice(path_, error);
  }
  std::unique_ptr<SerialPort> open(const std::string& name, uint32_t baud,
                                   PortError* error) override {
    if (comPortNumber(name) != 1) {
      *error = {ENOENT, name + ": no such port"};
      return nullptr;
    }
    return openSerialDevice(path_, baud, error);
  }

 private:
  std::string path_;
};

// True when `path` exists and this user may not open it: the fix is a permission.
bool permissionDenied(const std::string& path) {
  PathInfo info = inspectPath(path);
  return info.exists && info.accessError == EACCES;
}

bool anyHidPermissionProblem(HidApi& hid) {
  std::vector<std::string> paths;
  if (!hid.enumerate(&paths)) return false;
  return std::any_of(paths.begin(), paths.end(), permissionDenied);
}

const char* causeName(Cause c) {
  switch (c) {
    case Cause::None:
    case Cause::Running:
      return "none";
    case Cause::Success:
      return "success";
    case Cause::ImageRefused:
      return "image_refused";
    case Cause::ImageFileError:
      return "image_file_error";
    case Cause::NoMemory:
      return "no_memory";
    case Cause::PortUnavailable:
      return "port_unavailable";
    case Cause::NoUsbDevice:
      return "no_usb_device";
    case Cause::NoAnswer:
      return "no_answer";
    case Cause::NoAcknowledgement:
      return "no_acknowledgement";
    case Cause::DeviceGone:
      return "device_gone";
    case Cause::LineHeldUp:
      return "line_held_up";
    case Cause::SendError:
      return "send_error";
    case Cause::ThreadFailed:
      return "thread_failed";
    case Cause::Interrupted:
      return "interrupted";
  }
  return "none";
}

const char* stepName(Step s) {
  switch (s) {
    case Step::ClearCommand:
      return "clear_command";
    case Step::BlockCommand:
      return "block_command";
    case Step::BlockData:
      return "block_data";
    case Step::Block:
      return "block";
    case Step::StartReport:
      return "start_report";
    case Step::None:
      break;
  }
  return nullptr;
}

std::string blocksText(uint64_t blocks) {
  return std::to_string(blocks) + (blocks == 1 ? " block" : " blocks");
}

class Flash {
 public:
  Flash(const FlashOptions& o, FlashEnvironment& env) : o_(o), env_(env) {}

  int list();
  int dryRun();
  int update();

 private:
  ConsoleStyle style() const {
    return o_.json              ? ConsoleStyle::Json
           : o_.quiet           ? ConsoleStyle::Quiet
           : env_.outIsTerminal ? ConsoleStyle::Terminal
                                : ConsoleStyle::Plain;
  }
  // Prints the end of a run: the "end" event in JSON; otherwise the reason on stderr for a
  // failure, or `success` on stdout.
  int end(ConsoleWindow& w, int code, const std::string& reason, const UpdateOutcome* outcome,
          const std::string& success = "");
  std::string reasonFor(const ConsoleWindow& w, const UpdateOutcome& outcome) const;
  std::string portLabel() const { return o_.port == "usb" ? "USB" : o_.port; }

  const FlashOptions& o_;
  FlashEnvironment& env_;
  std::unique_ptr<DevicePathBackend> devicePath_;
};

int Flash::end(ConsoleWindow& w, int code, const std::string& reason, const UpdateOutcome* outcome,
               const std::string& success) {
  Json event = {{"event", "end"},
                {"result", code == kExitOk ? "ok" : "failed"},
                {"exit_code", code},
                {"reason", reason}};
  if (outcome && outcome->ended()) {
    event["cause"] = causeName(outcome->cause);
    if (const char* step = stepName(outcome->step)) event["step"] = step;
    if (outcome->block >= 0) event["block"] = outcome->block;
    if (outcome->error) event["error"] = outcome->error;
  }
  if (code == kExitOk) {
    w.report(event, success.empty() ? "" : success);
  } else {
    w.report(event, "kestrel-flash: " + reason, true);
  }
  return code;
}

int Flash::list() {
  ConsoleWindow w(env_.clock, env_.serial, env_.hid, env_.files, env_.out, env_.err, style());
  Json ports = Json::array();
  std::string text;
  for (int n = 1; n <= 9; ++n) {
    std::string name = portName(n);
    std::string path = resolveSerialPortName(name);
    Json port = {{"name", name}, {"path", path.empty() ? Json(nullptr) : Json(path)}};
    std::string state;
    PathInfo info = path.empty() ? PathInfo{} : inspectPath(path);
    if (!info.exists) {
      port["state"] = "absent";
      state = "not present";
    } else if (!info.isDevice) {
      port["state"] = "not_a_terminal";
      port["kind"] = info.kind;
      state = "present, but " + info.kind + ", not a serial port";
    } else if (int err = info.accessError) {
      port["state"] = "not_openable";
      port["error"] = err;
      state = "present, cannot be opened: " + info.accessReason;
      if (err == EACCES) {
        port["hint"] = kDialoutHint;
        state += std::string(" (") + kDialoutHint + ")";
      }
    } else {
      port["state"] = "openable";
      state = "present, can be opened";
    }
    ports.push_back(port);
    text += name + "  " + (path.empty() ? "(none)" : path) + "  " + state + "\n";
  }
  w.report({{"event", "ports"}, {"ports", ports}}, text.substr(0, text.size() - 1));

  Json devices = Json::array();
  std::vector<std::string> paths;
  if (!env_.hid.enumerate(&paths)) {
    w.report({{"event", "usb"}, {"listed", false}, {"devices", devices}},
             "USB boot loaders: the HID devices cannot be listed");
    return end(w, kExitOk, "listed", nullptr);
  }
  text = "USB boot loaders:";
  for (const auto& p : paths) {
    auto dev = env_.hid.open(p, HidUse::Read);
    if (!dev) {
      if (permissionDenied(p)) {
        devices.push_back({{"path", p}, {"state", "not_openable"}, {"hint", kUdevHint}});
        text += "\n  " + p + "  cannot be opened: permission denied (" + kUdevHint + ")";
      }
      continue;
    }
    HidAttributes a;
    if (!dev->attributes(&a) || a.vendorId != kBootVendorId || a.productId != kBootProductId)
      continue;
    bool boot = a.version == kBootVersion;
    devices.push_back({{"path", p},
                       {"state", boot ? "boot_loader" : "other_version"},
                       {"vendor", a.vendorId},
                       {"product", a.productId},
                       {"version", a.version}});
    char line[160];
    std::snprintf(line, sizeof line, "\n  %s  vendor 0x%04X product 0x%04X version 0x%04X%s",
                  p.c_str(), a.vendorId, a.productId, a.version,
                  boot ? "" : " (not the boot loader's version)");
    text += line;
  }
  if (devices.empty()) text += "\n  none";
  w.report({{"event", "usb"}, {"listed", true}, {"devices", devices}}, text);
  return end(w, kExitOk, "listed", nullptr);
}

int Flash::dryRun() {
  ConsoleWindow w(env_.clock, env_.serial, env_.hid, env_.files, env_.out, env_.err, style());
  beginConversion(w);
  Extraction x;
  ConvertResult result = convertFirmware(w, o_.file, o_.output, &x);
  if (!reportConversion(w, result)) {
    UpdateOutcome outcome = w.outcome.get();
    return end(w, exitCodeFor(outcome), reasonFor(w, outcome), &outcome);
  }
  // The download always sends block 0, even for an empty image.
  uint64_t blocks = std::max<uint64_t>(1, blockCountFor(x.image.size()));
  std::string sha = sha256Hex(x.image.data(), x.image.size());
  Json segments = Json::array();
  std::string map = "segment  file offset  address     size        image offset\n";
  for (size_t i = 0; i < x.segments.size(); ++i) {
    const auto& s = x.segments[i];
    segments.push_back({{"file_offset", s.fileOffset},
                        {"address", s.address},
                        {"size", s.size},
                        {"image_offset", s.imageOffset}});
    char line[96];
    std::snprintf(line, sizeof line, "%7zu  0x%08X   0x%08X  0x%08X  0x%05X\n", i, s.fileOffset,
                  s.address, s.size, s.imageOffset);
    map += line;
  }
  char summary[256];
  std::snprintf(summary, sizeof summary,
                "image length  %zu bytes (0x%zX)\nblocks        %s of 2048 bytes\n", x.image.size(),
                x.image.size(), blocksText(blocks).c_str());
  Json image = {{"event", "image"},
                {"file", o_.file},
                {"output", o_.output ? Json(*o_.output) : Json(nullptr)},
                {"image_length", x.image.size()},
                {"blocks", blocks},
                {"sha256", sha},
                {"segments", segments}};
  if (style() == ConsoleStyle::Quiet) {
    // The one line a script wants.
    env_.out.write("sha256        " + sha + "\n");
  } else {
    w.report(image, map + summary + "sha256        " + sha);
  }
  return end(w, kExitOk, "converted", nullptr);
}

std::string Flash::reasonFor(const ConsoleWindow& w, const UpdateOutcome& outcome) const {
  std::string where;
  if (outcome.block >= 0) {
    where = " at block " + std::to_string(outcome.block) + " (page address " +
            std::to_string(PageAddress(uint32_t(outcome.block))) + ")";
  }
  std::string reason;
  switch (outcome.cause) {
    case Cause::None:
    case Cause::Running:
      return "the update ended without a result";
    case Cause::Success:
      return "download finished";
    case Cause::ImageRefused:
      return "conversion refused: " + outcome.detail;
    case Cause::ImageFileError:
      return outcome.detail;
    case Cause::NoMemory:
      return "no memory for the image";
    case Cause::PortUnavailable:
      reason = "port " + o_.port + " cannot be opened: " + outcome.detail;
      if (outcome.error == EACCES) reason += std::string(" (") + kDialoutHint + ")";
      return reason;
    case Cause::NoUsbDevice:
      reason = "no USB boot loader found: put the device in USB boot mode";
      if (anyHidPermissionProblem(env_.hid)) reason += std::string(" (") + kUdevHint + ")";
      return reason;
    case Cause::NoAnswer:
      return outcome.detail;
    case Cause::NoAcknowledgement: {
      const char* step = outcome.step == Step::ClearCommand   ? "the clear command"
                         : outcome.step == Step::BlockCommand ? "the block command"
                         : outcome.step == Step::BlockData    ? "the block's data"
                                                              : "the block";
      reason = std::string("no acknowledgement of ") + step + where;
      break;
    }
    case Cause::DeviceGone:
      reason = w.downloadBegun ? "the device went away during the update" + where
                               : "the device went away during the search";
      break;
    case Cause::LineHeldUp:
      reason = "the line is held up (flow control?)" + where;
      break;
    case Cause::SendError:
      reason = "a USB report could not be written" + where + " (error " +
               std::to_string(outcome.error) + ": " + systemErrorText(outcome.error) + ")";
      break;
    case Cause::ThreadFailed:
      return outcome.detail;
    case Cause::Interrupted:
      reason = "interrupted";
      if (!w.downloadBegun) return reason + " before anything was sent to the device";
      break;
  }
  if (w.downloadBegun) reason += "; the device has no working firmware until an update completes";
  return reason;
}

int Flash::update() {
  int portIndex = 0;
  SerialBackend* serial = &env_.serial;
  if (o_.port == "usb") {
    portIndex = 0;
  } else if (std::optional<int> n = comPortNumber(o_.port)) {
    portIndex = *n;
  } else if (o_.port.find('/') != std::string::npos) {
    devicePath_ = std::make_unique<DevicePathBackend>(o_.port);
    serial = devicePath_.get();
    portIndex = 1;
  } else {
    env_.err.write("kestrel-flash: --port takes usb, COM1 to COM9 or a device path, not '" +
                   o_.port + "'\nTry 'kestrel-flash --help' for more information.\n");
    return kExitUsage;
  }
  ConsoleWindow w(env_.clock, *serial, env_.hid, env_.files, env_.out, env_.err, style());
  w.choose(portIndex, withoutExtension(env_.files, o_.file));
  beginConversion(w);
  w.readWindow();
  Extraction x;
  std::string output = o_.output.value_or(withoutExtension(env_.files, o_.file) + ".bin");
  if (reportConversion(w, convertFirmware(w, o_.file, output, &x))) {
    const uint64_t length = x.image.size();
    startUpdate(w, std::make_shared<const std::vector<uint8_t>>(std::move(x.image)));
    const uint32_t start = env_.clock.tickCount();
    const uint32_t limit = uint32_t(o_.searchTimeout * 1000);
    while (!w.workers.waitAll(20)) {
      if (env_.interrupted && env_.interrupted->load()) break;
      if (!(w.serialUpdateRunning && w.searchStopped == 0)) continue;
      if (w.linkLost) {
        UpdateOutcome gone;
        gone.cause = Cause::DeviceGone;
        gone.detail = "the line went away during the search";
        w.outcome.set(gone);
        stopCommand(w);
      } else if (limitPassed(start, env_.clock.tickCount(), limit) && w.lineHeldUp) {
        UpdateOutcome held;
        held.cause = Cause::LineHeldUp;
        held.detail = "the line is held up (flow control?)";
        w.outcome.set(held);
        stopCommand(w);
      } else if (limitPassed(start, env_.clock.tickCount(), limit)) {
        UpdateOutcome silent;
        silent.cause = Cause::NoAnswer;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", o_.searchTimeout);
        silent.detail = "no answer from the boot loader on " + o_.port + " within " + seconds +
                        " s: is the device connected and powered?";
        w.outcome.set(silent);
        stopCommand(w);
      }
    }
    if (!w.shutdown(2000)) {
      UpdateOutcome outcome = w.outcome.get();
      int code = end(w, exitCodeFor(outcome),
                     reasonFor(w, outcome) + " (a worker did not end; the process ends)", &outcome);
      env_.out.flush(std::chrono::seconds(1));
      env_.err.flush(std::chrono::seconds(1));
      std::_Exit(code);
    }
    UpdateOutcome outcome = w.outcome.get();
    std::string success = "download finished: " + o_.file + " (" + std::to_string(length) +
                          " bytes, " + blocksText(std::max<uint64_t>(1, blockCountFor(length))) +
                          ") on " + portLabel() + "; image in " + output;
    return end(w, exitCodeFor(outcome), reasonFor(w, outcome), &outcome, success);
  }
  UpdateOutcome outcome = w.outcome.get();
  return end(w, exitCodeFor(outcome), reasonFor(w, outcome), &outcome);
}

}  // namespace

int exitCodeFor(const UpdateOutcome& outcome) {
  switch (outcome.cause) {
    case Cause::Success:
      return kExitOk;
    case Cause::ImageRefused:
    case Cause::ImageFileError:
      return kExitConversion;
    case Cause::PortUnavailable:
    case Cause::NoUsbDevice:
      return kExitNoDevice;
    case Cause::NoAnswer:
      return kExitNoAnswer;
    case Cause::NoAcknowledgement:
      return kExitNoAck;
    case Cause::DeviceGone:
    case Cause::LineHeldUp:
      return kExitDeviceGone;
    case Cause::Interrupted:
      return kExitInterrupted;
    case Cause::None:
    case Cause::Running:
    case Cause::NoMemory:
    case Cause::SendError:
    case Cause::ThreadFailed:
      return kExitFailure;
  }
  return kExitFailure;
}

int runFlash(const std::vector<std::string>& args, FlashEnvironment& env) {
  FlashOptions o;
  std::string error;
  if (!parseFlashOptions(args, &o, &error)) {
    bool json = std::find(args.begin(), args.end(), "--json") != args.end();
    if (json) {
      env.out.write(jsonLine({{"event", "end"},
                              {"result", "failed"},
                              {"exit_code", int(kExitUsage)},
                              {"reason", error}}));
    }
    env.err.write("kestrel-flash: " + error +
                  "\nTry 'kestrel-flash --help' for more information.\n");
    return kExitUsage;
  }
  if (o.help) {
    env.out.write(kFlashUsage);
    return kExitOk;
  }
  if (o.version) {
    env.out.write("kestrel-flash " KESTREL_VERSION "\n");
    return kExitOk;
  }
  Flash flash(o, env);
  if (o.list) return flash.list();
  if (o.output && env.files.sameFile(o.file, *o.output)) {
    env.err.write("kestrel-flash: the image would overwrite " + o.file +
                  "\nTry 'kestrel-flash --help' for more information.\n");
    return kExitUsage;
  }
  if (!o.output && env.files.sameFile(o.file, withoutExtension(env.files, o.file) + ".bin")) {
    env.err.write("kestrel-flash: the image of " + o.file +
                  " would overwrite it: name the image with --output\n");
    return kExitUsage;
  }
  return o.dryRun ? flash.dryRun() : flash.update();
}

}  // namespace kestrel
