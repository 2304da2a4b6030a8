#include "support/fake_window.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace kestrel::test {

FakeWindow::FakeWindow(Clock& clock, SerialBackend& serial, HidApi& hid, FileSystem& files)
    : WindowState(clock, serial, hid, files) {
  // The window's initialisation.
  attach();
  PortIndex = 0;
  refreshWindow();
}

FakeWindow::~FakeWindow() {
  if (!shutdown(uint32_t(kPatience.count()))) {
    // A worker that never ends would hang the test run; ending it loudly is better.
    std::fprintf(stderr, "FakeWindow: a worker still ran %lld ms after the window closed\n",
                 static_cast<long long>(kPatience.count()));
    std::abort();
  }
}

void FakeWindow::selectPort(int index) {
  std::lock_guard lock(mutex_);
  portControl_ = index;
}
void FakeWindow::typeTitle(const std::string& title) {
  std::lock_guard lock(mutex_);
  titleControl_ = title;
}
void FakeWindow::typeStatus(const std::string& status) {
  std::lock_guard lock(mutex_);
  statusControl_ = status;
}

void FakeWindow::readWindow() {
  std::lock_guard lock(mutex_);
  PortIndex = portControl_;
  firmwareTitle.set(titleControl_);
  statusText.set(statusControl_);
}

void FakeWindow::refreshWindow() {
  std::lock_guard lock(mutex_);
  portControl_ = PortIndex;
  titleControl_ = firmwareTitle.get();
  statusControl_ = statusText.get();
}

void FakeWindow::setStatus(const std::string& text) {
  if (onStatus) onStatus(text);
  statusText.set(text);
  refreshWindow();
  std::lock_guard lock(mutex_);
  statuses_.push_back(text);
}

void FakeWindow::setProgress(int percent) {
  std::lock_guard lock(mutex_);
  progress_.push_back(percent);
}

void FakeWindow::disableRun() {
  std::lock_guard lock(mutex_);
  runEnabled_ = false;
}

void FakeWindow::enableRun() {
  std::lock_guard lock(mutex_);
  runEnabled_ = true;
}

void FakeWindow::showMessage(const std::string& text, std::optional<std::string> caption,
                             MessageIcon icon) {
  if (closing()) return;
  Shown shown{text, caption, icon, false};
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(shown);
  }
  if (onMessage) onMessage(shown);
}

void FakeWindow::showAppMessage(const std::string& text) {
  if (closing()) return;
  Shown shown{text, std::nullopt, MessageIcon::Warning, true};
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(shown);
  }
  if (onMessage) onMessage(shown);
}

void FakeWindow::clearRecords() {
  std::lock_guard lock(mutex_);
  messages_.clear();
  statuses_.clear();
  progress_.clear();
}

std::vector<Shown> FakeWindow::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}
std::vector<std::string> FakeWindow::texts() const {
  std::vector<std::string> out;
  for (const Shown& m : messages()) out.push_back(m.text);
  return out;
}
std::vector<std::string> FakeWindow::statuses() const {
  std::lock_guard lock(mutex_);
  return statuses_;
}
std::vector<int> FakeWindow::progress() const {
  std::lock_guard lock(mutex_);
  return progress_;
}
bool FakeWindow::runEnabled() const {
  std::lock_guard lock(mutex_);
  return runEnabled_;
}
std::string FakeWindow::statusField() const {
  std::lock_guard lock(mutex_);
  return statusControl_;
}
int FakeWindow::portSelection() const {
  std::lock_guard lock(mutex_);
  return portControl_;
}

::testing::AssertionResult FakeWindow::workersEnd(std::chrono::milliseconds patience) {
  if (workers.waitAll(unsigned(patience.count()))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "waited " << patience.count() << " ms for the "
                                       << workers.running() << " running worker(s) to end";
}

}  // namespace kestrel::test
