#include "cli/flash_run.h"

#include <nlohmann/json.hpp>

#include "cli/flash_reasons.h"
#include "platform/backends.h"
#include "platform_api/serial_port.h"

namespace kestrel {

using Json = nlohmann::ordered_json;

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

int usageError(FlashEnvironment& env, bool json, const std::string& reason, bool pointToHelp) {
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

FlashRun::FlashRun(const FlashOptions& o, const PortChoice& port, FlashEnvironment& env)
    : o_(o), port_(port), env_(env) {}

FlashRun::~FlashRun() = default;

ConsoleStyle FlashRun::style() const {
  return o_.json              ? ConsoleStyle::Json
         : o_.quiet           ? ConsoleStyle::Quiet
         : env_.outIsTerminal ? ConsoleStyle::Terminal
                              : ConsoleStyle::Plain;
}

std::unique_ptr<ConsoleWindow> FlashRun::console(SerialBackend& serial) {
  return std::make_unique<ConsoleWindow>(env_.clock, serial, env_.hid, env_.files, env_.out,
                                         env_.err, style(), env_.columns);
}

std::string FlashRun::portDevice() const {
  if (port_.portIndex == 0) return "";
  return port_.devicePath.empty() ? resolveSerialPortName(o_.port) : port_.devicePath;
}

int FlashRun::end(ConsoleWindow& w, int code, const std::string& reason,
                  const UpdateOutcome* outcome, const std::string& success) {
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
  if (recorder_) recorder_->end(w, event);
  if (code == kExitOk) {
    w.report(event, printable(success));
  } else {
    w.report(event, "kestrel-flash: " + printable(reason), true);
  }
  return code;
}

}  // namespace kestrel
