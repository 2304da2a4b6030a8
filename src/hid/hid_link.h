#pragma once

#include <cstdint>

namespace kestrel {

class WindowState;

// The boot loader's identity.
inline constexpr uint16_t kBootVendorId = 0xFFFF;
inline constexpr uint16_t kBootProductId = 0x0012;
inline constexpr uint16_t kBootVersion = 0x0100;

// Finds the first HID interface with the boot loader's identity and opens it twice, into
// hidReadHandle and hidWriteHandle. True with both open; false with neither open, after showing
// "Couldn't get handle for HID devices" or "Couldn't get HID attributes" where that was the cause.
// Window's thread, while no USB download runs.
bool FindHidDevice(WindowState& w);

// Closes the read handle, then the write handle, each once its last user has let go. Harmless
// when nothing is open.
void CloseHidDevice(WindowState& w);

}  // namespace kestrel
