#include "hid/hid_selection.h"

#include <algorithm>

namespace kestrel {
namespace {

bool sameLetters(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

bool hasBootIdentity(const HidInterfaceInfo& info) {
  return isBootLoader(info.attributes);
}

}  // namespace

bool HidSelection::admits(const HidInterfaceInfo& info) const {
  switch (by) {
    case By::First:
      return true;
    case By::Location:
      // Windows spells the elements of a location path in capitals, and people type them in
      // either case; Linux's have no letters.
      return !info.location.empty() && sameLetters(info.location, value);
    case By::SerialNumber:
      return info.serialNumber == value;
    case By::Path:
      return info.path == value;
  }
  return false;
}

std::string HidSelection::describe() const {
  switch (by) {
    case By::First:
      return "the USB boot loader";
    case By::Location:
      return "the USB boot loader at " + value;
    case By::SerialNumber:
      return "the USB boot loader with serial number " + value;
    case By::Path:
      return "the USB boot loader at " + value;
  }
  return "the USB boot loader";
}

std::string HidSelection::portText() const {
  switch (by) {
    case By::First:
      return "usb";
    case By::Location:
      return "usb:" + value;
    case By::SerialNumber:
      return "usb:serial=" + value;
    case By::Path:
      return "usb:path=" + value;
  }
  return "usb";
}

UsbPortParse parseUsbPort(std::string_view text, UsbPort* port, std::string* error) {
  if (text == "usb") {
    *port = UsbPort{};
    return UsbPortParse::Ok;
  }
  if (text.substr(0, 4) != "usb:") return UsbPortParse::NotUsb;
  std::string_view rest = text.substr(4);
  UsbPort parsed;
  auto named = [&](std::string_view prefix, HidSelection::By by) {
    if (rest.substr(0, prefix.size()) != prefix) return false;
    parsed.selection = {by, std::string(rest.substr(prefix.size()))};
    return true;
  };
  if (rest == "*") {
    parsed.every = true;
  } else if (named("serial=", HidSelection::By::SerialNumber) ||
             named("path=", HidSelection::By::Path)) {
    if (parsed.selection.value.empty()) {
      *error = "--port " + std::string(text) + " names no " +
               (parsed.selection.by == HidSelection::By::Path ? "device path" : "serial number");
      return UsbPortParse::Invalid;
    }
  } else if (rest.empty()) {
    *error = "--port usb: needs a location, serial=SN or * after the colon";
    return UsbPortParse::Invalid;
  } else {
    parsed.selection = {HidSelection::By::Location, std::string(rest)};
  }
  *port = std::move(parsed);
  return UsbPortParse::Ok;
}

int bootLoadersWithSerialNumber(const std::vector<HidInterfaceInfo>& interfaces,
                                const std::string& serialNumber) {
  return int(std::count_if(interfaces.begin(), interfaces.end(), [&](const HidInterfaceInfo& i) {
    return hasBootIdentity(i) && i.serialNumber == serialNumber;
  }));
}

bool listBootLoaders(HidApi& hid, std::vector<BootLoaderListing>* out) {
  out->clear();
  std::vector<HidInterfaceInfo> interfaces;
  if (!hid.enumerate(&interfaces)) return false;
  for (const HidInterfaceInfo& i : interfaces) {
    if (i.attributes.vendorId != kBootVendorId || i.attributes.productId != kBootProductId) {
      continue;
    }
    BootLoaderListing entry;
    entry.device = i;
    entry.bootLoader = hasBootIdentity(i);
    entry.claim = hid.claimState(i.path);
    entry.serialNumberShared = entry.bootLoader && !i.serialNumber.empty() &&
                               bootLoadersWithSerialNumber(interfaces, i.serialNumber) > 1;
    out->push_back(std::move(entry));
  }
  return true;
}

}  // namespace kestrel
