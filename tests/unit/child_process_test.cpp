// Copies of a program started as its children (platform/child_process.h): this test program starts
// itself with "--child WHAT" and plays the child's part, so that the pipe, the stop request, a
// crash and a kill are seen as a batch's parent sees them, on Linux and under Wine alike.

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/child_process.h"
#include "platform/process.h"
#include "support/wait.h"

namespace kestrel {
namespace {

using Clk = std::chrono::steady_clock;

// Reads what `child` writes until `text` has come, or its output ends, or the patience is spent.
std::string readUntil(Child& child, const std::string& text,
                      std::chrono::milliseconds patience = test::kPatience) {
  std::string got;
  const auto until = Clk::now() + patience;
  char buffer[256];
  while (got.find(text) == std::string::npos && Clk::now() < until) {
    int64_t n = child.read(buffer, sizeof buffer, 50);
    if (n < 0) break;
    got.append(buffer, size_t(n));
  }
  return got;
}

ChildEnd endOf(Child& child) {
  ChildEnd end;
  EXPECT_TRUE(child.wait(int(test::kPatience.count()), &end)) << "the child did not end";
  return end;
}

std::unique_ptr<Child> start(const std::string& what, const std::string& argument = "") {
  ChildError error;
  std::unique_ptr<Child> child = startSelf({"--child", what, argument}, &error);
  EXPECT_TRUE(child) << error.text;
  return child;
}

TEST(ChildProcess, ItsReportsComeThroughThePipeWholeAndItsExitCodeAfter) {
  // Blanks, quotes and backslashes that its command line carries; said ten times over, more than a
  // pipe holds.
  std::string text = "a \"quoted\" \\path\\ and more:";
  while (text.size() < 20000) text += " filler";
  auto child = start("say", text);
  ASSERT_TRUE(child);
  EXPECT_GT(child->id(), 0);
  std::string got = readUntil(*child, "<end>");
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += text;
  EXPECT_TRUE(got == expected + "<end>")
      << "what came: " << got.size() << " bytes of " << expected.size() + 5;
  char byte;
  const auto until = Clk::now() + test::kPatience;
  int64_t n = 0;
  while ((n = child->read(&byte, 1, 50)) == 0 && Clk::now() < until) {
  }
  EXPECT_EQ(n, -1) << "its output ends with it";
  ChildEnd end = endOf(*child);
  EXPECT_FALSE(end.crashed);
  EXPECT_EQ(end.code, 7u);
}

TEST(ChildProcess, AStopRequestEndsItByItsOwnRoad) {
  auto child = start("wait-for-stop");
  ASSERT_TRUE(child);
  ASSERT_NE(readUntil(*child, "ready").find("ready"), std::string::npos);
  child->requestStop();
  EXPECT_NE(readUntil(*child, "stopped").find("stopped"), std::string::npos)
      << "the child heard no stop request";
  ChildEnd end = endOf(*child);
  EXPECT_FALSE(end.crashed);
  EXPECT_EQ(end.code, 3u);
  child->requestStop();  // once it has ended, harmless
}

TEST(ChildProcess, ACrashOrAKillIsToldFromAnEndingOfItsOwn) {
  auto crashing = start("crash");
  ASSERT_TRUE(crashing);
  ChildEnd end = endOf(*crashing);
  EXPECT_TRUE(end.crashed) << "exit code " << end.code;
  EXPECT_FALSE(crashText(end).empty());

  // One that neither reports nor ends: reads time out; a kill ends it and its output.
  auto silent = start("sleep");
  ASSERT_TRUE(silent);
  ASSERT_NE(readUntil(*silent, "ready").find("ready"), std::string::npos);
  char byte;
  const auto before = Clk::now();
  EXPECT_EQ(silent->read(&byte, 1, 200), 0);
  EXPECT_GE(Clk::now() - before, std::chrono::milliseconds(150)) << "the read did not wait";
  EXPECT_FALSE(silent->wait(0, &end));
  silent->kill();
  EXPECT_EQ(readUntil(*silent, "never"), "");
  end = endOf(*silent);
  if (end.signal) {
    EXPECT_TRUE(end.crashed);
    EXPECT_EQ(crashText(end).rfind("signal 9", 0), 0u) << crashText(end);
  } else {
    EXPECT_FALSE(end.crashed) << "a kill is no exception";
  }
}

// The child's part.
int child(const std::string& what, const std::string& argument) {
  static std::atomic<bool> stop{false};
  if (what == "say") {
    for (int i = 0; i < 10; ++i) std::fwrite(argument.data(), 1, argument.size(), stdout);
    std::fputs("<end>", stdout);
    std::fflush(stdout);
    return 7;
  }
  if (what == "wait-for-stop") {
    watchStopRequests(&stop);
    watchParentStopRequests(&stop);
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    const auto until = Clk::now() + test::kPatience;
    while (!stop && Clk::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::fputs(stop ? "stopped\n" : "no stop came\n", stdout);
    std::fflush(stdout);
    return 3;
  }
  if (what == "crash") {
#ifdef _WIN32
    ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#else
    // Not a fault of its own: a sanitizer would catch that and exit.
    std::abort();
#endif
  }
  if (what == "sleep") {
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    std::this_thread::sleep_for(test::kPatience);
    return 0;
  }
  return 2;
}

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
    return kestrel::child(argv[2], argc >= 4 ? argv[3] : "");
  }
  // Its children are this program with "--child", which runs no test.
  kestrel::allowCopiesOfThisProgram();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
