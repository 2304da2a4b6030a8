// The window's behaviour apart from any toolkit: the order of its start, the roads that close it
// and the question asked first, the end of a session, the file choice and a worker that never
// ends. A window whose toolkit only records what it is asked to do stands in for Qt and Win32.

#include "window/window_behaviour.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/backends.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

using Road = WindowBehaviour::Road;

// The toolkit's part of a window, as one line a call in the order made; the controls are plain
// values. A question or a file dialog that the test has given no answer for fails the test. Used
// from the test's thread only.
class RecordingWindow final : public WindowBehaviour {
 public:
  explicit RecordingWindow(Clock& clock) : WindowBehaviour(clock, noPorts_, noHid_, fileSystem()) {
    initialise();
  }
  ~RecordingWindow() override { endWorkers(); }

  using WindowBehaviour::endWorkers;

  std::vector<std::string> calls;
  std::optional<bool> answer;                        // To the close question.
  std::optional<std::optional<std::string>> choice;  // Of the file dialog; inner nothing: Cancel.
  int portControl = -1;
  std::string titleControl, statusControl;

  void readWindow() override {
    calls.push_back("readWindow");
    PortIndex = portControl;
    firmwareTitle.set(titleControl);
    statusText.set(statusControl);
  }
  void refreshWindow() override {
    calls.push_back("refreshWindow PortIndex " + std::to_string(PortIndex) + " BaudIndex " +
                    std::to_string(BaudIndex) + (windowRef.load() == this ? " windowRef" : ""));
    portControl = PortIndex;
    titleControl = firmwareTitle.get();
    statusControl = statusText.get();
  }
  void setStatus(const std::string& text) override {
    statusText.set(text);
    refreshWindow();
  }
  void setProgress(int) override {}
  void disableRun() override { calls.push_back("disableRun"); }
  void enableRun() override { calls.push_back("enableRun"); }
  void showMessage(const std::string& text, std::optional<std::string> caption,
                   MessageIcon) override {
    calls.push_back("showMessage " + caption.value_or("(application)") + ": " + text);
  }
  void showAppMessage(const std::string& text) override {
    calls.push_back("showAppMessage " + text);
  }

 protected:
  void buildWindow(const std::vector<std::string>& ports, std::span<const MenuItem> menu) override {
    std::string line = "buildWindow";
    for (const std::string& port : ports) line += " " + port;
    line += " |";
    for (const MenuItem& item : menu) {
      line += item.text.empty() ? std::string(" -")
                                : " " + std::string(item.text) + " " + std::to_string(item.command);
    }
    calls.push_back(line);
  }
  void disableStop() override { calls.push_back("disableStop"); }
  std::optional<std::string> askForFile(const FileFilter& filter) override {
    calls.push_back("askForFile " + std::string(filter.text) + " " + std::string(filter.pattern) +
                    " " + std::string(filter.defaultExtension));
    EXPECT_TRUE(choice) << "a file dialog nobody was to see";
    return choice.value_or(std::nullopt);
  }
  bool askToClose(const std::string& question) override {
    calls.push_back("askToClose " + question);
    EXPECT_TRUE(answer) << "a question nobody was to see: " << question;
    return answer.value_or(false);
  }
  void dismissDialogs() override { calls.push_back("dismissDialogs"); }
  void endWindow() override {
    calls.push_back("endWindow");
    endWorkers();
  }

 private:
  test::NoSerialPorts noPorts_;
  test::NoHidDevices noHid_;
};

const std::string kQuestion =
    "askToClose An update is running. Closing now leaves the device without working firmware. "
    "Close anyway?";

TEST(WindowBehaviour, StartsInTheWindowsOrder) {
  test::ManualClock clock;
  RecordingWindow w(clock);
  EXPECT_EQ(w.calls, (std::vector<std::string>{
                         "buildWindow USB Port COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 | "
                         "Service... 32 - &About Kestrel Firmware Utility 16",
                         "refreshWindow PortIndex -1 BaudIndex -1",
                         "refreshWindow PortIndex -1 BaudIndex 0 windowRef",
                         "disableStop",
                         "refreshWindow PortIndex 0 BaudIndex 0 windowRef",
                     }));
  EXPECT_EQ(w.searchStopped.load(), 1);
  EXPECT_EQ(w.portControl, 0);  // "USB Port"
}

