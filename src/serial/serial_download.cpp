#include "serial/serial_download.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "core/ack_token.h"
#include "core/device_text.h"
#include "core/run_image.h"
#include "core/window_state.h"
#include "image/download_image.h"
#include "serial/serial_session.h"

namespace kestrel {
namespace {

using Step = UpdateOutcome::Step;

constexpr uint8_t kClearCommand[] = {'U', 'C', 'L', 'R', 'U'};
constexpr uint8_t kBlockCommand[] = {'U', 'F', 'L', 'H', 'U'};
constexpr uint8_t kRestartCommand[] = {'U', 'R', 'B', 'T', 'U'};
constexpr uint32_t kAckLimitMs = 5000;
constexpr size_t kFrameSize = kBlockSize + 3;

// A step that was not acknowledged: what the user is told after waitAck's own box.
struct Failure {
  const char* text;
  const char* caption;
  Step step;
  int block;
};

// One block's exchange: the block command, its acknowledgement, the frame, its acknowledgement.
bool sendBlock(WindowState& w, const DownloadImage& image, uint32_t k, Failure* failure) {
  writeBytes(w, kBlockCommand, sizeof kBlockCommand);
  if (!waitAck(w)) {
    *failure = {"NO Ack!", "UFLHU", Step::BlockCommand, int(k)};
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
    *failure = {"NO Ack 2!", "data", Step::BlockData, int(k)};
    return false;
  }
  return true;
}

// The outcome of a step the device did not acknowledge: a line that went away, a line that stopped
// taking bytes, or no (or a wrong) acknowledgement.
void recordFailure(WindowState& w, const Failure& f) {
  UpdateOutcome failed;
  failed.step = f.step;
  failed.block = f.block;
  if (!lineFailure(w, "", &failed)) {
    failed.cause = UpdateOutcome::Cause::NoAcknowledgement;
    failed.detail = "the device did not acknowledge";
  }
  w.outcome.set(failed);
}

}  // namespace

bool waitAck(WindowState& w) {
  const uint32_t start = w.clock.tickCount();
  uint8_t received[kAckTokenSize];
  size_t count = 0;
  while (!limitPassed(start, w.clock.tickCount(), kAckLimitMs)) {
    if (w.closing()) return false;
    uint8_t byte;
    if (readPort(w, &byte, 1) != 1) continue;
    received[count++] = byte;
    if (count < kAckTokenSize) continue;
    if (std::equal(received, received + kAckTokenSize, kAckToken)) return true;
    // "%c,%c,%c" of the three bytes, as the C string it is.
    const uint8_t shown[] = {received[0], ',', received[1], ',', received[2]};
    w.showMessage(deviceText(shown, sizeof shown));
    return false;
  }
  w.showMessage("Timeout fail!", "Fail");
  return false;
}

void serialDownload(WindowState& w) {
  w.setProgress(0);
  DownloadImage image;
  if (auto refused = takeRunImage(w, &image)) {
    w.showMessage(refused->text, refused->caption, refused->icon);
    closePort(w);
    return;
  }
  w.setStatus("Progressing...");

  // Whatever the device sent meanwhile, a late answer to a probe included, is discarded.
  purgePort(w);
  bool open = w.pause(100);
  purgePort(w);
  open = open && w.pause(100);

  Failure failure{nullptr, nullptr, Step::None, -1};
  bool ok = open;
  if (ok) {
    w.downloadBegun = true;
    w.downloadRunning = true;
    writeBytes(w, kClearCommand, sizeof kClearCommand);
    if (!waitAck(w)) {
      ok = false;
      failure = {"NO Ack!", "UCLRU", Step::ClearCommand, -1};
    }
  }
  if (ok) {
    for (uint32_t k : image.sendOrder()) {
      // Closing (the program told to end): no further block goes out.
      if (w.closing() || !sendBlock(w, image, k, &failure)) {
        ok = false;
        break;
      }
      w.blocksAcknowledged.fetch_add(1);
      if (k != 0) w.setProgress(image.progressAfter(k));
    }
  }
  // Every block acknowledged, block 0 last, or a failure: the device's memory is no longer being
  // changed.
  w.downloadRunning = false;
  if (ok) {
    w.setProgress(100);
    w.setStatus("Download Finished!");
    w.pause(5);
    writeBytes(w, kRestartCommand, sizeof kRestartCommand);
  }
  image.release();
  closePort(w);
  if (ok) {
    UpdateOutcome done;
    done.cause = UpdateOutcome::Cause::Success;
    w.outcome.set(done);
    w.showMessage("Download Finished!", "Update");
  } else if (failure.text) {
    recordFailure(w, failure);
    w.showMessage(failure.text, failure.caption);
  }
}

}  // namespace kestrel
