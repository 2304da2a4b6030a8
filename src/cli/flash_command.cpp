#include "cli/flash_command.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>

#include "cli/console_window.h"
#include "cli/flash_options.h"
#include "cli/output_sink.h"
#include "cli/sha256.h"
#include "cli/usb_boot_loaders.h"
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
    case Cause::DeviceBusy:
      return "device_busy";
    case Cause::DuplicateSerial:
      return "duplicate_serial";
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

// What the device got of an update, as the window's record of it says.
struct DeviceGot {
  enum Kind {
    Nothing,     // Not a byte.
    Woken,       // The wake bytes: it may wait in its boot loader, its firmware untouched.
    Incomplete,  // The download began: no working firmware until an update completes.
    Complete,    // Every block acknowledged, block 0 last.
  };
  Kind kind = Nothing;
  int acknowledged = 0;  // Blocks acknowledged, in the order sent: blocks 1 to k.
  int blocks = 0;        // The image's blocks, 0 when no image was converted.
};

DeviceGot deviceGot(const WindowState& w) {
  DeviceGot got;
  auto image = w.runImage.get();
  // The download always sends block 0, even for an empty image.
  got.blocks = image ? int(std::max<uint64_t>(1, blockCountFor(image->size()))) : 0;
  got.acknowledged = w.blocksAcknowledged.load();
  if (got.blocks > 0 && got.acknowledged >= got.blocks) {
    got.kind = DeviceGot::Complete;
  } else if (w.downloadBegun) {
    got.kind = DeviceGot::Incomplete;
  } else if (w.deviceWoken) {
    got.kind = DeviceGot::Woken;
  }
  return got;
}

const char* deviceGotName(DeviceGot::Kind kind) {
  switch (kind) {
    case DeviceGot::Woken:
      return "woken";
    case DeviceGot::Incomplete:
      return "incomplete";
    case DeviceGot::Complete:
      return "complete";
    case DeviceGot::Nothing:
      break;
  }
  return "untouched";
}

// Why an update was interrupted, with what the device got by then.
std::string interruptedReason(const DeviceGot& got) {
  switch (got.kind) {
    case DeviceGot::Nothing:
      return "interrupted before anything was sent to the device";
    case DeviceGot::Woken:
      return "interrupted after the device was woken into boot mode; nothing was written to it, "
             "and it may wait in its boot loader until it is reset";
    case DeviceGot::Incomplete:
      if (got.acknowledged == 0) return "interrupted before the device acknowledged a block";
      return "interrupted after the device acknowledged " +
             std::string(got.acknowledged == 1
                             ? "block 1"
                             : "blocks 1 to " + std::to_string(got.acknowledged)) +
             " of " + std::to_string(got.blocks) + " (block 0 goes last)";
    case DeviceGot::Complete:
      return "interrupted after the device acknowledged every block, block 0 last";
  }
  return "interrupted";
}

// A usage error: the "end" object in JSON, and the reason on stderr.
int usageError(FlashEnvironment& env, bool json, const std::string& reason,
               bool pointToHelp = true) {
  if (json) {
    env.out.write(jsonLine({{"event", "end"},
                            {"result", "failed"},
                            {"exit_code", int(kExitUsage)},
                            {"reason", reason}}));
  }
  env.err.write("kestrel-flash: " + printable(reason) + "\n" +
                (pointToHelp ? "Try 'kestrel-flash --help' for more information.\n" : ""));
  return kExitUsage;
}

std::string blocksText(uint64_t blocks) {
  return std::to_string(blocks) + (blocks == 1 ? " block" : " blocks");
}

// Where --port leads: the USB boot loader, a COM port of the window's list, or a device path.
struct PortChoice {
  int portIndex = 0;       // 0 USB, 1..9 COM1..COM9 (a device path goes as COM1 of its own).
  std::string devicePath;  // The device path, for a port not of the window's list.
  UsbPort usb;             // Which USB boot loader, for the USB link.
};

// The port that `name` names, or nothing with *error saying why when it names none.
std::optional<PortChoice> choosePort(const std::string& name, std::string* error) {
  UsbPort usb;
  switch (parseUsbPort(name, &usb, error)) {
    case UsbPortParse::Ok:
      return PortChoice{0, "", usb};
    case UsbPortParse::Invalid:
      return std::nullopt;
    case UsbPortParse::NotUsb:
      break;
  }
  if (std::optional<int> n = comPortNumber(name)) return PortChoice{*n, "", {}};
  std::string path = serialDevicePathFor(name);
  if (path.empty()) {
    *error =
        "--port takes usb, usb:LOCATION, usb:serial=SN, usb:*, COM1 to COM9 or a device "
        "path, not '" +
        name + "'";
    return std::nullopt;
  }
  return PortChoice{1, path, {}};
}

