#pragma once

namespace kestrel {

// One whole USB download on the device that FindHidDevice opened: starts the HidReceiveThread,
// loads `firmwareTitle`.bin, sends the start report and every block (block 0 last), each followed
// by up to 500 polls of 1 ms for its acknowledgement, then pauses 2500 ms and shows
// "Download Finished!" (caption "Update"). Every ending, failure or success, leaves hidRunning 0,
// the HidReceiveThread ended, both handles closed and Run enabled. Watches for the window
// closing in every pause and poll.
void HidDownloadThread();

}  // namespace kestrel
