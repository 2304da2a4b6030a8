#include "hid/hid_link.h"

#include "core/window_state.h"

namespace kestrel {

bool FindHidDevice(WindowState& w) {
  HidLink& link = w.hid;
  std::vector<std::string> paths;
  if (!w.hidApi.enumerate(&paths)) {
    w.showAppMessage("Couldn't get handle for HID devices");
    return false;
  }
  for (const std::string& path : paths) {
    // Both opens are tried even when the first fails, as the pair is judged together.
    link.hidReadHandle = w.hidApi.open(path);
    link.hidWriteHandle = w.hidApi.open(path);
    if (!link.hidReadHandle || !link.hidWriteHandle) {
      CloseHidDevice(w);
      continue;
    }
    HidAttributes a;
    if (!link.hidReadHandle->attributes(&a)) {
      w.showAppMessage("Couldn't get HID attributes");
      CloseHidDevice(w);
      return false;
    }
    if (a.vendorId == kBootVendorId && a.productId == kBootProductId && a.version == kBootVersion) {
      return true;
    }
    CloseHidDevice(w);
  }
  return false;
}

void CloseHidDevice(WindowState& w) {
  w.hid.hidReadHandle.reset();
  w.hid.hidWriteHandle.reset();
}

}  // namespace kestrel