class Flash {
 public:
  Flash(const FlashOptions& o, const PortChoice& port, FlashEnvironment& env)
      : o_(o), port_(port), env_(env) {}

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
  std::unique_ptr<ConsoleWindow> console(SerialBackend& serial) {
    return std::make_unique<ConsoleWindow>(env_.clock, serial, env_.hid, env_.files, env_.out,
                                           env_.err, style(), env_.columns);
  }
  // Prints the end of a run: the "end" event in JSON; otherwise the reason on stderr for a
  // failure, or `success` on stdout.
  int end(ConsoleWindow& w, int code, const std::string& reason, const UpdateOutcome* outcome,
          const std::string& success = "");
  std::string reasonFor(const ConsoleWindow& w, const UpdateOutcome& outcome) const;
  std::string portLabel() const { return !usbLabel_.empty() ? usbLabel_ : o_.port; }
  // The device the chosen serial port leads to, or "" for USB and unmapped names.
  std::string portDevice() const {
    if (port_.portIndex == 0) return "";
    return port_.devicePath.empty() ? resolveSerialPortName(o_.port) : port_.devicePath;
  }

  const FlashOptions& o_;
  const PortChoice port_;
  FlashEnvironment& env_;
  std::unique_ptr<DevicePathBackend> devicePath_;
  HidSelection usb_;      // The USB boot loader to take, when --port names the USB link.
  std::string usbLabel_;  // How the success line names it.
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
    DeviceGot got = deviceGot(w);
    event["device"] = deviceGotName(got.kind);
    event["blocks_acknowledged"] = got.acknowledged;
  }
  if (code == kExitOk) {
    w.report(event, printable(success));
  } else {
    w.report(event, "kestrel-flash: " + printable(reason), true);
  }
  return code;
}

int Flash::list() {
  auto window = console(env_.serial);
  ConsoleWindow& w = *window;
  Json ports = Json::array();
  std::string text;
  std::vector<std::string> names;
  for (int n = 1; n <= 9; ++n) names.push_back(portName(n));
  // Beyond the window's nine, the ports the system names itself (COM10 and above on Windows).
  for (std::string& name : systemSerialPortNames()) {
    if (!comPortNumber(name)) names.push_back(std::move(name));
  }
  for (const std::string& name : names) {
    std::string path =
        comPortNumber(name) ? resolveSerialPortName(name) : serialDevicePathFor(name);
    Json port = {{"name", name}, {"path", path.empty() ? Json(nullptr) : Json(path)}};
    std::string state;
    PathInfo info = path.empty() ? PathInfo{} : inspectPath(path);
    PortError error;
    PortProbe probe = PortProbe::Unopenable;
    if (info.exists && info.isDevice && !isOwnTerminal(path))
      probe = probeSerialDevice(path, &error);
    if (!info.exists) {
      port["state"] = "absent";
      state = "not present";
    } else if (!info.isDevice) {
      port["state"] = "not_a_terminal";
      port["kind"] = info.kind;
      state = "present, but " + info.kind + ", not a serial port";
    } else if (isOwnTerminal(path)) {
      port["state"] = "own_terminal";
      state = "present, but the terminal this program runs in: not usable as a port";
    } else if (probe == PortProbe::Openable) {
      port["state"] = "openable";
      state = "present, can be opened";
    } else if (probe == PortProbe::InUse) {
      port["state"] = "in_use";
      state = "present, in use by another program";
    } else if (probe == PortProbe::NotSerial) {
      port["state"] = "not_a_terminal";
      port["kind"] = "a device";
      state = "present, but not a serial port";
    } else {
      port["state"] = "not_openable";
      port["error"] = error.code;
      // The reason without the path, which the line names already.
      std::string why = error.text;
      if (why.rfind(path + ": ", 0) == 0) why.erase(0, path.size() + 2);
      state = "present, cannot be opened: " + why;
      if (error.code == EACCES) {
        port["hint"] = kDialoutHint;
        state += std::string(" (") + kDialoutHint + ")";
      }
    }
    ports.push_back(port);
    text +=
        name + "  " + (path.empty() ? "(none)" : printable(path)) + "  " + printable(state) + "\n";
  }
  w.report({{"event", "ports"}, {"ports", ports}}, text.substr(0, text.size() - 1));

  UsbListing usb = listUsbBootLoaders(env_.hid);
  w.report(usb.event, usb.text);
  return end(w, kExitOk, "listed", nullptr);
}

int Flash::dryRun() {
  auto window = console(env_.serial);
  ConsoleWindow& w = *window;
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
  const DeviceGot got = deviceGot(w);
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
      reason = outcome.detail.empty() ? "out of memory" : outcome.detail;
      break;
    case Cause::PortUnavailable:
      reason = "port " + o_.port + " cannot be opened: " + outcome.detail;
      if (outcome.error == EACCES) reason += std::string(" (") + kDialoutHint + ")";
      return reason;
    case Cause::NoUsbDevice:
    case Cause::DeviceBusy:
    case Cause::DuplicateSerial:
      return usbMissReason(outcome, usb_, env_.hid);
    case Cause::NoAnswer: {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", o_.searchTimeout);
      return "no answer from the boot loader on " + o_.port + " within " + seconds +
             " s: is the device connected and powered?";
    }
    case Cause::NoAcknowledgement: {
      const char* step = outcome.step == Step::ClearCommand   ? "the clear command"
                         : outcome.step == Step::BlockCommand ? "the block command"
                         : outcome.step == Step::BlockData    ? "the block's data"
                                                              : "the block";
      reason = std::string("no acknowledgement of ") + step + where;
      break;
    }
    case Cause::DeviceGone:
      reason = w.downloadBegun   ? "the device went away during the update" + where
               : port_.portIndex ? "the device went away during the search"
                                 : "the device went away before it took the start report";
      break;
    case Cause::LineHeldUp:
      reason = "the line is held up (flow control?)" + where;
      break;
    case Cause::SendError:
      reason = "a USB report could not be written" + where + " (error " +
               std::to_string(outcome.error) + ": " + systemErrorText(outcome.error) + ")";
      break;
    case Cause::ThreadFailed:
      reason = outcome.detail;
      break;
    case Cause::Interrupted:
      reason = interruptedReason(got);
      break;
  }
  if (got.kind == DeviceGot::Incomplete) {
    reason += "; the device has no working firmware until an update completes";
  }
  return reason;
}

