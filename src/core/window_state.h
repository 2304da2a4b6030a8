#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/device_slot.h"
#include "core/run_image.h"
#include "core/update_outcome.h"
#include "core/worker_group.h"
#include "platform_api/clock.h"
#include "platform_api/files.h"
#include "platform_api/hid_device.h"
#include "platform_api/serial_port.h"

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

using SerialPortSlot = DeviceSlot<SerialPort>;
using HidDeviceSlot = DeviceSlot<HidDevice>;

// The claim that the window's current run holds on its device (SerialBackend::claim on a serial
// port, HidApi::claim on a USB boot loader), kept across the device's closes and reopens until the
// run lets it go. Any thread.
template <class Claim>
class ClaimSlot {
 public:
  // True while a claim on the device named `name` is held.
  bool holds(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return claim_ && name_ == name;
  }
  // True while a claim on any device is held.
  bool held() const {
    std::lock_guard lock(mutex_);
    return claim_ != nullptr;
  }
  // Keeps `claim` on the device `name`; a claim held before is let go.
  void put(std::string name, std::unique_ptr<Claim> claim) {
    std::unique_ptr<Claim> old;
    std::lock_guard lock(mutex_);
    old.swap(claim_);
    claim_ = std::move(claim);
    name_ = std::move(name);
  }
  // Lets the claim go; does nothing when none is held.
  void release() {
    std::unique_ptr<Claim> old;
    std::lock_guard lock(mutex_);
    old.swap(claim_);
    name_.clear();
  }

 private:
  mutable std::mutex mutex_;  // Guards name_ and claim_.
  std::string name_;
  std::unique_ptr<Claim> claim_;
};

using PortClaimSlot = ClaimSlot<PortClaim>;
using HidClaimSlot = ClaimSlot<HidClaim>;

// The USB link's state in the window: the boot loader claimed and opened twice, and two flags.
//
// The handles are opened and closed together, by FindHidDevice and CloseHidDevice; the claim is
// taken before they are opened and let go after they are closed, so no other run of this program
// or of Kestrel Utility opens the device meanwhile. The
// HidReceiveThread reads through hidReadHandle, the HidDownloadThread writes through
// hidWriteHandle; each holds its handle only for one read or one block, so a close from another
// thread waits at most that long.
struct HidLink {
  HidDeviceSlot hidReadHandle;
  HidDeviceSlot hidWriteHandle;
  HidClaimSlot hidClaim;
  std::atomic<uint32_t> hidRunning{0};      // Nonzero while a USB download runs.
  std::atomic<uint32_t> hidAckReceived{0};  // Raised by the receive thread on "U5U".
};

enum class MessageIcon { None, Warning, Error, Information };

// What the rest of the program sees of the utility window: its state and its operations.
//
// A front end (the Qt window, the console of the command line, a test's window) implements the
// operations; all state of the program lives here for the window's whole life. Worker threads
// reach it through `windowRef` alone.
//
// The operations may be called from any thread. Each takes effect in the window before it returns,
// and calls made from one thread take effect in the order made. Once the window is closing they
// return at once without effect (showMessage returns as if OK had been pressed), so that a worker
// never waits for a window that is going away.
//
// Lifecycle: a front end calls attach() in its initialisation, and shutdown() first thing in its
// destructor (earlier too, when the window ends before it is destroyed).
class WindowState {
 public:
  WindowState(Clock& clock, SerialBackend& serial, HidApi& hid, FileSystem& files)
      : clock(clock), serialBackend(serial), hidApi(hid), files(files) {}
  // Checks that shutdown() ran and every worker ended; a window destroyed under a running worker
  // would leave the worker with freed state, so that ends the process instead.
  virtual ~WindowState();
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

  // True from the moment the window starts to close, or once the close request given to
  // closeOn() is raised. Every wait of a worker watches it.
  bool closing() const {
    const std::atomic<bool>* request = closeRequest_.load();
    return windowClosing.load() || (request && request->load());
  }

  // From now on the window counts as closing as soon as `*request` is raised: a flag that a signal
  // handler may raise (it only stores to a lock-free atomic), so that an update stops at its next
  // step before anything more reaches the device. `request` must outlive the window; null ends
  // the watch. Before any worker exists.
  void closeOn(const std::atomic<bool>* request) { closeRequest_ = request; }

  // Sleeps `ms` of the clock's time in short slices; returns false early when the window closes.
  bool pause(uint32_t ms);

