#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/window_state.h"
#include "platform/backends.h"
#include "support/wait.h"

namespace kestrel::test {

// A message box as the user saw it.
struct Shown {
  std::string text;
  std::optional<std::string> caption;  // None: the application's name.
  MessageIcon icon = MessageIcon::None;
  bool appBox = false;  // Shown through showAppMessage.
  bool operator==(const Shown&) const = default;
};

inline void PrintTo(const Shown& s, std::ostream* os) {
  *os << (s.appBox ? "app box " : "box ") << '"' << s.text << "\" caption "
      << (s.caption ? '"' + *s.caption + '"' : std::string("(application)")) << " icon "
      << int(s.icon);
}

// The window's operations without a screen: the controls are plain values, every box is
// recorded and answered with OK at once. Safe to call from any thread.
class FakeWindow : public WindowState {
 public:
  // The machine's real files unless a test gives its own.
  FakeWindow(Clock& clock, SerialBackend& serial, HidApi& hid, FileSystem& files = fileSystem());
  ~FakeWindow() override;

  // What the controls show; a test sets them as a user would.
  void selectPort(int index);
  void typeTitle(const std::string& title);
  void typeStatus(const std::string& status);

  void readWindow() override;
  void refreshWindow() override;
  void setStatus(const std::string& text) override;
  void setProgress(int percent) override;
  void disableRun() override;
  void enableRun() override;
  void showMessage(const std::string& text, std::optional<std::string> caption = {},
                   MessageIcon icon = MessageIcon::None) override;
  void showAppMessage(const std::string& text) override;

  std::vector<Shown> messages() const;
  std::vector<std::string> texts() const;  // The messages' texts alone.
  std::vector<std::string> statuses() const;
  std::vector<int> progress() const;
  bool runEnabled() const;
  std::string statusField() const;
  int portSelection() const;

  // Blocks until every worker has ended, or `patience` of real time has passed; then fails with
  // what it waited for.
  ::testing::AssertionResult workersEnd(std::chrono::milliseconds patience = kPatience);

  // Forgets the boxes, statuses and progress recorded so far.
  void clearRecords();

  // Runs in the calling thread whenever a box is shown, before it is "dismissed".
  std::function<void(const Shown&)> onMessage;
  // Runs in the calling thread whenever the status is set, before it is recorded.
  std::function<void(const std::string&)> onStatus;

 private:
  mutable std::mutex mutex_;  // Guards everything below.
  int portControl_ = -1;
  std::string titleControl_, statusControl_;
  bool runEnabled_ = true;
  std::vector<Shown> messages_;
  std::vector<std::string> statuses_;
  std::vector<int> progress_;
};

}  // namespace kestrel::test
