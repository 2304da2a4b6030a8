#include "hid/hid_reports.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/window_state.h"
#include "image/download_image.h"

namespace kestrel {
namespace {

constexpr int kReadSliceMs = 100;
constexpr uint32_t kDataBytesPerReport = 50;

std::string format(const char* fmt, int a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}

// A failed write: true (with *failure filled in) when it means the device was unplugged, which is
// left to the caller; otherwise the caller shows the write's error.
bool gone(WindowState& w, const HidError& err, HidSendFailure* failure) {
  if (failure) {
    failure->error = err.error;
    failure->deviceGone = err.deviceGone;
  }
  if (!err.deviceGone) return false;
  w.linkLost = true;
  return true;
}

}  // namespace

bool SendHidStartReport(WindowState& w, HidSendFailure* failure) {
  auto device = w.hid.hidWriteHandle.acquire();
  if (!device) {
    w.showAppMessage("Device not open!");
    return false;
  }
  uint8_t report[kReportSize] = {0x00, kStartReportCode};
  HidError err;
  if (!device->write(report, kReportSize, &err)) {
    device.reset();  // the box holds this thread; nothing waits on the handle meanwhile
    if (gone(w, err, failure)) return false;
    w.showAppMessage(format("Send error= %d", err.error));
    return false;
  }
  return true;
}

bool SendHidBlock(WindowState& w, uint32_t pageAddress, const uint8_t* block,
                  HidSendFailure* failure) {
  auto device = w.hid.hidWriteHandle.acquire();
  if (!device) {
    w.showAppMessage("Device not open!");
    return false;
  }
  uint8_t report[kReportSize] = {};
  report[0] = 0x00;
  report[1] = kHeaderReportCode;
  report[2] = uint8_t(pageAddress >> 8);
  report[3] = uint8_t(pageAddress);
  report[4] = BlockChecksum(block, uint16_t(pageAddress));
  report[5] = 0x04;
  HidError err;
  if (!device->write(report, kReportSize, &err)) {
    device.reset();
    if (gone(w, err, failure)) return false;
    w.showAppMessage(format("Send error= %d", err.error));
    return false;
  }
  // The buffer is cleared once per block: each data report rewrites bytes 0 to 2 + n only, so the
  // shorter last report still carries the tail of the one before it, as the boot loader expects.
  uint32_t remaining = kBlockSize;
  uint32_t offset = 0;
  while (remaining > 0) {
    uint32_t n = remaining > kDataBytesPerReport - 1 ? kDataBytesPerReport : remaining;
    report[0] = 0x00;
    report[1] = kDataReportCode;
    report[2] = uint8_t(n);
    std::memcpy(report + 3, block + offset, n);
    remaining -= n;
    if (!device->write(report, kReportSize, &err)) {
      device.reset();
      if (gone(w, err, failure)) return false;
      char text[64];
      std::snprintf(text, sizeof text, "Send error= %d len=%u", err.error, remaining);
      w.showAppMessage(text);
      w.showAppMessage("Couldn't send data  !");
      return false;
    }
    offset += n;
  }
  return true;
}

void HidReceiveThread() {
  WindowState& w = window();
  uint8_t buf[kReportSize] = {};
  while (w.hid.hidRunning != 0 && !w.closing()) {
    buf[0] = buf[1] = buf[2] = 0;
    HidError err;
    int got = -1;
    bool open = false;
    if (auto device = w.hid.hidReadHandle.acquire()) {
      open = true;
      got = device->read(buf, sizeof buf, kReadSliceMs, &err);
    }
    if (got == 0) continue;  // This wait's slice ended without a report.
    if (got < 0) {
      if (!open || err.deviceGone) {
        if (err.deviceGone) w.linkLost = true;
        // Unplugged (or closed): nothing to report; wait for the download to give up.
        w.pause(kReadSliceMs);
        continue;
      }
      if (err.afterWait) {
        w.showAppMessage(format("GetOverlappedResult error: %d", err.error));
        continue;
      }
      w.showAppMessage(format("Read error= %d", err.error));
      return;
    }
    if (got < 3) {
      w.showAppMessage(format("Only read %d bytes", got));
      continue;
    }
    if (got >= 5 && buf[2] == 'U' && buf[3] == '5' && buf[4] == 'U') w.hid.hidAckReceived = 1;
  }
  // A read still outstanding is cancelled here, before the handle is closed.
  if (auto device = w.hid.hidReadHandle.acquire()) device->cancel();
}

}  // namespace kestrel
