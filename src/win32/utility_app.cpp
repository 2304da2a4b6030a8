#include "win32/utility_app.h"

// After windows.h (through utility_app.h), which it builds on.
#include <commctrl.h>

#include <memory>

#include "platform/backends.h"
#include "platform_api/clock.h"
#include "platform_api/files.h"
#include "platform_api/hid_device.h"
#include "platform_api/serial_port.h"
#include "win32/utility_window.h"

namespace kestrel {

int UtilityApp::run() {
  // The common controls the window uses (the progress bar), in their classic look.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);
  auto window = std::make_unique<UtilityWindow>(instance_, systemClock(), serialBackend(),
                                                hidBackend(), fileSystem());
  window->run();
  window->exitIfWorkersStuck(0);
  window.reset();
  return 0;
}

}  // namespace kestrel
