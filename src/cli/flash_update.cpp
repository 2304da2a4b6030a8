// kestrel-flash's update: the window's update on a console, started with the command line's
// choice of boot loader and limits on the search, waited for and reported.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli/flash_run.h"
#include "cli/usb_boot_loaders.h"
#include "image/download_image.h"
#include "platform/backends.h"
#include "platform/process.h"
#include "platform_api/files.h"
#include "platform_api/serial_port.h"
#include "serial/serial_search.h"
#include "serial/serial_session.h"
#include "update/firmware_files.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

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

}  // namespace

int FlashRun::update() {
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
  recorder_ = UnitRecorder::forRun(o_, env_);
  if (recorder_) recorder_->begin(w, o_.port);
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
  // A batch's child takes the image its parent converted.
  const bool converted = o_.batchChild
                             ? takeHandedImage(w, *o_.batchChild, &x.image)
                             : reportConversion(w, convertFirmware(w, o_.file, output, &x));
  if (converted) {
    if (recorder_) recorder_->image(x.image);
    const uint64_t length = x.image.size();
    // The search gives up after --search-timeout, or as soon as its line goes away.
    SearchLimits limits;
    limits.deadlineMs = uint32_t(o_.searchTimeout * 1000);
    limits.endWhenLineLost = true;
    startUpdate(w, std::make_shared<const std::vector<uint8_t>>(std::move(x.image)), usb_, limits);
    // The update runs on the workers. A request to end stops it in the shutdown below.
    while (!w.closing() && !w.workers.waitAll(20)) continue;
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

}  // namespace kestrel
