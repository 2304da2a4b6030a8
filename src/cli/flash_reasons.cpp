#include "cli/flash_reasons.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "cli/flash_run.h"
#include "cli/usb_boot_loaders.h"
#include "core/window_state.h"
#include "image/download_image.h"
#include "platform/process.h"

namespace kestrel {

using Cause = UpdateOutcome::Cause;
using Step = UpdateOutcome::Step;

const char* const kDialoutHint =
    "the port exists but this user may not open it: add yourself to the dialout group "
    "(sudo adduser $USER dialout) and log in again";

const char* causeName(Cause c) {
  switch (c) {
    case Cause::None:
    case Cause::Running:
      return "none";
    case Cause::Success:
      return "success";
    case Cause::ImageRefused:
      return "image_refused";
    case Cause::ImageFileError:
      return "image_file_error";
    case Cause::NoMemory:
      return "no_memory";
    case Cause::PortUnavailable:
      return "port_unavailable";
    case Cause::NoUsbDevice:
      return "no_usb_device";
    case Cause::DeviceBusy:
      return "device_busy";
    case Cause::DuplicateSerial:
      return "duplicate_serial";
    case Cause::NoAnswer:
      return "no_answer";
    case Cause::NoAcknowledgement:
      return "no_acknowledgement";
    case Cause::DeviceGone:
      return "device_gone";
    case Cause::LineHeldUp:
      return "line_held_up";
    case Cause::SendError:
      return "send_error";
    case Cause::ThreadFailed:
      return "thread_failed";
    case Cause::Interrupted:
      return "interrupted";
  }
  return "none";
}

const char* stepName(Step s) {
  switch (s) {
    case Step::ClearCommand:
      return "clear_command";
    case Step::BlockCommand:
      return "block_command";
    case Step::BlockData:
      return "block_data";
    case Step::Block:
      return "block";
    case Step::StartReport:
      return "start_report";
    case Step::None:
      break;
  }
  return nullptr;
}

DeviceGot deviceGot(const WindowState& w) {
  DeviceGot got;
  auto image = w.runImage.get();
  // The download always sends block 0, even for an empty image.
  got.blocks = image ? int(std::max<uint64_t>(1, blockCountFor(image->size()))) : 0;
  got.acknowledged = w.blocksAcknowledged.load();
  if (got.blocks > 0 && got.acknowledged >= got.blocks) {
    got.kind = DeviceGot::Complete;
  } else if (w.downloadBegun) {
    got.kind = DeviceGot::Incomplete;
  } else if (w.deviceWoken) {
    got.kind = DeviceGot::Woken;
  }
  return got;
}

const char* deviceGotName(DeviceGot::Kind kind) {
  switch (kind) {
    case DeviceGot::Woken:
      return "woken";
    case DeviceGot::Incomplete:
      return "incomplete";
    case DeviceGot::Complete:
      return "complete";
    case DeviceGot::Nothing:
      break;
  }
  return "untouched";
}

std::string interruptedReason(const DeviceGot& got) {
  switch (got.kind) {
    case DeviceGot::Nothing:
      return "interrupted before anything was sent to the device";
    case DeviceGot::Woken:
      return "interrupted after the device was woken into boot mode; nothing was written to it, "
             "and it may wait in its boot loader until it is reset";
    case DeviceGot::Incomplete:
      if (got.acknowledged == 0) return "interrupted before the device acknowledged a block";
      return "interrupted after the device acknowledged " +
             std::string(got.acknowledged == 1
                             ? "block 1"
                             : "blocks 1 to " + std::to_string(got.acknowledged)) +
             " of " + std::to_string(got.blocks) + " (block 0 goes last)";
    case DeviceGot::Complete:
      return "interrupted after the device acknowledged every block, block 0 last";
  }
  return "interrupted";
}

std::string FlashRun::reasonFor(const ConsoleWindow& w, const UpdateOutcome& outcome) const {
  std::string where;
  if (outcome.block >= 0) {
    where = " at block " + std::to_string(outcome.block) + " (page address " +
            std::to_string(PageAddress(uint32_t(outcome.block))) + ")";
  }
  const DeviceGot got = deviceGot(w);
  std::string reason;
  switch (outcome.cause) {
    case Cause::None:
    case Cause::Running:
      return "the update ended without a result";
    case Cause::Success:
      return "download finished";
    case Cause::ImageRefused:
      return "conversion refused: " + outcome.detail;
    case Cause::ImageFileError:
      return outcome.detail;
    case Cause::NoMemory:
      reason = outcome.detail.empty() ? "out of memory" : outcome.detail;
      break;
    case Cause::PortUnavailable:
      reason = "port " + o_.port + " cannot be opened: " + outcome.detail;
      if (outcome.error == EACCES) reason += std::string(" (") + kDialoutHint + ")";
      return reason;
    case Cause::NoUsbDevice:
    case Cause::DeviceBusy:
    case Cause::DuplicateSerial:
      return usbMissReason(outcome, usb_, env_.hid);
    case Cause::NoAnswer: {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", o_.searchTimeout);
      return "no answer from the boot loader on " + o_.port + " within " + seconds +
             " s: is the device connected and powered?";
    }
    case Cause::NoAcknowledgement: {
      const char* step = outcome.step == Step::ClearCommand   ? "the clear command"
                         : outcome.step == Step::BlockCommand ? "the block command"
                         : outcome.step == Step::BlockData    ? "the block's data"
                                                              : "the block";
      reason = std::string("no acknowledgement of ") + step + where;
      break;
    }
    case Cause::DeviceGone:
      reason = w.downloadBegun   ? "the device went away during the update" + where
               : port_.portIndex ? "the device went away during the search"
                                 : "the device went away before it took the start report";
      break;
    case Cause::LineHeldUp:
      reason = "the line is held up (flow control?)" + where;
      break;
    case Cause::SendError:
      reason = "a USB report could not be written" + where + " (error " +
               std::to_string(outcome.error) + ": " + systemErrorText(outcome.error) + ")";
      break;
    case Cause::ThreadFailed:
      reason = outcome.detail;
      break;
    case Cause::Interrupted:
      reason = interruptedReason(got);
      break;
  }
  if (got.kind == DeviceGot::Incomplete) {
    reason += "; the device has no working firmware until an update completes";
  }
  return reason;
}

int exitCodeFor(const UpdateOutcome& outcome) {
  switch (outcome.cause) {
    case Cause::Success:
      return kExitOk;
    case Cause::ImageRefused:
    case Cause::ImageFileError:
      return kExitConversion;
    case Cause::PortUnavailable:
    case Cause::NoUsbDevice:
    case Cause::DeviceBusy:
    case Cause::DuplicateSerial:
      return kExitNoDevice;
    case Cause::NoAnswer:
      return kExitNoAnswer;
    case Cause::NoAcknowledgement:
      return kExitNoAck;
    case Cause::DeviceGone:
    case Cause::LineHeldUp:
      return kExitDeviceGone;
    case Cause::Interrupted:
      return kExitInterrupted;
    case Cause::None:
    case Cause::Running:
    case Cause::NoMemory:
    case Cause::SendError:
    case Cause::ThreadFailed:
      return kExitFailure;
  }
  return kExitFailure;
}

}  // namespace kestrel
