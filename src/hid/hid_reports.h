#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

class WindowState;

// Every report, in and out, is 65 bytes: the report ID in byte 0, always 0x00, and 64 bytes of
// contents. Byte positions below count the report ID as byte 0.
inline constexpr size_t kReportSize = 65;
inline constexpr uint8_t kReportId = 0x00;
inline constexpr size_t kReportIdAt = 0;
// Byte 1 of an output report says what kind it is.
inline constexpr size_t kKindAt = 1;
inline constexpr uint8_t kStartReportCode = 0xB5;  // The start report: nothing but its kind.
inline constexpr uint8_t kHeaderReportCode = 0xAA;
inline constexpr uint8_t kDataReportCode = 0x55;

// The block header report, one before each block's data.
inline constexpr size_t kPageHighAt = 2;  // PageAddress bits 15 to 8.
inline constexpr size_t kPageLowAt = 3;   // PageAddress bits 7 to 0.
inline constexpr size_t kChecksumAt = 4;  // BlockChecksum.
// Byte 5 of every header holds the same value, which the boot loader checks.
inline constexpr size_t kHeaderFixedAt = 5;
inline constexpr uint8_t kHeaderFixedByte = 0x04;

// The block data reports: 41 after each header, each with the count of block bytes it carries and
// those bytes, 50 in each but the last, which carries the remaining 48.
inline constexpr size_t kDataLengthAt = 2;
inline constexpr size_t kDataAt = 3;
inline constexpr uint32_t kDataBytesPerReport = 50;
inline constexpr int kDataReportsPerBlock = 41;

// The acknowledgement, an input report: the AckToken at bytes 2 to 4, anything elsewhere.
inline constexpr size_t kAckAt = 2;

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
