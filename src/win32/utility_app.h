#pragma once

#include <windows.h>

namespace kestrel {

// The application on Windows: the controls' classes, then the window run modally with the real
// clock, COM ports and HID devices; the program ends when it ends.
class UtilityApp {
 public:
  explicit UtilityApp(HINSTANCE instance) : instance_(instance) {}
  // Returns the exit status.
  int run();

 private:
  HINSTANCE instance_;
};

}  // namespace kestrel
