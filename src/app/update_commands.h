#pragma once

namespace kestrel {

class WindowState;

// Command identifiers of the window's command table.
enum CommandId : int {
  kCmdSearch = 1020,
  kCmdUpdate = 1022,
  kCmdWake = 1023,
  kCmdRun = 1025,
  kCmdStop = 1026,
  kCmdCradleId = 1029,
  kCmdClearCradleId = 1031,
  kCmdKe99 = 1032,
  kCmdCode = 1034,
  kCmdDash02 = 1035,
  kCmdTextQuery = 1036,
  kCmdCr01 = 1037,
  kCmdCr02 = 1038,
  kCmdKe01 = 1039,
  kCmdKe97 = 1040,
  kCmdTextFrame = 1044,
};

// Run: reads the window, converts `firmwareTitle`.out into `firmwareTitle`.bin and hands the
// update to the link of PortIndex (0 USB, else COM). Window's thread.
void runCommand(WindowState& w);

// Stop: ends a serial search (" Stop !!", the port closed). Window's thread.
void stopCommand(WindowState& w);

// The close request: ends a serial search, waits 50 ms. The caller then ends the window.
void closeCommand(WindowState& w);

// Routes the identifiers of the command table that the domain handles: Run, Stop, the hidden
// serial download (1022) and the service commands. False for identifiers it does not know.
bool dispatchCommand(WindowState& w, int id);

// Ends every worker before the window's state goes away: tells them to stop, closes the serial
// port under them and waits up to `timeoutMs`. True when all have ended. Window's thread.
bool shutdownWorkers(WindowState& w, unsigned timeoutMs);

}  // namespace kestrel
