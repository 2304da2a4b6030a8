#pragma once

#include "hid/hid_selection.h"

namespace kestrel {

class WindowState;

// Why FindHidDevice took no boot loader.
enum class HidMiss {
  None,
  ListFailed,            // The HID interfaces could not be listed (its message was shown).
  AttributesUnreadable,  // An interface's attributes could not be read (its message was shown).
  NotFound,              // No boot loader of the selection present, or none could be opened.
  Busy,                  // The boot loaders of the selection present are claimed by other runs.
  SerialNumberShared,    // Two or more boot loaders present have the serial number selected.
};

// Finds the first HID interface that `selection` admits and that has the boot loader's identity,
// claims it (HidApi::claim) and opens it twice, into hidReadHandle and hidWriteHandle. True with
// the claim held and both handles open; false with neither open and no claim held, after showing
// "Couldn't get handle for HID devices" or "Couldn't get HID attributes" where that was the cause,
// and *miss (when given) set to why. An interface that another run has claimed is skipped as one
// that cannot be opened is; it is never opened. A selection by serial number takes nothing when
// two boot loaders present have that number. A selection other than the first found opens only
// interfaces that the system lists with the boot loader's identity. The window's search passes no
// selection.
// Window's thread (or the command line's), while no USB download runs.
bool FindHidDevice(WindowState& w, const HidSelection& selection = {}, HidMiss* miss = nullptr);

// Closes the read handle, then the write handle, each once its last user has let go, then lets the
// claim go. Harmless when nothing is open.
void CloseHidDevice(WindowState& w);

}  // namespace kestrel
