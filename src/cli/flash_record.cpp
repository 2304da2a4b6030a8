#include "cli/flash_record.h"

#include <chrono>

#include "cli/console_window.h"
#include "cli/device_batch.h"
#include "cli/flash_command.h"
#include "cli/flash_options.h"
#include "cli/sha256.h"
#include "hid/hid_selection.h"
#include "platform/backends.h"
#include "platform/process.h"
#include "platform_api/clock.h"
#include "platform_api/hid_device.h"
#include "platform_api/serial_port.h"
#include "update/firmware_files.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

using Json = nlohmann::ordered_json;

std::string textOf(const Json& j, const char* name) {
  auto it = j.find(name);
  return it != j.end() && it->is_string() ? it->get<std::string>() : "";
}

}  // namespace

UnitRecord unitPlace(const std::string& port, HidApi& hid) {
  UnitRecord r;
  UsbPort usb;
  std::string error;
  if (parseUsbPort(port, &usb, &error) != UsbPortParse::Ok) {
    r.location = comPortNumber(port) ? resolveSerialPortName(port) : serialDevicePathFor(port);
    return r;
  }
  std::vector<BootLoaderListing> list;
  listBootLoaders(hid, &list);
  for (const BootLoaderListing& b : list) {
    if (!b.bootLoader || !usb.selection.admits(b.device)) continue;
    if (usb.selection.by == HidSelection::By::First && b.claim == HidClaimState::Busy) continue;
    r.location = b.device.location;
    r.serialNumber = b.device.serialNumber;
    r.version = b.device.attributes.version;
    break;
  }
  return r;
}

std::unique_ptr<UnitRecorder> UnitRecorder::forRun(const FlashOptions& o, FlashEnvironment& env) {
  BatchChildOrder order;
  const bool child = o.batchChild && parseBatchChild(*o.batchChild, &order);
  if (!child && !o.log) return nullptr;
  UnitRecord r;
  r.host = hostName();
  r.firmware = o.file;
  r.attempt = order.attempt;
  return std::unique_ptr<UnitRecorder>(new UnitRecorder(env, child, o.log.value_or(""), r));
}

UnitRecorder::UnitRecorder(FlashEnvironment& env, bool child, std::string logPath,
                           UnitRecord record)
    : env_(env), child_(child), logPath_(std::move(logPath)), record_(std::move(record)) {
  start_ = env_.clock.tickCount();
}

void UnitRecorder::begin(ConsoleWindow& w, const std::string& label) {
  const UnitRecord place = unitPlace(label, env_.hid);
  record_.device = label;
  record_.location = place.location;
  record_.serialNumber = place.serialNumber;
  record_.version = place.version;
  if (!child_) return;
  w.report(
      {{"event", "unit"},
       {"location", place.location.empty() ? Json(nullptr) : Json(place.location)},
       {"serial_number", place.serialNumber.empty() ? Json(nullptr) : Json(place.serialNumber)},
       {"version", place.version ? Json(*place.version) : Json(nullptr)}},
      "");
}

void UnitRecorder::image(const std::vector<uint8_t>& bytes) {
  record_.imageLength = bytes.size();
  record_.sha256 = sha256Hex(bytes.data(), bytes.size());
}

void UnitRecorder::end(ConsoleWindow& w, const Json& end) {
  if (ended_) return;
  ended_ = true;
  UnitRecord r = record_;
  r.exitCode = end.value("exit_code", int(kExitFailure));
  r.result = r.exitCode == kExitOk ? "ok" : "failed";
  r.reason = textOf(end, "reason");
  r.cause = textOf(end, "cause");
  r.deviceGot = textOf(end, "device");
  r.seconds = ticksSince(start_, env_.clock.tickCount()) / 1000.0;
  r.time = utcTimeText(std::chrono::system_clock::now());
  std::string error;
  if (!logPath_.empty() && !appendRecord(env_.files, logPath_, r, &error)) {
    w.report({{"event", "warning"}, {"text", "the attempt's record is not in the log: " + error}},
             "kestrel-flash: warning: the attempt's record is not in the log: " + error, true);
  }
  if (child_) {
    Json event = {{"event", "record"}};
    event.update(recordJson(r));
    w.report(event, "");
  }
}

bool takeHandedImage(ConsoleWindow& w, const std::string& text, std::vector<uint8_t>* image) {
  BatchChildOrder order;
  std::string error;
  std::string refused;
  if (!parseBatchChild(text, &order)) {
    refused = "the image handed over is not named as a batch names it";
  } else if (!readImageFile(w.files, order.imagePath, image, &error)) {
    refused = "the image handed over cannot be read: " + error;
  } else if (sha256Hex(image->data(), image->size()) != order.sha256) {
    refused = "the image handed over in " + order.imagePath +
              " is not the one converted (its SHA-256 differs): nothing was sent";
  } else {
    return true;
  }
  image->clear();
  refuseImageFile(w, std::move(refused));
  return false;
}

}  // namespace kestrel
