#pragma once

namespace kestrel {

// Identifiers of the window's command table: its buttons, the hidden serial download and the
// serial service commands. Every layer from here up names a command by these, never by number.
enum CommandId : int {
  kCmdSearch = 1020,         // "Search...": the file choice.
  kCmdUpdate = 1022,         // The hidden "UPDATE" button: the serial download of the .bin file.
  kCmdWake = 1023,           // The wake byte 0xA2 at the resting speed.
  kCmdRun = 1025,            // "Run ".
  kCmdStop = 1026,           // Stop (hidden): ends a serial search.
  kCmdCradleId = 1029,       // Sends the cradle identity.
  kCmdClearCradleId = 1031,  // Empties the cradle identity field; sends nothing.
  kCmdKe99 = 1032,
  kCmdCode = 1034,  // The four-character code typed in the command field.
  kCmdDash02 = 1035,
  kCmdTextQuery = 1036,  // "/%/%", answered with a text.
  kCmdCr01 = 1037,       // Undiscover, answered with 0x06.
  kCmdCr02 = 1038,       // Reads P0 to P4.
  kCmdKe01 = 1039,
  kCmdKe97 = 1040,
  kCmdTextFrame = 1044,  // Sends the free text frame.
};

}  // namespace kestrel
