#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

class WindowState;

inline constexpr size_t kReportSize = 65;  // Report ID 0x00 and 64 bytes.
inline constexpr uint8_t kStartReportCode = 0xB5;
inline constexpr uint8_t kHeaderReportCode = 0xAA;
inline constexpr uint8_t kDataReportCode = 0x55;
inline constexpr int kDataReportsPerBlock = 41;

// Why a send failed, for the caller's record: the system's error number of the failed write, and
// whether it means the device has gone away. Both zero when no write was tried.
struct HidSendFailure {
  int error = 0;
  bool deviceGone = false;
};

// Writes the start report on hidWriteHandle. Shows "Device not open!" or "Send error= %d" and
// returns false when it cannot. A device that has gone away is not reported here: the call
// returns false with failure->deviceGone set, and the caller reports the download's time-out
// instead. HidDownloadThread only.
bool SendHidStartReport(WindowState& w, HidSendFailure* failure = nullptr);

// Writes one block: the header report (page address, checksum) and 41 data reports of 50 bytes,
// the last of 48. Shows "Device not open!", "Send error= %d", or "Send error= %d len=%d" followed
// by "Couldn't send data  !", and returns false when a write fails; a device that has gone away
// is left to the caller as for SendHidStartReport. HidDownloadThread only.
bool SendHidBlock(WindowState& w, uint32_t pageAddress, const uint8_t* block,
                  HidSendFailure* failure = nullptr);

// Reads input reports on hidReadHandle while hidRunning is nonzero, in waits of 100 ms, and
// raises hidAckReceived for a report with "U5U" at bytes 2 to 4. Ends within one wait of
// hidRunning being cleared, with no read outstanding. A device that is gone is never reported.
void HidReceiveThread();

}  // namespace kestrel
