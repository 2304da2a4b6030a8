#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "window/window_behaviour.h"

namespace kestrel {

// The utility's only window on Windows: the dialog template IDD_UTILITY run modally, and the owner
// of all of the program's state.
//
// The operations of WindowState may be called from any thread. A worker's call is carried out on
// the window's thread through SendMessage, so it has taken effect when it returns; once the window
// is closing it returns at once without effect. Message boxes are shown on the calling thread:
// showMessage's box is owned by the window (modal to it), or by the Service dialog while that is
// open; showAppMessage's box is owned by the window on the window's thread and has no owner on a
// worker. Closing the window (close request, Enter, Escape; while a download changes the device's
// memory, only after the user confirms; the session's end) dismisses the workers' boxes and ends
// every worker before the window's state goes away.
class UtilityWindow : public WindowBehaviour {
 public:
  UtilityWindow(HINSTANCE instance, Clock& clock, SerialBackend& serial, HidApi& hid,
                FileSystem& files);
  ~UtilityWindow() override;

  // Shows the window modally; returns when it has ended.
  void run();

  void readWindow() override;
  void refreshWindow() override;
  void setStatus(const std::string& text) override;
  void setProgress(int percent) override;
  void disableRun() override;
  void enableRun() override;
  void showMessage(const std::string& text, std::optional<std::string> caption = {},
                   MessageIcon icon = MessageIcon::None) override;
  void showAppMessage(const std::string& text) override;

  HWND handle() const { return hwnd_; }
  // The Service dialog while it is open (nullptr once it has closed): the owner of showMessage's
  // boxes meanwhile, so that a box of a service command is modal to the dialog that raised it.
  void setServiceDialog(HWND dialog) { serviceDialog_ = dialog; }
  HINSTANCE instance() const { return instance_; }
  // The executable's name without folder and extension: every box's caption without its own.
  const std::wstring& applicationName() const { return appName_; }

 protected:
  void buildWindow(const std::vector<std::string>& ports, std::span<const MenuItem> menu) override;
  void disableStop() override;
  std::optional<std::string> askForFile(const FileFilter& filter) override;
  bool askToClose(const std::string& question) override;
  void dismissDialogs() override;
  void endWindow() override;

 private:
  static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
  void paintMinimised();
  // The Service dialog while it is open, else the window.
  HWND boxOwner() const;
  // Ends the window with `result`: the workers first, then the dialog.
  void end(INT_PTR result);
  // Lets the workers' calls into the window through while it waits for them, and answers the
  // boxes they show.
  void pumpWhileClosing();

  // Runs `f` on the window's thread and returns when it has run.
  void onWindowThread(const std::function<void()>& f);
  // A box on the calling thread, remembered so that closing the window can dismiss it.
  int box(HWND owner, const std::string& text, const std::wstring& caption, UINT type);

  const HINSTANCE instance_;
  const std::wstring appName_;
  HWND hwnd_ = nullptr;
  DWORD windowThread_ = 0;
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  std::atomic<HWND> serviceDialog_{nullptr};
  std::mutex boxesMutex_;            // Guards boxThreads_.
  std::multiset<DWORD> boxThreads_;  // Threads that show a box now.
};

}  // namespace kestrel
