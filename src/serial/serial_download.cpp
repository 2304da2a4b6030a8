#include "serial/serial_download.h"

#include <cstdint>
#include <string>
#include <vector>

#include "core/window_state.h"
#include "image/download_image.h"
#include "serial/serial_session.h"

namespace kestrel {
namespace {

constexpr uint8_t kClearCommand[] = {'U', 'C', 'L', 'R', 'U'};
constexpr uint8_t kBlockCommand[] = {'U', 'F', 'L', 'H', 'U'};
constexpr uint8_t kRestartCommand[] = {'U', 'R', 'B', 'T', 'U'};
constexpr uint8_t kAckToken[] = {'U', '5', 'U'};
constexpr uint32_t kAckLimitMs = 5000;
constexpr size_t kFrameSize = kBlockSize + 3;

// One block's exchange: the block command, its acknowledgement, the frame, its acknowledgement.
// Shows the step's failure and returns false when an acknowledgement does not come.
bool sendBlock(WindowState& w, const DownloadImage& image, uint32_t k, std::string* failure,
               std::string* caption) {
  w.currentBlock = int(k);
  writeBytes(w, kBlockCommand, sizeof kBlockCommand);
  if (!waitAck(w)) {
    *failure = "NO Ack!";
    *caption = "UFLHU";
    return false;
  }
  uint8_t frame[kFrameSize];
  uint16_t page = PageAddress(k);
  frame[0] = uint8_t(page >> 8);
  frame[1] = uint8_t(page);
  std::copy(image.block(k), image.block(k) + kBlockSize, frame + 2);
  frame[kFrameSize - 1] = image.checksum(k);
  writeBytes(w, frame, sizeof frame);
  if (!waitAck(w)) {
    *failure = "NO Ack 2!";
    *caption = "data";
    return false;
  }
  return true;
}

}  // namespace

bool waitAck(WindowState& w) {
  const uint32_t start = w.clock.tickCount();
  uint8_t received[3];
  size_t count = 0;
  while (!limitPassed(start, w.clock.tickCount(), kAckLimitMs)) {
    if (w.closing()) return false;
    uint8_t byte;
    if (readPort(w, &byte, 1) != 1) continue;
    received[count++] = byte;
    if (count < 3) continue;
    if (std::equal(received, received + 3, kAckToken)) return true;
    std::string text{char(received[0]), ',', char(received[1]), ',', char(received[2])};
    w.showMessage(text);
    return false;
  }
  w.showMessage("Timeout fail!", "Fail");
  return false;
}

void serialDownload(WindowState& w) {
  w.setProgress(0);
  DownloadImage image;
  std::string error;
  switch (image.load(w.firmwareTitle.get(), &error)) {
    case DownloadImage::LoadStatus::Ok:
      break;
    case DownloadImage::LoadStatus::NoMemory:
      w.showMessage("Memory error!", "Error");
      closePort(w);
      return;
    default:
      closePort(w);
      w.showMessage(error, "Error", MessageIcon::Error);
      return;
  }
  w.setStatus("Progressing...");

  // Whatever the device sent meanwhile, a late answer to a probe included, is discarded.
  purgePort(w);
  bool open = w.pause(100);
  purgePort(w);
  open = open && w.pause(100);

  std::string failure, caption;
  bool ok = open;
  if (ok) {
    writeBytes(w, kClearCommand, sizeof kClearCommand);
    if (!waitAck(w)) {
      ok = false;
      failure = "NO Ack!";
      caption = "UCLRU";
    }
  }
  if (ok) {
    for (uint32_t k : image.sendOrder()) {
      if (!sendBlock(w, image, k, &failure, &caption)) {
        ok = false;
        break;
      }
      if (k != 0) w.setProgress(image.progressAfter(k));
    }
  }
  if (ok) {
    w.setProgress(100);
    w.setStatus("Download Finished!");
    w.pause(5);
    writeBytes(w, kRestartCommand, sizeof kRestartCommand);
  }
  image.release();
  closePort(w);
  if (ok) {
    w.showMessage("Download Finished!", "Update");
  } else if (!failure.empty()) {
    w.showMessage(failure, caption);
  }
}

}  // namespace kestrel
