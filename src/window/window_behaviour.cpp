#include "window/window_behaviour.h"

#include <cstdio>
#include <cstdlib>

#include "update/update_commands.h"

namespace kestrel {

void WindowBehaviour::initialise() {
  buildWindow(portListEntries(), kWindowMenu);
  refreshWindow();
  attach();
  refreshWindow();
  disableStop();
  PortIndex = 0;
  refreshWindow();
}

void WindowBehaviour::onCommand(int id) {
  if (id == kCmdSearch) {
    chooseFirmwareFile();
    return;
  }
  dispatchCommand(*this, id);
}

void WindowBehaviour::chooseFirmwareFile() {
  readWindow();
  if (std::optional<std::string> path = askForFile(kFirmwareFilter)) takeChosenFile(*this, *path);
}

void WindowBehaviour::showHelp() {
  showMessage(std::string(kHelpText), std::string(kHelpCaption), MessageIcon::Information);
}

bool WindowBehaviour::leaveBy(Road road) {
  if (leaving_) return true;
  if (std::optional<std::string> question = closeQuestion(*this)) {
    if (!askToClose(*question)) return false;
  }
  leaving_ = true;
  if (road == Road::CloseRequest) closeCommand(*this);
  if (road == Road::Enter) readWindow();
  return true;
}

void WindowBehaviour::endSession() {
  if (ended_) return;
  leaving_ = true;
  stopCommand(*this);
  dismissDialogs();
  endWindow();
}

void WindowBehaviour::endWorkers() {
  if (ended_) return;
  ended_ = true;
  dismissWorkerBoxes();
  workersEnded_ = shutdown(kShutdownWaitMs, whileEnding_);
}

void WindowBehaviour::exitIfWorkersStuck(int exitCode) const {
  if (workersEnded_) return;
  std::fflush(nullptr);
  std::_Exit(exitCode);
}

}  // namespace kestrel
