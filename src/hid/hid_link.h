#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/hid_device.h"

namespace kestrel {

class WindowState;

// The USB link's state in the window.
//
// The handles are opened and closed together: by FindHidDevice and CloseHidDevice on the
// window's thread while no download runs, and by CloseHidDevice on the HidDownloadThread after
// its HidReceiveThread has ended. hidReadHandle is read only by the HidReceiveThread,
// hidWriteHandle written only by the HidDownloadThread.
struct HidLink {
  std::unique_ptr<HidDevice> hidReadHandle;
  std::unique_ptr<HidDevice> hidWriteHandle;
  std::atomic<uint32_t> hidRunning{0};      // Nonzero while a USB download runs.
  std::atomic<uint32_t> hidAckReceived{0};  // Raised by the receive thread on "U5U".
};

// The boot loader's identity.
inline constexpr uint16_t kBootVendorId = 0xFFFF;
inline constexpr uint16_t kBootProductId = 0x0012;
inline constexpr uint16_t kBootVersion = 0x0100;

// Finds the first HID interface with the boot loader's identity and opens it twice, into
// hidReadHandle and hidWriteHandle. True with both open; false with neither open, after showing
// "Couldn't get handle for HID devices" or "Couldn't get HID attributes" where that was the cause.
// Window's thread only.
bool FindHidDevice(WindowState& w);

// Closes the read handle, then the write handle. Harmless when nothing is open.
void CloseHidDevice(WindowState& w);

}  // namespace kestrel
