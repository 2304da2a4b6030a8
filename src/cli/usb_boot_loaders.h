#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/update_outcome.h"
#include "hid/hid_selection.h"

namespace kestrel {

class HidApi;

// The fix for a boot loader that this user may not open.
extern const char* const kUdevHint;

// The USB boot loaders present for --list: the "usb" event (each device's path, location, serial
// number, whether another boot loader shares that number, vendor, product, version, whether it is
// busy) and the same as a table for people. No report goes to or comes from any of them.
struct UsbListing {
  nlohmann::ordered_json event;
  std::string text;
};
UsbListing listUsbBootLoaders(HidApi& hid);

// What --port usb:* comes to with the boot loaders present: the one boot loader there is (by its
// path; *label names it as --port would), the first found when there is none (which finds none),
// or false with *refusal saying why when there are several, which one run cannot update yet.
bool chooseEveryBootLoader(HidApi& hid, HidSelection* selection, std::string* label,
                           std::string* refusal);

// Why no USB boot loader was taken, for the last line of a run: what was looked for and what to
// do. For the outcomes NoUsbDevice, DeviceBusy and DuplicateSerial.
std::string usbMissReason(const UpdateOutcome& outcome, const HidSelection& selection, HidApi& hid);

}  // namespace kestrel
