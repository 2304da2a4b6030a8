#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace kestrel::test {

// The longest a test waits for anything that should happen within milliseconds: generous, so that
// a loaded machine passes; bounded, so that a fault costs seconds and not the runner's time-out.
inline constexpr std::chrono::milliseconds kPatience{10000};

// Waits in real time until `ready` holds, checking every millisecond, for at most `patience`.
// Fails with "waited N ms for <what>" when it does not come.
inline ::testing::AssertionResult eventually(const std::function<bool()>& ready,
                                             const std::string& what,
                                             std::chrono::milliseconds patience = kPatience) {
  const auto until = std::chrono::steady_clock::now() + patience;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > until) {
      return ::testing::AssertionFailure()
             << "waited " << patience.count() << " ms for " << what << ", in vain";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return ::testing::AssertionSuccess();
}

}  // namespace kestrel::test
