#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/window_state.h"
#include "window/window_content.h"

namespace kestrel {

// The utility window's behaviour, whatever toolkit draws it: the order of its initialisation, the
// roads by which it closes and the question asked first, the end of a session, the file choice,
// the help and the end of its workers. A front end (the Qt window, the Win32 dialog) derives from
// it, implements WindowState's operations and the toolkit's parts below, and routes its events
// here: a click on a button to onCommand, F1 to showHelp, each road that closes the window to
// leaveBy, the end of a session to endSession. Window's thread throughout.
//
// Every way the window ends passes through endWorkers(): a front end calls it where its toolkit
// ends the window's modal run, and first thing in its destructor. A worker still running
// kShutdownWaitMs later is stuck; the owner of the window then ends the process
// (exitIfWorkersStuck) instead of freeing the state under it.
class WindowBehaviour : public WindowState {
 public:
  using WindowState::WindowState;

  // How long the end of the window waits, in real time, for its workers.
  static constexpr uint32_t kShutdownWaitMs = 1000;

  // The roads by which the user closes the window.
  enum class Road {
    CloseRequest,  // the close box, the window menu's Close, Alt+F4
    Enter,         // Enter with the focus in the port list or a field
    Escape,
  };

  // Routes a command identifier of the command table: "Search..." to chooseFirmwareFile, every
  // other one to the domain (Run, Stop, the hidden download, the service commands).
  void onCommand(int id);

  // "Search...": readWindow, then the file dialog; the chosen file gives firmwareTitle and the
  // current folder (takeChosenFile). Cancel changes nothing more.
  void chooseFirmwareFile();

  // F1: the help, in a box with the information icon.
  void showHelp();

  // Whether the window may end by `road` now; when it may, the road's own steps have run. While a
  // download changes the device's memory the user is asked first (closeQuestion), and No keeps the
  // window and the update as they are. Then the close request runs closeCommand, Enter readWindow,
  // Escape nothing more. Once a road has been let through (or the session ends), every later call
  // returns true at once: the window is on its way out, and nothing is asked twice.
  bool leaveBy(Road road);

  // Ends the window at once, for a session that ends (a termination request, the user logging
  // off): nothing is asked; the update stops as Stop stops it, the dialogs open on the window are
  // dismissed and the window ends, its workers ended and the port put back. Does nothing once the
  // window has ended.
  void endSession();

  // False when a worker still ran as the window ended: its state must then outlive the window.
  bool workersEnded() const { return workersEnded_; }

  // When a worker still ran as the window ended (stuck in a call that does not return), ends the
  // process at once with `exitCode`, its output flushed: the worker's state must not be freed
  // under it, and the end of the process ends the worker too. Otherwise returns.
  void exitIfWorkersStuck(int exitCode) const;

 protected:
  // The window's initialisation, before it first shows, in this order: the toolkit's part
  // (buildWindow) and refreshWindow with no port selected; attach() (BaudIndex 0, windowRef,
  // searchStopped 1) and refreshWindow; the Stop button disabled; PortIndex 0 and refreshWindow,
  // so that the port list shows "USB Port".
  void initialise();

  // Ends the workers, once: the boxes shown for them are dismissed, then WindowState::shutdown
  // waits up to kShutdownWaitMs for them. workersEnded() tells how that went.
  void endWorkers();

  // Runs every few milliseconds while endWorkers waits, for a front end whose workers call into
  // the window's thread synchronously: it lets those calls through there. None by default.
  void letThroughWhileEnding(std::function<void()> pump) { whileEnding_ = std::move(pump); }

  // --- The toolkit's parts --------------------------------------------------------------------
  // The controls, the port list holding `ports` in order with none selected; `menu` added to the
  // window menu after the platform's own items; the title kWindowTitle; the window's icons.
  virtual void buildWindow(const std::vector<std::string>& ports,
                           std::span<const MenuItem> menu) = 0;
  // Marks the Stop button disabled, without repainting.
  virtual void disableStop() = 0;
  // The open-file dialog, modal to the window, with the one `filter`: the chosen file's path, or
  // nothing when the user cancels.
  virtual std::optional<std::string> askForFile(const FileFilter& filter) = 0;
  // The Yes/No question, modal to the window, No the default; true for Yes.
  virtual bool askToClose(const std::string& question) = 0;
  // Dismisses the dialogs open on the window's thread (About, Service, the file dialog, a
  // question, a box), each as its Cancel or No would.
  virtual void dismissDialogs() = 0;
  // Ends the window's modal run, through endWorkers.
  virtual void endWindow() = 0;
  // Dismisses the boxes shown for workers, which would otherwise hold them. Nothing by default.
  virtual void dismissWorkerBoxes() {}

 private:
  std::function<void()> whileEnding_;
  bool leaving_ = false;
  bool ended_ = false;
  bool workersEnded_ = true;
};

}  // namespace kestrel
