// kestrel-flash --list: where COM1 to COM9 (and the ports the system names) lead and whether each
// can be opened now, and the USB boot loaders present.

#include <cerrno>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/flash_reasons.h"
#include "cli/flash_run.h"
#include "cli/usb_boot_loaders.h"
#include "platform/backends.h"
#include "platform/process.h"
#include "platform_api/files.h"
#include "platform_api/serial_port.h"
#include "serial/serial_session.h"

namespace kestrel {

using Json = nlohmann::ordered_json;

int FlashRun::list() {
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

}  // namespace kestrel
