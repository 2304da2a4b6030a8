#pragma once

// The end of a run in the command line's words: the names that the JSON gives causes, steps and
// what the device got, and the hint that goes with a port this user may not open.

#include <string>

#include "core/update_outcome.h"

namespace kestrel {

class WindowState;

// The fix for a serial port this user may not open.
extern const char* const kDialoutHint;

const char* causeName(UpdateOutcome::Cause c);
// The step's name, or null for none.
const char* stepName(UpdateOutcome::Step s);

// What the device got of an update, as the window's record of it says.
struct DeviceGot {
  enum Kind {
    Nothing,     // Not a byte.
    Woken,       // The wake bytes: it may wait in its boot loader, its firmware untouched.
    Incomplete,  // The download began: no working firmware until an update completes.
    Complete,    // Every block acknowledged, block 0 last.
  };
  Kind kind = Nothing;
  int acknowledged = 0;  // Blocks acknowledged, in the order sent: blocks 1 to k.
  int blocks = 0;        // The image's blocks, 0 when no image was converted.
};

DeviceGot deviceGot(const WindowState& w);
const char* deviceGotName(DeviceGot::Kind kind);

// Why an update was interrupted, with what the device got by then.
std::string interruptedReason(const DeviceGot& got);

}  // namespace kestrel
