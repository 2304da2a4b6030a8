#pragma once

namespace kestrel {

class WindowState;

// Sends the Run's image (the window's runImage) to the boot loader over the open port at 115200
// bit/s: "UCLRU", then for every block but block 0 and finally for block 0 "UFLHU" and its
// 2051-byte frame (page address high and low, 2048 bytes, checksum), each acknowledged with "U5U"
// within 5000 ms, then "URBTU". Shows "Download Finished!" (caption "Update") or the failure of the
// step ("NO Ack!" / "UCLRU" or "UFLHU", "NO Ack 2!" / "data", "Memory error!" / "Error"), and
// records the outcome. Closes the port on every way out. Runs on the ReceiveThread, or on the
// window's thread for the hidden "UPDATE" command (kCmdUpdate).
void serialDownload(WindowState& w);

// Waits up to 5000 ms for the three bytes "U5U". On time-out shows "Timeout fail!" (caption
// "Fail"); when three other bytes come, shows them as "%c,%c,%c". Only the first three bytes
// received count. Returns false at once, without a message, when the window closes.
bool waitAck(WindowState& w);

}  // namespace kestrel
