#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/command_ids.h"
#include "hid/hid_selection.h"
#include "serial/serial_search.h"
#include "update/firmware_files.h"

namespace kestrel {

class WindowState;

// Run: reads the window, converts `firmwareTitle`.out into `firmwareTitle`.bin and hands the
// update, with the converted image, to the link of PortIndex (0 USB, else COM). Records how it
// ends in the window's outcome. Window's thread.
void runCommand(WindowState& w);

// The parts of Run, for a front end that converts a file of its own choosing (the command line):
// beginConversion() forgets the last update; reportConversion() shows "File Convert fail!"
// (caption "Error") after a refused conversion and says whether the update may go on;
// startUpdate() hands `image` to the link of PortIndex as Run does after its conversion: over USB
// to the boot loader that `usb` selects (Run takes the first one found), over a serial port with
// `limits` on the search (Run sets none). A boot loader of the selection that another run has
// claimed is recorded as DeviceBusy, two that share the serial number selected as DuplicateSerial,
// none as NoUsbDevice; the outcome's detail says what was looked for. A window already closing
// (told to end during the conversion) starts nothing: the update ends as Interrupted and the
// device gets nothing. The front end then waits for the workers (or its end) and reports the
// outcome.
void beginConversion(WindowState& w);
bool reportConversion(WindowState& w, ConvertResult result);
// Records that the update cannot take its image file (unreadable, not written, not the image
// converted): the outcome ImageFileError, `detail` saying why. Nothing reaches a device.
void refuseImageFile(WindowState& w, std::string detail);
void startUpdate(WindowState& w, std::shared_ptr<const std::vector<uint8_t>> image,
                 const HidSelection& usb = {}, const SearchLimits& limits = {});

// The end of "Search...": the file the user chose in the file dialog, at `path`, gives
// firmwareTitle its title (the platform's path rule: titleOf) and its folder becomes the current
// folder; then refreshWindow(). A folder that cannot be made current (too long for the system, no
// longer there) is reported in the file-error box and changes nothing, so that a later Run never
// finds a file of the same title in another folder. Window's thread.
void takeChosenFile(WindowState& w, const std::string& path);

// Stop: ends a serial search (" Stop !!", the port closed). Window's thread.
void stopCommand(WindowState& w);

// The close request: ends a serial search, waits 50 ms. The caller then ends the window.
void closeCommand(WindowState& w);

// What to ask before the window closes by any road (the close request, Enter, Escape): while a
// download changes the device's memory (downloadRunning, on either link), closing leaves the
// device without working firmware, and this is the Yes/No question to put first. Nothing while a
// serial search runs or no update does: the window then closes without a question. Any thread.
std::optional<std::string> closeQuestion(const WindowState& w);

// The hidden "UPDATE" command (kCmdUpdate): the serial download of `firmwareTitle`.bin over the
// port that is open, on the window's thread. Window's thread.
void updateCommand(WindowState& w);

// Routes the identifiers of the command table that the domain handles: Run, Stop, the hidden
// serial download (kCmdUpdate) and the service commands. False for identifiers it does not know.
bool dispatchCommand(WindowState& w, int id);

}  // namespace kestrel
