#pragma once

// Copies of this program run as children of it: one for each device of a batch, so that a driver
// call that never returns or a crash costs only that device. A child reports on a pipe that the
// parent reads, and can be asked to stop, killed and waited for.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// How a child ended.
struct ChildEnd {
  // True when it did not end by its own road: a signal ended it (POSIX), or an exception that
  // nothing handled (Windows, an exit code of 0xC0000000 and above).
  bool crashed = false;
  // Its exit code; when it crashed, the signal's number (POSIX) or the exception's code (Windows).
  uint32_t code = 0;
  // The signal that ended it (POSIX); 0 when none did.
  int signal = 0;
};

// What a crash was, in words for a reason: "signal 9 (Killed)", "exception 0xC0000005".
std::string crashText(const ChildEnd& end);

// Why a child could not be started: the system's error number and a sentence that says what failed.
struct ChildError {
  int code = 0;
  std::string text;
};

// A child started by startSelf(). Its standard output is a pipe whose reading end this holds; its
// standard input leads to this process (see requestStop()), its standard error to the null device.
// It runs in the current folder with this process's environment, on the same terminal or console;
// a Ctrl+C there reaches it too unless it has a process group of its own (ChildGroup::Own).
//
// read() is called by one thread at a time; requestStop(), kill(), wait() and id() from any thread.
// The destructor kills a child that has not been seen to end and waits for it.
class Child {
 public:
  virtual ~Child() = default;

  // The process id.
  virtual int id() const = 0;

  // Waits up to `timeoutMs` for what it writes on its standard output and copies up to `n` bytes
  // into `out`. Returns the count; 0 when the time ran out with nothing; -1 once its output has
  // ended (it has ended, or closed its standard output) or cannot be read.
  virtual int64_t read(char* out, size_t n, int timeoutMs) = 0;

  // Asks it to end in good order, as a request to end from outside (Ctrl+C, kill) does: on POSIX
  // SIGTERM; on Windows a byte on its standard input, which watchParentStopRequests() watches.
  // Harmless once it has ended.
  virtual void requestStop() = 0;

  // Ends it at once, whatever it does (SIGKILL, TerminateProcess). Harmless once it has ended.
  virtual void kill() = 0;

  // Waits up to `timeoutMs` for it to end. True with *end filled in when it has ended (the same on
  // every later call); false when it still runs.
  virtual bool wait(int timeoutMs, ChildEnd* end) = 0;
};

// Only a program whose main() understands the internal option of a batch's child may start copies
// of itself; it says so once, before any batch runs. Anywhere else (a test program that runs the
// command in its own process) startSelf() refuses: a copy of such a program would not be a child
// of the batch but the whole program again, which could start copies in turn without end.
inline std::atomic<bool> copiesOfThisProgramAllowed{false};
inline void allowCopiesOfThisProgram() {
  copiesOfThisProgramAllowed = true;
}

// Where a child's requests to end come from.
enum class ChildGroup {
  Shared,  // The parent's process group (console): a Ctrl+C on the terminal reaches it too.
  Own,     // A process group of its own (POSIX setpgid; Windows CREATE_NEW_PROCESS_GROUP): only
           // its parent's requestStop() and kill() reach it, so that the parent alone decides
           // what a Ctrl+C on the terminal means for it.
};

// Starts this program's own executable (the very file this process runs, even if it has been
// replaced on disk since, where the system allows) with `args` after its name, in `group`. Null
// with *error saying why when it cannot be started, or when allowCopiesOfThisProgram() was not
// called.
std::unique_ptr<Child> startSelf(const std::vector<std::string>& args, ChildError* error,
                                 ChildGroup group = ChildGroup::Shared);

// For a program that startSelf() started: from now on a stop request of its parent
// (Child::requestStop) raises `*flag`, as watchStopRequests() does for a request from outside. The
// parent's going away is no stop request: the child goes on to its end. On POSIX the request is
// SIGTERM, which watchStopRequests() handles already; on Windows a thread of its own reads the
// standard input. `flag` lives as long as the process. Call once, from main().
void watchParentStopRequests(std::atomic<bool>* flag);

}  // namespace kestrel
