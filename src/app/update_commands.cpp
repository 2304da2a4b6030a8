#include "app/update_commands.h"

#include "core/window_state.h"
#include "hid/hid_download.h"
#include "hid/hid_link.h"
#include "image/elf_image_extractor.h"
#include "serial/serial_download.h"
#include "serial/serial_search.h"
#include "serial/serial_session.h"
#include "service/service_commands.h"

namespace kestrel {

void runCommand(WindowState& w) {
  w.linkLost = false;
  w.currentBlock = -1;
  w.readWindow();
  switch (convert(w, w.firmwareTitle.get())) {
    case ConvertResult::Ok:
      break;
    case ConvertResult::Failed:
      w.showMessage("File Convert fail!", "Error");
      return;
    case ConvertResult::FileError:
      return;
  }
  if (w.PortIndex != 0) {
    startSerialSearch(w);
    return;
  }
  if (!FindHidDevice(w)) {
    w.showMessage("Make sure the Device work under USB-Boot Mode", "Prompt");
    CloseHidDevice(w);
    return;
  }
  w.disableRun();
  if (!w.workers.start("HidDownloadThread", HidDownloadThread)) {
    CloseHidDevice(w);
    w.showMessage("The USB download could not be started: no thread is available.", "Error",
                  MessageIcon::Error);
    w.enableRun();
  }
}

void stopCommand(WindowState& w) {
  w.searchStopped = 1;
  w.statusText.set(" Stop !!");
  closePort(w);
  w.refreshWindow();
}

void closeCommand(WindowState& w) {
  w.searchStopped = 1;
  w.clock.sleepMs(50);
}

bool dispatchCommand(WindowState& w, int id) {
  switch (id) {
    case kCmdRun:
      runCommand(w);
      return true;
    case kCmdStop:
      stopCommand(w);
      return true;
    case kCmdUpdate:
      serialDownload(w);
      return true;
    default:
      return runServiceCommand(w, id);
  }
}

bool shutdownWorkers(WindowState& w, unsigned timeoutMs) {
  w.windowClosing = true;
  w.searchStopped = 1;
  // Wakes a worker blocked on the serial line; the HID workers notice within one 100 ms read.
  closePort(w);
  return w.workers.waitAll(timeoutMs);
}

}  // namespace kestrel
