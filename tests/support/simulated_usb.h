#pragma once

// USB boot loaders in processes of their own, for tests of whole programs: each a kestrel-hid-sim
// plugged into a simulated machine in a folder of the test's, which a program started under
// SimulatedUsb::environment() reaches through the tests' hidapi stand-in (sim/hid_socket.h).

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/wait.h"

namespace kestrel::test {

// One simulated boot loader, plugged in while its process runs.
class SimulatedBootLoader {
 public:
  SimulatedBootLoader(std::vector<std::string> argv, std::vector<std::string> env)
      : process_(std::move(argv), std::move(env)) {}

  // Waits for its next event called `name`, passing over others, at most `patience`; *event (when
  // given) receives it.
  ::testing::AssertionResult next(const std::string& name, nlohmann::json* event = nullptr,
                                  std::chrono::milliseconds patience = kPatience) {
    const auto until = std::chrono::steady_clock::now() + patience;
    std::string line;
    while (process_.nextLine(&line, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        until - std::chrono::steady_clock::now()))) {
      nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
      seen_ += line + "\n";
      if (e.is_object() && e.value("event", "") == name) {
        if (event) *event = e;
        return ::testing::AssertionSuccess();
      }
    }
    return ::testing::AssertionFailure() << "waited " << patience.count() << " ms for the event \""
                                         << name << "\" of the boot loader, in vain; it said:\n"
                                         << seen_;
  }

  // Takes it out: SIGTERM, then its "end" event (connections, reports, downloads, violations),
  // once it has ended. An empty object when it did not end in time.
  nlohmann::json stop() {
    if (stopped_) return end_;
    stopped_ = true;
    process_.signal(SIGTERM);
    std::optional<Ended> ended = process_.finish(kPatience);
    EXPECT_TRUE(ended) << "the simulated boot loader did not end";
    if (!ended) return end_;
    EXPECT_EQ(ended->exitCode, 0) << describe(*ended);
    std::istringstream lines(ended->out);
    for (std::string line; std::getline(lines, line);) {
      seen_ += line + "\n";
      nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
      if (e.is_object() && e.value("event", "") == "end") end_ = e;
    }
    EXPECT_FALSE(end_.empty()) << seen_;
    return end_;
  }

  // Unplugs it at once (it answers nothing more; its node goes).
  void unplug() { process_.signal(SIGUSR1); }

  // What its "ready" event said: "path" (its node), "location", "serial".
  nlohmann::json ready;
  std::string path() const { return ready.value("path", ""); }

 private:
  ChildProcess process_;
  std::string seen_;  // Every line it has said, for messages.
  bool stopped_ = false;
  nlohmann::json end_ = nlohmann::json::object();
};

// The simulated machine: its folder, its boot loaders and the environment that leads a program
// to them.
class SimulatedUsb {
 public:
  explicit SimulatedUsb(std::filesystem::path dir) : dir_(std::move(dir)) {}
  ~SimulatedUsb() {
    for (auto& b : loaders_) b.stop();
  }

  // Plugs in a boot loader with kestrel-hid-sim's options `options` (--dir is given here);
  // returns it once it is there, or fails the test.
  SimulatedBootLoader& plug(const std::vector<std::string>& options) {
    std::vector<std::string> argv = {KESTREL_HID_SIM_BINARY, "--dir", dir_.string()};
    argv.insert(argv.end(), options.begin(), options.end());
    SimulatedBootLoader& b = loaders_.emplace_back(argv, environmentWith({}));
    EXPECT_TRUE(b.next("ready", &b.ready));
    return b;
  }

  // What a program needs in its environment to find the boot loaders: the stand-in first in its
  // library path, the folder, and sysfs in the folder.
  std::map<std::string, std::optional<std::string>> environment() const {
    return {{"LD_LIBRARY_PATH", std::string(KESTREL_HIDAPI_STAND_IN_DIR)},
            {"KESTREL_HIDSIM_DIR", dir_.string()},
            {"KESTREL_SYSFS_ROOT", (dir_ / "sys").string()}};
  }

 private:
  std::filesystem::path dir_;
  std::list<SimulatedBootLoader> loaders_;  // A list: each stays where it is.
};

}  // namespace kestrel::test