  // Ends whatever update runs before the window's state goes away: marks the window closing,
  // raises searchStopped, clears hidRunning, cancels the serial port under the workers and waits up
  // to `timeoutMs` of real time for every worker to end; then closes the port and both HID handles,
  // lets the port's claim and the HID claim go and clears windowRef. An update still running is
  // recorded as Interrupted. Returns true when every worker has ended. When it returns false a
  // worker is stuck (in a driver call that does not return): this object must then not be
  // destroyed, and the caller ends the process instead. Idempotent. The window's thread (the thread
  // that owns the front end).
  // `whileWaiting`, when given, runs every few milliseconds during the wait: a front end whose
  // workers call into the window's thread synchronously lets those calls through there (they find
  // the window closing and return).
  bool shutdown(uint32_t timeoutMs, const std::function<void()>& whileWaiting = {});

  // --- Fields ---------------------------------------------------------------------------------
  HidLink hid;  // hidReadHandle, hidWriteHandle, hidRunning, hidAckReceived
  SerialPortSlot serialPortHandle;
  // The claim on the port that serialPortHandle opens: taken by the first open of a run, let go
  // when the run ends, so that no other run gets in between a close and the next open.
  PortClaimSlot serialPortClaim;
  std::atomic<uint8_t> searchStopped{1};  // 1: no serial search is to run.
  // One step of the serial search at a time: a probe with its status, or the answer taken. So no
  // probe and no "Search Device..." follow " Device Found!".
  std::mutex searchStep;
  // True from the start of a serial search until its ReceiveThread has ended: the port is taken.
  std::atomic<bool> serialUpdateRunning{false};
  // The limits of the serial search under way, set by its start before its threads run: the tick
  // at which it began, its deadline in milliseconds from then (-1: none), and whether a line that
  // goes away ends it.
  std::atomic<uint32_t> searchStartTick{0};
  std::atomic<int64_t> searchDeadlineMs{-1};
  std::atomic<bool> searchEndsWhenLineLost{false};
  std::atomic<int> PortIndex{-1};  // 0 "USB Port", 1..9 "COM1".."COM9", -1 none.
  std::atomic<int> BaudIndex{-1};  // Row of the baud table for the next openPort.
  // Raised when a read finds the device gone (line hung up, USB device unplugged); lowered by Run.
  std::atomic<bool> linkLost{false};
  // Raised when the serial line stops taking bytes (a write or a drain ran out of its time: flow
  // control holds it); lowered by Run.
  std::atomic<bool> lineHeldUp{false};
  // What the device has got of the running update, so that an update that ends early can say it
  // truthfully; each is lowered by Run.
  // Raised just before the first wake byte goes out: the device may wait in its boot loader.
  std::atomic<bool> deviceWoken{false};
  // Raised when a download sends its first command ("UCLRU", or the USB start report once the
  // device has taken it): from then on the device has no working firmware until a download
  // completes.
  std::atomic<bool> downloadBegun{false};
  // True while a download changes the device's memory, on either link: raised as its first command
  // goes out, lowered once the device has acknowledged every block or the download has failed,
  // before its result is shown. Closing the window meanwhile leaves the device without working
  // firmware.
  std::atomic<bool> downloadRunning{false};
  // The blocks the device has acknowledged, counted in the order sent (blocks 1 to N - 1, then
  // block 0): when it reaches the image's block count the device holds the whole image.
  std::atomic<int> blocksAcknowledged{0};
  // How the last update ended, set where it ended.
  OutcomeRecord outcome{[this] { return closing(); }};
  // The image the last Run converted, which its download sends.
  ImageHandover runImage;
  SharedText firmwareTitle;
  SharedText statusText;
  SharedText cradleIdText;
  SharedText commandText;
  SharedText frameText;

  // --- Services -------------------------------------------------------------------------------
  Clock& clock;
  SerialBackend& serialBackend;
  HidApi& hidApi;
  FileSystem& files;
  WorkerGroup workers{
      [this](std::string_view name, bool noMemory) { workerFailed(name, noMemory); }};
  std::atomic<bool> windowClosing{false};

 protected:
  // The shared part of the window's initialisation: BaudIndex 0, windowRef := this,
  // searchStopped 1. Before any worker exists.
  void attach();

 private:
  // A worker's body ended by throwing: the update it ran ends there, recorded as NoMemory (or
  // ThreadFailed); shutdown() then closes what it left open.
  void workerFailed(std::string_view name, bool noMemory) noexcept;

  std::atomic<const std::atomic<bool>*> closeRequest_{nullptr};
  bool shutDown_ = false;
  bool workersEnded_ = true;
};

// The one window of the process. Set by the window's initialisation before any worker exists,
// cleared by its shutdown.
extern std::atomic<WindowState*> windowRef;

// The window that workers use. Only valid while a window exists.
inline WindowState& window() {
  return *windowRef.load();
}

}  // namespace kestrel
