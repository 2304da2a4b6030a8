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
    std::unique_ptr<HidDevice> reader = w.hidApi.open(path, HidUse::Read);
    std::unique_ptr<HidDevice> writer = w.hidApi.open(path, HidUse::Write);
    // Whatever does not become the link is closed read handle first, as CloseHidDevice does.
    auto closeBoth = [&] {
      reader.reset();
      writer.reset();
    };
    if (!reader || !writer) {
      closeBoth();
      continue;
    }
    HidAttributes a;
    if (!reader->attributes(&a)) {
      closeBoth();
      w.showAppMessage("Couldn't get HID attributes");
      return false;
    }
    if (a.vendorId == kBootVendorId && a.productId == kBootProductId && a.version == kBootVersion) {
      link.hidReadHandle.put(std::move(reader));
      link.hidWriteHandle.put(std::move(writer));
      return true;
    }
    closeBoth();
  }
  return false;
}

void CloseHidDevice(WindowState& w) {
  w.hid.hidReadHandle.close();
  w.hid.hidWriteHandle.close();
}

}  // namespace kestrel
