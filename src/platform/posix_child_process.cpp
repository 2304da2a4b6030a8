// Children of this program on POSIX: fork, then exec of /proc/self/exe.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/child_process.h"

namespace kestrel {
namespace {

class PosixChild final : public Child {
 public:
  PosixChild(pid_t pid, int out) : pid_(pid), out_(out) {}
  ~PosixChild() override {
    ChildEnd end;
    if (!wait(0, &end)) {
      kill();
      // A child stuck in the kernel (a driver call that does not return) does not end even for
      // SIGKILL: it is left to the system rather than waited for without end.
      wait(2000, &end);
    }
    ::close(out_);
  }

  int id() const override { return int(pid_); }

  int64_t read(char* out, size_t n, int timeoutMs) override {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      pollfd p = {out_, POLLIN, 0};
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      int r = ::poll(&p, 1, int(std::max<int64_t>(0, left.count())));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -1;
      if (r == 0) return 0;
      ssize_t got = ::read(out_, out, n);
      if (got > 0) return got;
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return -1;
    }
  }

  void requestStop() override { send(SIGTERM); }
  void kill() override { send(SIGKILL); }

  bool wait(int timeoutMs, ChildEnd* end) override {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (!reaped_) {
          int status = 0;
          pid_t r = ::waitpid(pid_, &status, WNOHANG);
          if (r == pid_) {
            reaped_ = true;
            end_.crashed = WIFSIGNALED(status);
            end_.code = uint32_t(end_.crashed ? WTERMSIG(status) : WEXITSTATUS(status));
            end_.signal = end_.crashed ? WTERMSIG(status) : 0;
          }
        }
        if (reaped_) {
          *end = end_;
          return true;
        }
      }
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

 private:
  // A signal to the child while it has not been reaped: once it has, its number may be another's.
  void send(int signal) {
    std::lock_guard lock(mutex_);
    if (!reaped_) ::kill(pid_, signal);
  }

  const pid_t pid_;
  const int out_;
  std::mutex mutex_;  // Guards reaped_ and end_, and keeps signals from crossing the reaping.
  bool reaped_ = false;
  ChildEnd end_;
};

// Writes all of `n` bytes, with only async-signal-safe calls (between fork and exec).
void writeAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t r = ::write(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;
    p += r;
    n -= size_t(r);
  }
}

}  // namespace

std::string crashText(const ChildEnd& end) {
  const char* name = ::strsignal(int(end.code));
  return "signal " + std::to_string(end.code) + (name ? std::string(" (") + name + ")" : "");
}

std::unique_ptr<Child> startSelf(const std::vector<std::string>& args, ChildError* error,
                                 ChildGroup group) {
  if (!copiesOfThisProgramAllowed) {
    *error = {ENOSYS,
              "cannot start a copy of this program: it is not one that runs a device's update "
              "as a child"};
    return nullptr;
  }
  auto fail = [&](const char* what) -> std::unique_ptr<Child> {
    *error = {errno, std::string("cannot start a copy of this program: ") + what + ": " +
                         std::strerror(errno)};
    return nullptr;
  };
  // Everything the child needs is made before the fork: between fork and exec it may only make
  // async-signal-safe calls, since other threads of this process may hold the allocator's lock.
  std::vector<std::string> storage;
  storage.push_back(program_invocation_name);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2], failed[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return fail("pipe");
  // Carries the exec's errno when it fails; closed by a successful exec.
  if (::pipe2(failed, O_CLOEXEC) != 0) {
    int saved = errno;
    ::close(out[0]);
    ::close(out[1]);
    errno = saved;
    return fail("pipe");
  }
  int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t pid = null < 0 ? -1 : ::fork();
  if (pid == 0) {
    ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(null, 2);
    // The signal mask survives exec: a child of a thread that blocks signals would never hear its
    // parent's SIGTERM.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (group == ChildGroup::Own) ::setpgid(0, 0);
    ::execv("/proc/self/exe", argv.data());
    int code = errno;
    writeAll(failed[1], &code, sizeof code);
    ::_exit(127);
  }
  int saved = errno;
  // Set on both sides: a Ctrl+C between the fork and the child's own call must not reach it.
  if (pid > 0 && group == ChildGroup::Own) ::setpgid(pid, pid);
  ::close(out[1]);
  ::close(failed[1]);
  if (null >= 0) ::close(null);
  if (pid < 0) {
    ::close(out[0]);
    ::close(failed[0]);
    errno = saved;
    return fail(null < 0 ? "/dev/null" : "fork");
  }
  int code = 0;
  ssize_t got;
  do {
    got = ::read(failed[0], &code, sizeof code);
  } while (got < 0 && errno == EINTR);
  ::close(failed[0]);
  if (got == ssize_t(sizeof code)) {
    ::waitpid(pid, nullptr, 0);
    ::close(out[0]);
    errno = code;
    return fail("exec");
  }
  return std::make_unique<PosixChild>(pid, out[0]);
}

// SIGTERM, the parent's stop request, is a request to end that watchStopRequests() handles.
void watchParentStopRequests(std::atomic<bool>*) {}

}  // namespace kestrel
