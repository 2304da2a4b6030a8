#include "cli/flash_batch.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "cli/batch_display.h"
#include "cli/device_batch.h"
#include "cli/flash_command.h"
#include "cli/flash_options.h"
#include "cli/flash_reasons.h"
#include "cli/sha256.h"
#include "hid/hid_selection.h"
#include "platform/backends.h"
#include "platform/process.h"
#include "platform_api/clock.h"
#include "platform_api/files.h"
#include "platform_api/serial_port.h"
#include "update/firmware_files.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

using Json = nlohmann::ordered_json;

// A device refused before any child runs for it: its record, as a child would have written it.
BatchDevice refusedDevice(const std::string& label, const HidInterfaceInfo* usb,
                          const std::string& cause, int code, const std::string& reason) {
  BatchDevice d;
  d.label = label;
  UnitRecord r;
  if (usb) {
    d.location = usb->location;
    d.serialNumber = usb->serialNumber;
    d.version = usb->attributes.version;
    r.location = d.location;
    r.serialNumber = d.serialNumber;
    r.version = d.version;
  }
  r.device = label;
  r.result = "failed";
  r.exitCode = code;
  r.cause = cause;
  r.deviceGot = "untouched";
  r.reason = reason;
  d.refused = r;
  return d;
}

// The devices that the --port options name, each once, in the order given; usb:* brings every
// boot loader present, a busy one refused as it is found.
std::vector<BatchDevice> devicesNamed(const FlashOptions& o, HidApi& hid) {
  std::vector<BatchDevice> devices;
  std::set<std::string> labels, paths;
  auto addOnce = [&](BatchDevice d, const std::string& path = "") {
    if (!labels.insert(d.label).second) return;
    if (!path.empty() && !paths.insert(path).second) return;
    devices.push_back(std::move(d));
  };
  for (const std::string& port : o.ports) {
    UsbPort usb;
    std::string error;
    if (parseUsbPort(port, &usb, &error) != UsbPortParse::Ok) {
      BatchDevice d;
      d.label = port;
      std::optional<int> n = comPortNumber(port);
      d.location = n ? resolveSerialPortName(port) : serialDevicePathFor(port);
      addOnce(std::move(d));
      continue;
    }
    if (!usb.every) {
      addOnce(BatchDevice{port, "", "", std::nullopt, std::nullopt});
      continue;
    }
    std::vector<BootLoaderListing> list;
    listBootLoaders(hid, &list);
    std::erase_if(list, [](const BootLoaderListing& b) { return !b.bootLoader; });
    if (list.empty()) {
      addOnce(refusedDevice(port, nullptr, "no_usb_device", kExitNoDevice,
                            "no USB boot loader found: put the device in USB boot mode"));
    }
    for (const BootLoaderListing& b : list) {
      const HidInterfaceInfo& info = b.device;
      // By its port where no other boot loader present is on the same one, else by its node.
      const bool located =
          !info.location.empty() &&
          std::count_if(list.begin(), list.end(), [&](const BootLoaderListing& other) {
            return other.device.location == info.location;
          }) == 1;
      HidSelection by = located ? HidSelection{HidSelection::By::Location, info.location}
                                : HidSelection{HidSelection::By::Path, info.path};
      if (b.claim == HidClaimState::Busy) {
        addOnce(refusedDevice(by.portText(), &info, "device_busy", kExitNoDevice,
                              by.describe() + " is busy: in use by another program"),
                info.path);
        continue;
      }
      addOnce(BatchDevice{by.portText(), info.location, info.serialNumber,
                          int(info.attributes.version), std::nullopt},
              info.path);
    }
  }
  return devices;
}

// The last words of a batch that could not begin: the conversion was refused.
int conversionFailed(ConsoleWindow& w) {
  const UpdateOutcome outcome = w.outcome.get();
  const int code = exitCodeFor(outcome);
  std::string reason = outcome.detail;
  if (outcome.cause == UpdateOutcome::Cause::ImageRefused) {
    reason = "conversion refused: " + outcome.detail;
  } else if (outcome.cause == UpdateOutcome::Cause::NoMemory && reason.empty()) {
    reason = "out of memory";
  }
  w.report({{"event", "end"},
            {"result", "failed"},
            {"exit_code", code},
            {"reason", reason},
            {"cause", causeName(outcome.cause)},
            {"device", "untouched"},
            {"blocks_acknowledged", 0}},
           "kestrel-flash: " + printable(reason), true);
  return code;
}