int Flash::update() {
  SerialBackend* serial = &env_.serial;
  if (port_.portIndex == 0) {
    usb_ = port_.usb.selection;
    usbLabel_ = o_.port == "usb" ? "USB" : o_.port;
    std::string refusal;
    if (port_.usb.every && !chooseEveryBootLoader(env_.hid, &usb_, &usbLabel_, &refusal)) {
      return usageError(env_, o_.json, refusal, false);
    }
  }
  if (!port_.devicePath.empty()) {
    devicePath_ = std::make_unique<DevicePathBackend>(port_.devicePath);
    serial = devicePath_.get();
  }
  auto window = console(*serial);
  ConsoleWindow& w = *window;
  w.closeOn(env_.interrupted);
  w.choose(port_.portIndex, withoutExtension(env_.files, o_.file));
  beginConversion(w);
  // Raw mode on the terminal the program runs in would make Ctrl+C a byte on the "line".
  if (std::string device = portDevice(); !device.empty() && isOwnTerminal(device)) {
    refusePort(w, {0, device + ": the terminal this program runs in"});
    UpdateOutcome refused = w.outcome.get();
    return end(w, exitCodeFor(refused),
               "port " + o_.port +
                   " is the terminal this program runs in; as a port in raw mode it would take "
                   "Ctrl+C as a data byte: name the device's serial port",
               &refused);
  }
  w.readWindow();
  Extraction x;
  std::string output = o_.output.value_or(withoutExtension(env_.files, o_.file) + ".bin");
  if (reportConversion(w, convertFirmware(w, o_.file, output, &x))) {
    const uint64_t length = x.image.size();
    // The search gives up after --search-timeout, or as soon as its line goes away.
    SearchLimits limits;
    limits.deadlineMs = uint32_t(o_.searchTimeout * 1000);
    limits.endWhenLineLost = true;
    startUpdate(w, std::make_shared<const std::vector<uint8_t>>(std::move(x.image)), usb_,
                limits);
    while (!w.workers.waitAll(20) && !w.closing()) {
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

// Out of memory where nothing more can be said: the update, if one ran, has been stopped.
int outOfMemory(FlashEnvironment& env, bool json) {
  static const char kJson[] =
      "{\"event\":\"end\",\"result\":\"failed\",\"exit_code\":1,\"reason\":\"out of memory\","
      "\"cause\":\"no_memory\"}\n";
  static const char kText[] =
      "kestrel-flash: out of memory; the update was stopped where it stood (once the download "
      "had begun, the device has no working firmware until an update completes)\n";
  if (json) env.out.write(kJson);
  env.err.write(kText);
  return kExitFailure;
}

int flash(const std::vector<std::string>& args, FlashEnvironment& env) {
  FlashOptions o;
  std::string error;
  if (!parseFlashOptions(args, &o, &error)) {
    return usageError(env, o.json || asksForJson(args), error);
  }
  if (o.help) {
    env.out.write(kFlashUsage);
    return kExitOk;
  }
  if (o.version) {
    env.out.write("kestrel-flash " KESTREL_VERSION "\n");
    return kExitOk;
  }
  std::optional<PortChoice> port = choosePort(o.port, &error);
  if (!port) return usageError(env, o.json, error);
  Flash flash(o, *port, env);
  if (o.list) return flash.list();
  if (o.output && env.files.sameFile(o.file, *o.output)) {
    return usageError(env, o.json, "the image would overwrite " + o.file);
  }
  if (!o.output && env.files.sameFile(o.file, withoutExtension(env.files, o.file) + ".bin")) {
    return usageError(
        env, o.json, "the image of " + o.file + " would overwrite it: name the image with --output",
        false);
  }
  return o.dryRun ? flash.dryRun() : flash.update();
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
    case Cause::DeviceBusy:
    case Cause::DuplicateSerial:
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
  try {
    return flash(args, env);
  } catch (const std::bad_alloc&) {
    return outOfMemory(env, asksForJson(args));
  } catch (const std::system_error&) {
    // A thread of the program's own (not a worker's: those report their own) could not start.
    return outOfMemory(env, asksForJson(args));
  }
}

}  // namespace kestrel
