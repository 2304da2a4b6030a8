#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "core/worker_group.h"
#include "hid/hid_link.h"
#include "platform/clock.h"
#include "platform/hid_device.h"
#include "platform/serial_port.h"
#include "serial/serial_port_slot.h"

namespace kestrel {

// A text field shared between the window's thread and the workers. Reads and writes are whole.
class SharedText {
 public:
  std::string get() const {
    std::lock_guard lock(mutex_);
    return text_;
  }
  void set(std::string text) {
    std::lock_guard lock(mutex_);
    text_ = std::move(text);
  }

 private:
  mutable std::mutex mutex_;  // Guards text_.
  std::string text_;
};

enum class MessageIcon { None, Warning, Error, Information };

// What the rest of the program sees of the utility window: its state and its operations.
//
// The Qt UtilityWindow implements the operations; tests implement them with a fake. All state of
// the program lives here for the window's whole life. Worker threads reach it through `windowRef`
// alone.
//
// The operations may be called from any thread. Each takes effect in the window before it returns,
// and calls made from one thread take effect in the order made. Once the window is closing they
// return at once without effect (showMessage returns as if OK had been pressed), so that a worker
// never waits for a window that is going away.
class WindowState {
 public:
  WindowState(Clock& clock, SerialBackend& serial, HidApi& hid)
      : clock(clock), serialBackend(serial), hidApi(hid) {}
  virtual ~WindowState() = default;
  WindowState(const WindowState&) = delete;
  WindowState& operator=(const WindowState&) = delete;

  // --- Operations ---------------------------------------------------------------------------
  // PortIndex, firmwareTitle and statusText := what the port list, file field and status field
  // show. The other fields are never exchanged with controls.
  virtual void readWindow() = 0;
  // The controls show PortIndex, firmwareTitle and statusText.
  virtual void refreshWindow() = 0;
  // statusText := text, then refreshWindow().
  virtual void setStatus(const std::string& text) = 0;
  // Moves the progress bar to `percent` (0 to 100).
  virtual void setProgress(int percent) = 0;
  virtual void disableRun() = 0;
  virtual void enableRun() = 0;
  // A modal box with one OK button; no caption means the application's name. Returns when the
  // user has pressed OK.
  virtual void showMessage(const std::string& text, std::optional<std::string> caption = {},
                           MessageIcon icon = MessageIcon::None) = 0;
  // The application's box: OK, warning icon, the application's name as caption.
  virtual void showAppMessage(const std::string& text) = 0;

  // True from the moment the window starts to close. Every wait of a worker watches it.
  bool closing() const { return windowClosing.load(); }

  // Sleeps `ms` of the clock's time in short slices; returns false early when the window closes.
  bool pause(uint32_t ms);

  // --- Fields ---------------------------------------------------------------------------------
  HidLink hid;  // hidReadHandle, hidWriteHandle, hidRunning, hidAckReceived
  SerialPortSlot serialPortHandle;
  std::atomic<uint8_t> searchStopped{1};  // 1: no serial search is to run.
  // True from the start of a serial search until its ReceiveThread has ended: the port is taken.
  std::atomic<bool> serialUpdateRunning{false};
  std::atomic<int> PortIndex{-1};  // 0 "USB Port", 1..9 "COM1".."COM9", -1 none.
  std::atomic<int> BaudIndex{-1};  // Row of the baud table for the next openPort.
  // What went wrong at the last failed port open, in the system's words ("/dev/ttyUSB0:
  // Permission denied"); the window shows its own fixed text, a console shows this too.
  SharedText lastPortError;
  // Raised when a download finds the device gone (line hung up, USB device unplugged).
  std::atomic<bool> linkLost{false};
  // The block a download is sending, or -1 outside the block exchanges.
  std::atomic<int> currentBlock{-1};
  SharedText firmwareTitle;
  SharedText statusText;
  SharedText cradleIdText;
  SharedText commandText;
  SharedText frameText;

  // --- Services -------------------------------------------------------------------------------
  Clock& clock;
  SerialBackend& serialBackend;
  HidApi& hidApi;
  WorkerGroup workers;
  std::atomic<bool> windowClosing{false};
};

// The one window of the process. Set by the window's initialisation before any worker exists.
extern std::atomic<WindowState*> windowRef;

// The window that workers use. Only valid while a window exists.
inline WindowState& window() {
  return *windowRef.load();
}

}  // namespace kestrel