// What the last line of a batch says.
std::string batchReason(const std::vector<DeviceSummary>& devices, bool interrupted) {
  const size_t ok = size_t(std::count_if(devices.begin(), devices.end(),
                                         [](const DeviceSummary& d) { return d.result == "ok"; }));
  const std::string counted =
      std::to_string(ok) + " of " + std::to_string(devices.size()) + " devices updated";
  if (interrupted) return "interrupted: " + counted + "; the summary says what each device got";
  if (ok == devices.size()) return "download finished: " + counted;
  return counted + "; the summary says which failed and why";
}

}  // namespace

ConsoleStyle batchStyle(const FlashOptions& o, const FlashEnvironment& env) {
  return o.json              ? ConsoleStyle::Json
         : o.quiet           ? ConsoleStyle::Quiet
         : env.outIsTerminal ? ConsoleStyle::Terminal
                             : ConsoleStyle::Plain;
}

BatchImage::~BatchImage() {
  if (files_ && !path_.empty()) files_->removeFile(path_);
}

std::optional<int> BatchImage::prepare(const FlashOptions& o, FlashEnvironment& env,
                                       BatchSettings* settingsOut) {
  ConsoleWindow w(env.clock, env.serial, env.hid, env.files, env.out, env.err, batchStyle(o, env),
                  env.columns);
  w.closeOn(env.interrupted);
  beginConversion(w);
  Extraction x;
  const std::string output = o.output.value_or(withoutExtension(env.files, o.file) + ".bin");
  if (!reportConversion(w, convertFirmware(w, o.file, output, &x))) return conversionFailed(w);

  BatchSettings settings;
  settings.jobs = o.jobs;
  settings.retries = o.retries;
  settings.common.host = hostName();
  settings.common.firmware = o.file;
  settings.common.imageLength = x.image.size();
  settings.common.sha256 = sha256Hex(x.image.data(), x.image.size());
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", o.searchTimeout);
  settings.childOptions = {"--json", "--search-timeout", seconds};
  if (o.log) {
    settings.logPath = *o.log;
    settings.childOptions.insert(settings.childOptions.end(), {"--log", *o.log});
  }
  FileError failed;
  if (!env.files.writePrivateFile("kestrel-image-", x.image, &settings.imagePath, &failed)) {
    refuseImageFile(w, failed.text + " (the image for the devices' processes)");
    return conversionFailed(w);
  }
  files_ = &env.files;
  path_ = settings.imagePath;
  *settingsOut = std::move(settings);
  return std::nullopt;
}

std::optional<int> flashBatch(const FlashOptions& o, FlashEnvironment& env) {
  if (o.batchChild || o.list || o.dryRun || o.watch) return std::nullopt;
  std::vector<BatchDevice> devices = devicesNamed(o, env.hid);
  // One device is a single run as it always was; with --retries it is a batch of one, which
  // tries again.
  if (o.ports.size() == 1 && devices.size() <= 1 && o.retries == 0) return std::nullopt;

  BatchSettings settings;
  BatchImage image;
  if (std::optional<int> failed = image.prepare(o, env, &settings)) return failed;
  BatchDisplay display(env.out, env.err, batchStyle(o, env),
                       {env.columns, env.rows, env.outMovesCursor});
  DeviceBatch batch(settings, display, env.clock, env.files);
  for (BatchDevice& d : devices) batch.add(std::move(d));
  batch.close();
  std::vector<DeviceSummary> summaries = batch.run(env.interrupted, env.interrupted);
  const bool interrupted = env.interrupted && env.interrupted->load();
  const int code = batchExitCode(summaries, interrupted);
  display.finish(summaries, code, batchReason(summaries, interrupted));
  return code;
}

}  // namespace kestrel
