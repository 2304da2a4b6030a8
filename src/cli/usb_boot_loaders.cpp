#include "cli/usb_boot_loaders.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "cli/console_window.h"
#include "platform/backends.h"
#include "platform_api/files.h"
#include "platform_api/hid_device.h"

namespace kestrel {
namespace {

using Json = nlohmann::ordered_json;

// True when `path` exists and this user may not open it: the fix is a permission.
bool permissionDenied(const std::string& path) {
  PathInfo info = inspectPath(path);
  return info.exists && info.accessError == EACCES;
}

bool hasBootVendorAndProduct(const HidInterfaceInfo& i) {
  return i.attributes.vendorId == kBootVendorId && i.attributes.productId == kBootProductId;
}

// A device of the boot loader's vendor and product that this user may not open.
bool anyBootLoaderForbidden(HidApi& hid) {
  std::vector<HidInterfaceInfo> interfaces;
  if (!hid.enumerate(&interfaces)) return false;
  return std::any_of(interfaces.begin(), interfaces.end(), [](const HidInterfaceInfo& i) {
    return hasBootVendorAndProduct(i) && permissionDenied(i.path);
  });
}

// Lays out rows of cells in columns two blanks apart; the last cell of a row runs on.
std::string table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    for (size_t c = 0; c + 1 < row.size(); ++c) {
      if (widths.size() <= c) widths.push_back(0);
      widths[c] = std::max(widths[c], row[c].size());
    }
  }
  std::string text;
  for (const auto& row : rows) {
    text += "\n ";
    for (size_t c = 0; c < row.size(); ++c) {
      text += " " + row[c];
      if (c + 1 < row.size()) text += std::string(widths[c] - row[c].size() + 1, ' ');
    }
  }
  return text;
}

}  // namespace

const char* const kUdevHint =
    "a HID device exists that this user may not open: install the udev rule "
    "(sudo cp 60-kestrel-bootloader.rules /etc/udev/rules.d/ && sudo udevadm control --reload "
    "&& sudo udevadm trigger), then plug the device in again";

UsbListing listUsbBootLoaders(HidApi& hid) {
  Json devices = Json::array();
  std::vector<BootLoaderListing> list;
  if (!listBootLoaders(hid, &list)) {
    return {{{"event", "usb"}, {"listed", false}, {"devices", devices}},
            "USB boot loaders: the HID devices cannot be listed"};
  }
  std::vector<std::vector<std::string>> rows = {
      {"location", "serial number", "version", "path", "state"}};
  for (const BootLoaderListing& b : list) {
    const HidInterfaceInfo& d = b.device;
    bool forbidden = b.claim == HidClaimState::Unknown && permissionDenied(d.path);
    Json device = {
        {"path", d.path},
        {"location", d.location.empty() ? Json(nullptr) : Json(d.location)},
        {"serial_number", d.serialNumber.empty() ? Json(nullptr) : Json(d.serialNumber)},
        {"serial_number_shared", b.serialNumberShared},
        {"state", !b.bootLoader ? "other_version"
                  : forbidden   ? "not_openable"
                                : "boot_loader"},
        {"vendor", d.attributes.vendorId},
        {"product", d.attributes.productId},
        {"version", d.attributes.version},
        {"busy",
         b.claim == HidClaimState::Unknown ? Json(nullptr) : Json(b.claim == HidClaimState::Busy)}};
    std::string state = !b.bootLoader ? "not the boot loader's version"
                        : forbidden
                            ? std::string("cannot be opened: permission denied (") + kUdevHint + ")"
                        : b.claim == HidClaimState::Busy ? "busy: in use by another program"
                        : b.claim == HidClaimState::Free ? "free"
                                                         : "cannot be looked at";
    if (forbidden) device["hint"] = kUdevHint;
    devices.push_back(device);
    char version[8];
    std::snprintf(version, sizeof version, "0x%04X", d.attributes.version);
    rows.push_back({d.location.empty() ? "-" : d.location,
                    d.serialNumber.empty() ? "(none)"
                    : b.serialNumberShared ? d.serialNumber + " (shared)"
                                           : d.serialNumber,
                    version, d.path, state});
  }
  std::string text = "USB boot loaders:" + (list.empty() ? "\n  none" : table(rows));
  return {{{"event", "usb"}, {"listed", true}, {"devices", devices}}, text};
}

bool chooseEveryBootLoader(HidApi& hid, HidSelection* selection, std::string* label,
                           std::string* refusal) {
  std::vector<BootLoaderListing> list;
  listBootLoaders(hid, &list);
  std::erase_if(list, [](const BootLoaderListing& b) { return !b.bootLoader; });
  if (list.size() > 1) {
    *refusal = "--port usb:* found " + std::to_string(list.size()) +
               " USB boot loaders; updating several at once is not available yet: choose one with "
               "--port usb:LOCATION or usb:serial=SN (--list shows them)";
    return false;
  }
  if (list.empty()) {
    *selection = {};
    *label = "USB";
    return true;
  }
  const HidInterfaceInfo& one = list.front().device;
  *selection = {HidSelection::By::Path, one.path};
  *label = one.location.empty() ? "USB"
                                : HidSelection{HidSelection::By::Location, one.location}.portText();
  return true;
}

std::string usbMissReason(const UpdateOutcome& outcome, const HidSelection& selection,
                          HidApi& hid) {
  std::string reason;
  switch (outcome.cause) {
    case UpdateOutcome::Cause::DeviceBusy:
      return outcome.detail;
    case UpdateOutcome::Cause::DuplicateSerial:
      return outcome.detail +
             ": choose one by its port with --port usb:LOCATION (--list shows them)";
    default:
      reason =
          selection.by == HidSelection::By::First
              ? "no USB boot loader found: put the device in USB boot mode"
              : outcome.detail +
                    ": put the device in USB boot mode (--list shows the boot loaders present)";
      break;
  }
  if (anyBootLoaderForbidden(hid)) reason += std::string(" (") + kUdevHint + ")";
  return reason;
}

}  // namespace kestrel