// Each road closes the window at once while no download changes the device's memory; during one
// it asks first, No keeps everything as it was, and Yes lets the road's own steps run: the close
// request ends a serial search and waits 50 ms, Enter reads the window, Escape does nothing more.
TEST(WindowBehaviour, AsksBeforeLeavingOnlyWhileADownloadChangesTheDevice) {
  struct Case {
    Road road;
    bool downloading;
    std::optional<bool> answer;
    bool leaves;
    std::vector<std::string> calls;
    bool closeCommandRan;
  };
  const Case cases[] = {
      {Road::CloseRequest, false, {}, true, {}, true},
      {Road::Enter, false, {}, true, {"readWindow"}, false},
      {Road::Escape, false, {}, true, {}, false},
      {Road::CloseRequest, true, false, false, {kQuestion}, false},
      {Road::Enter, true, false, false, {kQuestion}, false},
      {Road::Escape, true, false, false, {kQuestion}, false},
      {Road::CloseRequest, true, true, true, {kQuestion}, true},
      {Road::Enter, true, true, true, {kQuestion, "readWindow"}, false},
      {Road::Escape, true, true, true, {kQuestion}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "road " << int(c.road) << ", downloading " << c.downloading << ", answer "
                 << (c.answer ? (*c.answer ? "Yes" : "No") : "none"));
    test::ManualClock clock;
    RecordingWindow w(clock);
    w.calls.clear();
    w.answer = c.answer;
    w.downloadRunning = c.downloading;
    w.searchStopped = 0;  // as while a serial search runs
    w.titleControl = "typed";
    const uint32_t before = clock.tickCount();
    EXPECT_EQ(w.leaveBy(c.road), c.leaves);
    EXPECT_EQ(w.calls, c.calls);
    EXPECT_EQ(w.searchStopped.load() == 1, c.closeCommandRan);
    EXPECT_EQ(clock.tickCount() - before, c.closeCommandRan ? 50u : 0u);
    EXPECT_EQ(w.firmwareTitle.get(), c.road == Road::Enter && c.leaves ? "typed" : "");
  }
}

// Qt hands a close request that was let through on to Escape's road: the window is on its way out
// then, and asks nothing twice.
TEST(WindowBehaviour, AsksOnceOnTheWayOut) {
  test::ManualClock clock;
  RecordingWindow w(clock);
  w.downloadRunning = true;
  w.answer = true;
  ASSERT_TRUE(w.leaveBy(Road::CloseRequest));
  w.calls.clear();
  w.answer.reset();
  EXPECT_TRUE(w.leaveBy(Road::Escape));
  EXPECT_TRUE(w.calls.empty()) << ::testing::PrintToString(w.calls);
}

// The end of a session asks nothing, stops the update as Stop does, dismisses the dialogs before
// it ends the window, and ends the workers; it happens once, and a road taken afterwards (the
// toolkit's own close as the window goes) asks nothing.
TEST(WindowBehaviour, TheSessionsEndStopsTheUpdateAndAsksNothing) {
  test::ManualClock clock;
  RecordingWindow w(clock);
  w.downloadRunning = true;
  w.searchStopped = 0;
  w.calls.clear();
  w.endSession();
  EXPECT_EQ(w.calls, (std::vector<std::string>{"refreshWindow PortIndex 0 BaudIndex 0 windowRef",
                                               "dismissDialogs", "endWindow"}));
  EXPECT_EQ(w.statusText.get(), " Stop !!");
  EXPECT_EQ(w.searchStopped.load(), 1);
  EXPECT_TRUE(w.closing());
  EXPECT_TRUE(w.workersEnded());
  EXPECT_EQ(windowRef.load(), nullptr);

  w.calls.clear();
  w.endSession();
  EXPECT_TRUE(w.leaveBy(Road::Escape));
  EXPECT_TRUE(w.calls.empty()) << ::testing::PrintToString(w.calls);
}

// A window that has already ended (Escape, then a termination request) has no session to end.
TEST(WindowBehaviour, NoSessionEndsAfterTheWindow) {
  test::ManualClock clock;
  RecordingWindow w(clock);
  ASSERT_TRUE(w.leaveBy(Road::Escape));
  w.endWorkers();
  w.calls.clear();
  w.statusText.set("as it was");
  w.endSession();
  EXPECT_TRUE(w.calls.empty()) << ::testing::PrintToString(w.calls);
  EXPECT_EQ(w.statusText.get(), "as it was");
}

// "Search..." reads the window first, offers the .out files, and takes the chosen file's title and
// folder; Cancel leaves the title as the window had it.
TEST(WindowBehaviour, SearchOffersOutFilesAndTakesTheChosenOne) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.path() / "fw");
  test::ManualClock clock;
  RecordingWindow w(clock);
  w.calls.clear();
  w.titleControl = "typed";
  w.choice = std::optional<std::string>();
  w.onCommand(kCmdSearch);
  EXPECT_EQ(w.calls,
            (std::vector<std::string>{"readWindow", "askForFile HEX Files (*.out) *.out out"}));
  EXPECT_EQ(w.firmwareTitle.get(), "typed");

  w.choice = (dir.path() / "fw" / "image.test.out").string();
  w.onCommand(kCmdSearch);
  EXPECT_EQ(w.firmwareTitle.get(), "image.test");
  EXPECT_EQ(w.titleControl, "image.test");
  EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(dir.path() / "fw"));
}

// A worker stuck in a call that does not return outlives the window's wait: the process then ends
// with the code it was given, instead of freeing the state under the worker.
TEST(WindowBehaviourDeathTest, AWorkerThatNeverEndsEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        test::ManualClock clock;
        static std::atomic<bool> never{false};
        RecordingWindow w(clock);
        w.workers.start("stuck", [] {
          while (!never) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        w.endWorkers();
        std::fprintf(stderr, "workers ended: %d\n", int(w.workersEnded()));
        w.exitIfWorkersStuck(3);
        std::fprintf(stderr, "the process went on\n");
        never = true;
      },
      ::testing::ExitedWithCode(3), "workers ended: 0");
}

}  // namespace
}  // namespace kestrel
