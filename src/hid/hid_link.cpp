#include "hid/hid_link.h"

#include "core/window_state.h"

namespace kestrel {

bool FindHidDevice(WindowState& w, const HidSelection& selection, HidMiss* miss) {
  auto missed = [&](HidMiss why) {
    if (miss) *miss = why;
    return false;
  };
  HidLink& link = w.hid;
  std::vector<HidInterfaceInfo> interfaces;
  if (!w.hidApi.enumerate(&interfaces)) {
    w.showAppMessage("Couldn't get handle for HID devices");
    return missed(HidMiss::ListFailed);
  }
  if (selection.by == HidSelection::By::SerialNumber &&
      bootLoadersWithSerialNumber(interfaces, selection.value) > 1) {
    return missed(HidMiss::SerialNumberShared);
  }
  bool busySeen = false;
  for (const HidInterfaceInfo& info : interfaces) {
    if (!selection.admits(info)) continue;
    // A device chosen by name is opened only when it lists itself as the boot loader; the
    // window's search opens every interface, as it always has.
    if (selection.by != HidSelection::By::First && !isBootLoader(info.attributes)) continue;
    // The claim comes before any open: a device that another run is updating is never opened.
    bool busy = false;
    std::unique_ptr<HidClaim> claim = w.hidApi.claim(info.path, &busy);
    if (!claim) {
      busySeen = busySeen || (busy && isBootLoader(info.attributes));
      continue;
    }
    // Both opens are tried even when the first fails, as the pair is judged together.
    std::unique_ptr<HidDevice> reader = w.hidApi.open(info.path, HidUse::Read);
    std::unique_ptr<HidDevice> writer = w.hidApi.open(info.path, HidUse::Write);
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
      return missed(HidMiss::AttributesUnreadable);
    }
    if (isBootLoader(a)) {
      link.hidClaim.put(info.path, std::move(claim));
      link.hidReadHandle.put(std::move(reader));
      link.hidWriteHandle.put(std::move(writer));
      if (miss) *miss = HidMiss::None;
      return true;
    }
    closeBoth();
  }
  return missed(busySeen ? HidMiss::Busy : HidMiss::NotFound);
}

void CloseHidDevice(WindowState& w) {
  w.hid.hidReadHandle.close();
  w.hid.hidWriteHandle.close();
  w.hid.hidClaim.release();
}

}  // namespace kestrel
