#include "hid/hid_download.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "core/window_state.h"
#include "hid/hid_link.h"
#include "hid/hid_reports.h"
#include "image/download_image.h"

namespace kestrel {
namespace {

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
    w_.setProgress(0);
    w_.setStatus("Progressing...");

    std::string error;
    switch (image_.load(w_.firmwareTitle.get(), &error)) {
      case DownloadImage::LoadStatus::Ok:
        break;
      case DownloadImage::LoadStatus::NoMemory:
        stopReceiver();
        w_.showMessage("Memory error!", "Error");
        close();
        return;
      default:
        stopReceiver();
        w_.showMessage(error, "Error", MessageIcon::Error);
        close();
        return;
    }
    uint8_t held[kBlockSize];
    std::memcpy(held, image_.block(0), kBlockSize);

    // An unplugged device ends the download as a block that was never acknowledged.
    bool gone = false;
    uint32_t first = image_.blockCount() > 1 ? 1 : 0;
    if (!SendHidStartReport(w_, &gone)) return gone ? noAcknowledgement(first) : failedSend();
    for (uint32_t k = 1; k < image_.blockCount(); ++k) {
      w_.currentBlock = int(k);
      w_.hid.hidAckReceived = 0;
      if (!SendHidBlock(w_, PageAddress(k), image_.block(k), &gone)) {
        return gone ? noAcknowledgement(k) : failedSend();
      }
      if (!waitForAck(w_)) return noAcknowledgement(k);
      w_.setProgress(image_.progressAfter(k));
    }
    w_.currentBlock = 0;
    w_.hid.hidAckReceived = 0;
    if (!SendHidBlock(w_, 0, held, &gone)) return gone ? noAcknowledgement(0) : failedSend();
    if (!waitForAck(w_)) return noAcknowledgement(0);
    // The receive thread goes on reading during the final pause.
    bool open = w_.pause(kFinalPauseMs);
    if (open) w_.setProgress(100);
    stopReceiver();
    if (open) w_.showMessage("Download Finished!", "Update");
    close();
    if (open) w_.setStatus("Download Finished!");
  }

  // The ending shared by every path.
  ~Download() {
    stopReceiver();
    close();
    image_.release();
    w_.enableRun();
  }

 private:
  // Block k was not acknowledged: "NO ACK ,Block no:0X%02X" with its page address, or "NO Ack1!"
  // for block 0, which goes last.
  void noAcknowledgement(uint32_t k) {
    stopReceiver();
    if (k == 0) {
      w_.showMessage("NO Ack1!");
    } else {
      char text[48];
      std::snprintf(text, sizeof text, "NO ACK ,Block no:0X%02X", unsigned(PageAddress(k)));
      w_.showMessage(text);
    }
    close();
  }

  void failedSend() {
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
