#include "hid/hid_download.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "core/run_image.h"
#include "core/window_state.h"
#include "hid/hid_link.h"
#include "hid/hid_reports.h"
#include "image/download_image.h"

namespace kestrel {
namespace {

using Cause = UpdateOutcome::Cause;
using Step = UpdateOutcome::Step;

constexpr int kAckPolls = 500;
constexpr uint32_t kPollSleepMs = 1;
constexpr uint32_t kStopPauseMs = 500;
constexpr uint32_t kFinalPauseMs = 2500;

// True when hidAckReceived is seen within 500 polls of 1 ms; the flag is then cleared.
bool waitForAck(WindowState& w) {
  for (int poll = 0; poll < kAckPolls; ++poll) {
    if (w.closing()) return false;
    w.clock.sleepMs(kPollSleepMs);
    if (w.hid.hidAckReceived != 0) {
      w.hid.hidAckReceived = 0;
      return true;
    }
  }
  return false;
}

class Download {
 public:
  explicit Download(WindowState& w) : w_(w) {}

  void run() {
    w_.hid.hidRunning = 1;
    receiver_ = w_.workers.start("HidReceiveThread", HidReceiveThread);
    if (!receiver_) {
      // Without the receive thread no acknowledgement could ever be seen: end before the device
      // gets anything, and say why.
      w_.hid.hidRunning = 0;
      UpdateOutcome failed;
      failed.cause = Cause::ThreadFailed;
      failed.detail = "the USB receive thread could not be started";
      w_.outcome.set(failed);
      w_.showMessage("HidReceiveThread fail!");
      close();
      return;
    }
    w_.setProgress(0);
    w_.setStatus("Progressing...");

    if (auto refused = takeRunImage(w_, &image_)) {
      stopReceiver();
      w_.showMessage(refused->text, refused->caption, refused->icon);
      close();
      return;
    }
    uint8_t held[kBlockSize];
    std::memcpy(held, image_.block(0), kBlockSize);

    HidSendFailure failure;
    // The last moment at which a close (an interrupt) leaves the device as it was.
    if (w_.closing()) return stopped();
    w_.downloadRunning = true;
    if (!SendHidStartReport(w_, &failure)) {
      // An unplugged device ends the download as its first block not acknowledged.
      uint32_t first = image_.blockCount() > 1 ? 1 : 0;
      return failure.deviceGone ? noAcknowledgement(first)
                                : failedSend(Step::StartReport, -1, failure);
    }
    // Only a start report the device took begins to replace its firmware.
    w_.downloadBegun = true;
    // Block 0 goes last, from the copy taken before anything was sent.
    for (uint32_t k : image_.sendOrder()) {
      if (w_.closing()) return stopped();
      const uint8_t* block = k == 0 ? held : image_.block(k);
      w_.hid.hidAckReceived = 0;
      if (!SendHidBlock(w_, PageAddress(k), block, &failure)) {
        return failure.deviceGone ? noAcknowledgement(k) : failedSend(Step::Block, int(k), failure);
      }
      if (!waitForAck(w_)) return noAcknowledgement(k);
      w_.blocksAcknowledged.fetch_add(1);
      if (k != 0) w_.setProgress(image_.progressAfter(k));
    }
    // Block 0 is acknowledged: the device holds the whole image.
    w_.downloadRunning = false;
    // The receive thread goes on reading during the final pause.
    bool open = w_.pause(kFinalPauseMs);
    if (open) w_.setProgress(100);
    stopReceiver();
    if (open) {
      UpdateOutcome done;
      done.cause = Cause::Success;
      w_.outcome.set(done);
      w_.showMessage("Download Finished!", "Update");
    }
    close();
    if (open) w_.setStatus("Download Finished!");
  }

  // The ending shared by every path.
  ~Download() {
    w_.downloadRunning = false;
    stopReceiver();
    close();
    image_.release();
    w_.enableRun();
  }

 private:
  // Block k was not acknowledged: "NO ACK ,Block no:0X%02X" with its page address, or "NO Ack1!"
  // for block 0, which goes last.
  void noAcknowledgement(uint32_t k) {
    w_.downloadRunning = false;
    stopReceiver();
    UpdateOutcome failed;
    failed.step = Step::Block;
    failed.block = int(k);
    if (w_.linkLost) {
      failed.cause = Cause::DeviceGone;
      failed.detail = "the device went away";
    } else {
      failed.cause = Cause::NoAcknowledgement;
      failed.detail = "the device did not acknowledge";
    }
    w_.outcome.set(failed);
    if (k == 0) {
      w_.showMessage("NO Ack1!");
    } else {
      char text[48];
      std::snprintf(text, sizeof text, "NO ACK ,Block no:0X%02X", unsigned(PageAddress(k)));
      w_.showMessage(text);
    }
    close();
  }

  // The window is closing: nothing more goes to the device.
  void stopped() {
    w_.downloadRunning = false;
    w_.outcome.setInterrupted();
    stopReceiver();
    close();
  }

  // A report could not be written; its messages have been shown.
  void failedSend(Step step, int block, const HidSendFailure& failure) {
    w_.downloadRunning = false;
    UpdateOutcome failed;
    failed.cause = Cause::SendError;
    failed.step = step;
    failed.block = block;
    failed.error = failure.error;
    failed.detail = "a report could not be written";
    w_.outcome.set(failed);
    stopReceiver();
    w_.pause(kStopPauseMs);
    close();
  }

  // Clears hidRunning and waits for the receive thread to end, so that its handle is never closed
  // under a read (a message box on that thread holds it until dismissed).
  void stopReceiver() {
    w_.hid.hidRunning = 0;
    if (receiver_) {
      receiver_->wait();
      receiver_.reset();
    }
  }

  void close() { CloseHidDevice(w_); }

  WindowState& w_;
  DownloadImage image_;
  std::shared_ptr<WorkerDone> receiver_;
};

}  // namespace

void HidDownloadThread() {
  Download download(window());
  download.run();
}

}  // namespace kestrel
