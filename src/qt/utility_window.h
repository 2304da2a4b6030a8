#pragma once

#include <QDialog>
#include <QList>
#include <QPointer>
#include <deque>
#include <functional>
#include <mutex>

#include "window/window_behaviour.h"

class QComboBox;
class QLineEdit;
class QMenu;
class QMessageBox;
class QProgressBar;
class QPushButton;

namespace kestrel {

// The utility's only window and the owner of all of its state.
//
// Laid out in dialog units of its font. The operations of WindowState may be called from any
// thread: a call from a worker is carried out on the window's thread while the worker waits, and
// is dropped at once once the window is closing. A box of showMessage is modal to the window, or
// to the Service dialog while that is open. An application box from a worker has no owner: the
// window stays usable while only the worker waits for its OK. Whichever way the window ends (close
// request, Enter, Escape; while a download changes the device's memory, only after the user
// confirms; a session that ends), every worker has ended before the window's state goes away.
class UtilityWindow : public QDialog, public WindowBehaviour {
  Q_OBJECT

 public:
  UtilityWindow(Clock& clock, SerialBackend& serial, HidApi& hid, FileSystem& files,
                QWidget* parent = nullptr);
  ~UtilityWindow() override;

  void readWindow() override;
  void refreshWindow() override;
  void setStatus(const std::string& text) override;
  void setProgress(int percent) override;
  void disableRun() override;
  void enableRun() override;
  void showMessage(const std::string& text, std::optional<std::string> caption = {},
                   MessageIcon icon = MessageIcon::None) override;
  void showAppMessage(const std::string& text) override;

  // The window menu (right-click on the background, Shift+F10, the Menu key).
  QMenu* windowMenu() const { return windowMenu_; }

  // Every end of the window's modal run: the workers end first.
  void done(int result) override;
  // Escape, and the close request after it has been let through (leaveBy).
  void reject() override;

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

  void buildWindow(const std::vector<std::string>& ports, std::span<const MenuItem> menu) override;
  void disableStop() override;
  std::optional<std::string> askForFile(const FileFilter& filter) override;
  bool askToClose(const std::string& question) override;
  void dismissDialogs() override;
  void endWindow() override;
  void dismissWorkerBoxes() override;

 private:
  void buildControls(const std::vector<std::string>& ports);
  void showAbout();
  void showServiceDialog();
  // The owner of the window's boxes: the Service dialog while it is open (its commands' boxes are
  // modal to it), else the window.
  QWidget* boxOwner();
  void showBox(const QString& text, const QString& caption, int icon, bool owned);
  template <class F>
  void onWindowThread(F&& f);
  // Queues `call` for the window's thread and returns; calls run in the order queued. The queue is
  // ours, under a std::mutex, so that every hand-off from a worker to the window's thread is one
  // that a thread checker sees (Qt's own queues synchronise out of its sight).
  void post(std::function<void()> call);
  // Runs the queued calls, on the window's thread.
  void runWaitingCalls();

  QComboBox* portList_ = nullptr;
  QLineEdit* fileField_ = nullptr;
  QLineEdit* statusField_ = nullptr;
  QPushButton* searchButton_ = nullptr;
  QPushButton* updateButton_ = nullptr;
  QPushButton* runButton_ = nullptr;
  QPushButton* stopButton_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QMenu* windowMenu_ = nullptr;
  QPointer<QDialog> serviceDialog_;
  QList<QPointer<QMessageBox>> openBoxes_;
  std::mutex callsMutex_;  // Guards calls_.
  std::deque<std::function<void()>> calls_;
};

}  // namespace kestrel
