#include "hid/hid_reports.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "core/ack_token.h"
#include "core/window_state.h"
#include "image/download_image.h"

namespace kestrel {
namespace {

using Lease = HidDeviceSlot::Lease;

constexpr int kReadSliceMs = 100;

std::string format(const char* fmt, int a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}

// The write handle for one send; an empty lease, after "Device not open!", when none is open.
Lease writer(WindowState& w) {
  Lease device = w.hid.hidWriteHandle.acquire();
  if (!device) w.showAppMessage("Device not open!");
  return device;
}

// Writes `report` whole. A failed write is noted in *failure and lets the device go first (a box
// holds this thread; nothing waits on the handle meanwhile); then a device that was unplugged is
// left to the caller, and any other failure is told by `tell` with the system's error number.
bool writeReport(WindowState& w, Lease& device, const uint8_t* report, HidSendFailure* failure,
                 const std::function<void(int error)>& tell) {
  HidError err;
  if (device->write(report, kReportSize, &err)) return true;
  device.reset();
  if (failure) {
    failure->error = err.error;
    failure->deviceGone = err.deviceGone;
  }
  if (err.deviceGone) {
    w.linkLost = true;
  } else {
    tell(err.error);
  }
  return false;
}

}  // namespace

bool SendHidStartReport(WindowState& w, HidSendFailure* failure) {
  Lease device = writer(w);
  if (!device) return false;
  uint8_t report[kReportSize] = {};
  report[kReportIdAt] = kReportId;
  report[kKindAt] = kStartReportCode;
  return writeReport(w, device, report, failure,
                     [&](int error) { w.showAppMessage(format("Send error= %d", error)); });
}

bool SendHidBlock(WindowState& w, uint32_t pageAddress, const uint8_t* block,
                  HidSendFailure* failure) {
  Lease device = writer(w);
  if (!device) return false;
  uint8_t report[kReportSize] = {};
  report[kReportIdAt] = kReportId;
  report[kKindAt] = kHeaderReportCode;
  report[kPageHighAt] = uint8_t(pageAddress >> 8);
  report[kPageLowAt] = uint8_t(pageAddress);
  report[kChecksumAt] = BlockChecksum(block, uint16_t(pageAddress));
  report[kHeaderFixedAt] = kHeaderFixedByte;
  if (!writeReport(w, device, report, failure,
                   [&](int error) { w.showAppMessage(format("Send error= %d", error)); })) {
    return false;
  }
  // The buffer is cleared once per block: each data report rewrites bytes 0 to 2 + n only, so the
  // shorter last report still carries the tail of the one before it, as the boot loader expects.
  uint32_t remaining = kBlockSize;
  uint32_t offset = 0;
  while (remaining > 0) {
    const uint32_t n = std::min(remaining, kDataBytesPerReport);
    report[kReportIdAt] = kReportId;
    report[kKindAt] = kDataReportCode;
    report[kDataLengthAt] = uint8_t(n);
    std::memcpy(report + kDataAt, block + offset, n);
    remaining -= n;
    auto sendError = [&](int error) {
      char text[64];
      std::snprintf(text, sizeof text, "Send error= %d len=%u", error, remaining);
      w.showAppMessage(text);
      w.showAppMessage("Couldn't send data  !");
    };
    if (!writeReport(w, device, report, failure, sendError)) return false;
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
    if (got >= int(kAckAt + kAckTokenSize) &&
        std::equal(kAckToken, kAckToken + kAckTokenSize, buf + kAckAt)) {
      w.hid.hidAckReceived = 1;
    }
  }
  // A read still outstanding is cancelled here, before the handle is closed.
  if (auto device = w.hid.hidReadHandle.acquire()) device->cancel();
}

}  // namespace kestrel
