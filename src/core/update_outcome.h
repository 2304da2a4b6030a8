#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace kestrel {

// What became of an update, as data. It is set where the update ends, beside the message boxes
// that tell the user; code that acts on the result (the command line's exit code and JSON, a
// retry) reads this and never the text of a message.
struct UpdateOutcome {
  enum class Cause {
    None,               // No update has begun.
    Running,            // Begun and not ended yet.
    Success,            // The device acknowledged every block (and got the restart command).
    ImageRefused,       // The ELF file was missing, unreadable or refused by the conversion.
    ImageFileError,     // The image file could not be written (or, for "UPDATE", read).
    NoMemory,           // No memory for the image.
    PortUnavailable,    // The serial port could not be opened.
    NoUsbDevice,        // No USB boot loader among the HID devices, or they could not be listed.
    DeviceBusy,         // The USB boot loader selected is claimed by another run.
    DuplicateSerial,    // Two USB boot loaders present have the serial number selected.
    NoAnswer,           // The serial search ended without the device's answer (Stop).
    NoAcknowledgement,  // The device did not acknowledge a step (or answered something else).
    DeviceGone,         // The line hung up or the device was unplugged during the update.
    LineHeldUp,         // The serial line stopped taking bytes (flow control held it).
    SendError,          // A USB report could not be written.
    ThreadFailed,       // A worker thread could not be started.
    Interrupted,        // The window closed (or the program was told to end) mid-update.
  };
  // The step of the protocol at which it ended, where that is known.
  enum class Step {
    None,
    ClearCommand,  // "UCLRU"
    BlockCommand,  // "UFLHU"
    BlockData,     // the block's frame
    Block,         // a USB block: its header and data reports, and their acknowledgement
    StartReport,   // the USB start report
  };

  Cause cause = Cause::None;
  Step step = Step::None;
  int block = -1;      // The block being sent, or -1.
  int error = 0;       // The system's error number, where the system gave one.
  std::string detail;  // Words for a person: what failed and why ("fw.out: No such file ...").

  bool ended() const { return cause != Cause::None && cause != Cause::Running; }
};

// The window's record of the last update's outcome. Any thread may set or read it.
class OutcomeRecord {
 public:
  // `closing`, when given, tells whether the window is closing: an update that ends once it is
  // closing ended because of the close, whatever the step that noticed it, so it is recorded as
  // Interrupted. It must not call back into this record.
  explicit OutcomeRecord(std::function<bool()> closing = {}) : closing_(std::move(closing)) {}

  UpdateOutcome get() const {
    std::lock_guard lock(mutex_);
    return outcome_;
  }
  // A new update begins: the outcome is Running until set().
  void begin() {
    std::lock_guard lock(mutex_);
    outcome_ = UpdateOutcome{};
    outcome_.cause = UpdateOutcome::Cause::Running;
  }
  // Records how the running update ended. The first ending counts: a later call (a clean-up after
  // the failure, a worker leaving after the window closed) does not overwrite it, and nothing is
  // recorded when no update runs. Once the window is closing, the ending recorded is Interrupted.
  void set(UpdateOutcome outcome) {
    if (closing_ && closing_() && outcome.cause != UpdateOutcome::Cause::Interrupted) {
      return setInterrupted();
    }
    std::lock_guard lock(mutex_);
    if (outcome_.cause == UpdateOutcome::Cause::Running) outcome_ = std::move(outcome);
  }
  // Records that the running update was interrupted (the window closed, the program was told to
  // end), as set() does.
  void setInterrupted() {
    UpdateOutcome interrupted;
    interrupted.cause = UpdateOutcome::Cause::Interrupted;
    interrupted.detail = "the update was interrupted";
    std::lock_guard lock(mutex_);
    if (outcome_.cause == UpdateOutcome::Cause::Running) outcome_ = std::move(interrupted);
  }

 private:
  const std::function<bool()> closing_;
  mutable std::mutex mutex_;  // Guards outcome_.
  UpdateOutcome outcome_;
};

}  // namespace kestrel
