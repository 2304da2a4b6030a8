#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/window_state.h"
#include "update/update_commands.h"

namespace kestrel {

// What the utility window shows, whatever toolkit draws it: each front end lays these out in its
// own way and shows them as they stand.

// The window's title (two blanks before the version).
inline constexpr std::string_view kWindowTitle = "Kestrel Utility  V1.00 07-13-2009";

// What `kestrel-utility --help` says of the window, after its usage lines.
inline constexpr std::string_view kWindowSummary =
    "Opens Kestrel Utility's window: choose the link (\"USB Port\" or COM1 to COM9), the\n"
    "firmware's ELF file (.out) and press \"Run \". For scripts, see kestrel-flash --help.\n";

// The port list's entries in order: an entry's position is its PortIndex ("USB Port" 0, "COM1" to
// "COM9" 1 to 9).
std::vector<std::string> portListEntries();

// An item the window adds to its window menu (on Windows, its system menu). Empty text: a
// separator.
struct MenuItem {
  std::string_view text;
  int command = 0;
};
inline constexpr int kAboutMenuCommand = 0x0010;
inline constexpr int kServiceMenuCommand = 0x0020;
// The window menu's own items, after those the platform puts there (Close): the Service dialog, a
// separator and the About box last.
inline constexpr MenuItem kWindowMenu[] = {
    {"Service...", kServiceMenuCommand},
    {"", 0},
    {"&About Kestrel Firmware Utility", kAboutMenuCommand},
};

// The About box: its title and its version line (shown as written: "&" is no mnemonic there).
inline constexpr std::string_view kAboutTitle = "About Merlin upgrade tool";
inline constexpr std::string_view kAboutVersion = "Kestrel Version 1.00";

// What F1 shows: a box with this caption and the information icon.
inline constexpr std::string_view kHelpCaption = "Kestrel Utility help";
inline constexpr std::string_view kHelpText =
    "1. Choose the link: \"USB Port\" for the device's USB boot mode, or the COM port it is wired "
    "to.\n"
    "2. Choose the firmware (.out) with \"Search...\".\n"
    "3. Press \"Run \" and wait for \"Download Finished!\".\n\n"
    "Do not unplug the device while the progress bar moves.";

// The one filter of the file dialog of "Search...": its display text and pattern, and the
// extension added to a name typed without one.
struct FileFilter {
  std::string_view text;
  std::string_view pattern;
  std::string_view defaultExtension;
};
inline constexpr FileFilter kFirmwareFilter = {"HEX Files (*.out)", "*.out", "out"};

// The Service dialog: its title, its fields (each bound to one text of the window, which the
// service commands read), its operations (each raising one service command through the window's
// command table), in the order shown, and the button that closes it.
inline constexpr std::string_view kServiceTitle = "Service";
struct ServiceField {
  std::string_view label;
  std::string_view name;  // The text's own name, for finding the field.
  SharedText WindowState::*text;
};
inline constexpr ServiceField kServiceFields[] = {
    {"Cradle ID:", "cradleIdText", &WindowState::cradleIdText},
    {"Command:", "commandText", &WindowState::commandText},
    {"Text frame:", "frameText", &WindowState::frameText},
};
struct ServiceOperation {
  std::string_view label;
  int command;
};
inline constexpr ServiceOperation kServiceOperations[] = {
    {"Wake (A2)", kCmdWake},
    {"Set cradle ID", kCmdCradleId},
    {"Clear cradle ID", kCmdClearCradleId},
    {"KE99", kCmdKe99},
    {"Send command", kCmdCode},
    {"--02", kCmdDash02},
    {"Query text (/%/%)", kCmdTextQuery},
    {"Undiscover (CR01)", kCmdCr01},
    {"Read P0-P4 (CR02)", kCmdCr02},
    {"KE01", kCmdKe01},
    {"KE97", kCmdKe97},
    {"Send text frame", kCmdTextFrame},
};
inline constexpr std::string_view kServiceClose = "Close";

}  // namespace kestrel
