#pragma once

// What the jobs of kestrel-flash share (the port list, the dry run and the update): the run's
// options, port and environment, its console, and the end of a run. For the command line's own
// sources.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cli/console_window.h"
#include "cli/flash_command.h"
#include "cli/flash_options.h"
#include "cli/flash_record.h"
#include "cli/usb_boot_loaders.h"
#include "hid/hid_selection.h"

namespace kestrel {

// Where --port leads: the USB boot loader, a COM port of the window's list, or a device path.
struct PortChoice {
  int portIndex = 0;       // 0 USB, 1..9 COM1..COM9 (a device path goes as COM1 of its own).
  std::string devicePath;  // The device path, for a port not of the window's list.
  UsbPort usb;             // Which USB boot loader, for the USB link.
};

// The port that `name` names, or nothing with *error saying why when it names none.
std::optional<PortChoice> choosePort(const std::string& name, std::string* error);

// A usage error: the "end" object in JSON, and the reason on stderr, with a pointer to --help
// when `pointToHelp`. Returns kExitUsage.
int usageError(FlashEnvironment& env, bool json, const std::string& reason,
               bool pointToHelp = true);

// "1 block", "5 blocks".
std::string blocksText(uint64_t blocks);

// One run of kestrel-flash with its options. Each job builds its console, does its work and ends
// with the run's last line (end()); each returns the exit code.
class FlashRun {
 public:
  FlashRun(const FlashOptions& o, const PortChoice& port, FlashEnvironment& env);
  ~FlashRun();

  int list();    // --list: where the ports lead, the USB boot loaders present.
  int dryRun();  // --dry-run: the conversion and what the download would send.
  int update();  // The update.

 private:
  ConsoleStyle style() const;
  std::unique_ptr<ConsoleWindow> console(SerialBackend& serial);
  // Prints the end of a run: the "end" event in JSON; otherwise the reason on stderr for a
  // failure, or `success` on stdout.
  int end(ConsoleWindow& w, int code, const std::string& reason, const UpdateOutcome* outcome,
          const std::string& success = "");
  // What ended the update, in words for the last line: what failed and what to do.
  std::string reasonFor(const ConsoleWindow& w, const UpdateOutcome& outcome) const;
  std::string portLabel() const { return !usbLabel_.empty() ? usbLabel_ : o_.port; }
  // The device the chosen serial port leads to, or "" for USB and unmapped names.
  std::string portDevice() const;

  const FlashOptions& o_;
  const PortChoice port_;
  FlashEnvironment& env_;
  std::unique_ptr<SerialBackend> devicePath_;  // The backend of a --port PATH.
  HidSelection usb_;      // The USB boot loader to take, when --port names the USB link.
  std::string usbLabel_;  // How the success line names it.
  std::unique_ptr<UnitRecorder> recorder_;  // With --log, or as a batch's child.
};

}  // namespace kestrel
