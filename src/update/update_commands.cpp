#include "update/update_commands.h"

#include <memory>

#include "core/window_state.h"
#include "hid/hid_download.h"
#include "hid/hid_link.h"
#include "serial/serial_download.h"
#include "serial/serial_search.h"
#include "serial/serial_session.h"
#include "service/service_commands.h"
#include "update/firmware_files.h"

namespace kestrel {

namespace {

// A new update: nothing recorded of the last one counts any more.
void beginUpdate(WindowState& w) {
  w.outcome.begin();
  w.linkLost = false;
  w.lineHeldUp = false;
  w.deviceWoken = false;
  w.downloadBegun = false;
  w.downloadRunning = false;
  w.blocksAcknowledged = 0;
  w.runImage.set(nullptr);
}

}  // namespace

void runCommand(WindowState& w) {
  beginUpdate(w);
  w.readWindow();
  Extraction converted;
  if (!reportConversion(w, convert(w, w.firmwareTitle.get(), &converted))) return;
  startUpdate(w, std::make_shared<const std::vector<uint8_t>>(std::move(converted.image)));
}

void beginConversion(WindowState& w) {
  beginUpdate(w);
}

bool reportConversion(WindowState& w, ConvertResult result) {
  if (result == ConvertResult::Failed) w.showMessage("File Convert fail!", "Error");
  return result == ConvertResult::Ok;
}

void startUpdate(WindowState& w, std::shared_ptr<const std::vector<uint8_t>> image,
                 const HidSelection& usb, const SearchLimits& limits) {
  if (w.closing()) {
    w.outcome.setInterrupted();
    return;
  }
  // The download sends these very bytes, whatever becomes of the image file meanwhile.
  w.runImage.set(std::move(image));
  if (w.PortIndex != 0) {
    startSerialSearch(w, limits);
    return;
  }
  HidMiss miss = HidMiss::None;
  if (!FindHidDevice(w, usb, &miss)) {
    UpdateOutcome none;
    switch (miss) {
      case HidMiss::Busy:
        none.cause = UpdateOutcome::Cause::DeviceBusy;
        none.detail = usb.describe() + " is busy: in use by another program";
        break;
      case HidMiss::SerialNumberShared:
        none.cause = UpdateOutcome::Cause::DuplicateSerial;
        none.detail = "more than one USB boot loader has the serial number " + usb.value;
        break;
      default:
        none.cause = UpdateOutcome::Cause::NoUsbDevice;
        none.detail = usb.by == HidSelection::By::First ? "no USB boot loader found"
                                                        : usb.describe() + " is not present";
        break;
    }
    w.outcome.set(none);
    w.showMessage("Make sure the Device work under USB-Boot Mode", "Prompt");
    CloseHidDevice(w);
    return;
  }
  w.disableRun();
  if (!w.workers.start("HidDownloadThread", HidDownloadThread)) {
    CloseHidDevice(w);
    UpdateOutcome failed;
    failed.cause = UpdateOutcome::Cause::ThreadFailed;
    failed.detail = "the USB download thread could not be started";
    w.outcome.set(failed);
    w.showMessage("The USB download could not be started: no thread is available.", "Error",
                  MessageIcon::Error);
    w.enableRun();
  }
}

void takeChosenFile(WindowState& w, const std::string& path) {
  const std::string folder = folderOf(w.files, path);
  FileError error;
  if (!folder.empty() && !w.files.setCurrentFolder(folder, &error)) {
    w.showMessage("Cannot use the folder " + error.text, "Error", MessageIcon::Error);
    return;
  }
  w.firmwareTitle.set(titleOf(w.files, path));
  w.refreshWindow();
}

void stopCommand(WindowState& w) {
  w.searchStopped = 1;
  w.statusText.set(" Stop !!");
  closePort(w);
  // A running search lets its claim go as its ReceiveThread ends; otherwise none is needed now.
  if (!w.serialUpdateRunning) releasePort(w);
  w.refreshWindow();
}

void closeCommand(WindowState& w) {
  w.searchStopped = 1;
  w.clock.sleepMs(50);
}

std::optional<std::string> closeQuestion(const WindowState& w) {
  if (!w.downloadRunning) return std::nullopt;
  return "An update is running. Closing now leaves the device without working firmware. Close "
         "anyway?";
}

void refuseImageFile(WindowState& w, std::string detail) {
  UpdateOutcome refused;
  refused.cause = UpdateOutcome::Cause::ImageFileError;
  refused.detail = std::move(detail);
  w.outcome.set(refused);
}

void updateCommand(WindowState& w) {
  beginUpdate(w);
  std::vector<uint8_t> bytes;
  std::string error;
  if (!readImageFile(w.files, w.firmwareTitle.get() + ".bin", &bytes, &error)) {
    refuseImageFile(w, error);
    w.showMessage(error, "Error", MessageIcon::Error);
    releasePort(w);
    return;
  }
  w.runImage.set(std::make_shared<const std::vector<uint8_t>>(std::move(bytes)));
  serialDownload(w);
  releasePort(w);
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
      updateCommand(w);
      return true;
    default:
      return runServiceCommand(w, id);
  }
}

}  // namespace kestrel
