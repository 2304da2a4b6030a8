#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace kestrel::test {

// How a program ended, and what it wrote.
struct Ended {
  std::optional<int> exitCode;  // when it exited; nothing when a signal ended it
  int signal = 0;               // the signal that ended it
  std::string out, err;
};

inline std::string describe(const Ended& e) {
  return (e.exitCode ? "exit " + std::to_string(*e.exitCode)
                     : "ended by signal " + std::to_string(e.signal)) +
         "; stdout \"" + e.out + "\"; stderr \"" + e.err + "\"";
}

// The test's environment with `changes` made: a name mapped to nothing is removed.
inline std::vector<std::string> environmentWith(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (!changes.count(entry.substr(0, entry.find('=')))) out.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) out.push_back(name + "=" + *value);
  }
  return out;
}

// A program started in the current folder, with stdin from /dev/null and its output into pipes.
// One that has not been seen to end is killed when this goes.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> argv, std::vector<std::string> env = environmentWith({})) {
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    if (::pipe2(err, O_CLOEXEC) != 0) {
      ::close(out[0]);
      ::close(out[1]);
      return;
    }
    int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec: the test may have threads.
      ::dup2(null, 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    ::close(null);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  void signal(int number) const { ::kill(pid_, number); }

  // The next line it writes on stdout, without its line break, waiting for it at most `patience`.
  // False when none came in that time or its stdout ended. finish() gives what is left after it.
  bool nextLine(std::string* line, std::chrono::milliseconds patience) {
    const auto until = std::chrono::steady_clock::now() + patience;
    for (;;) {
      size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        *line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return true;
      }
      if (out_ < 0 || std::chrono::steady_clock::now() >= until) return false;
      pollfd fd{out_, POLLIN, 0};
      if (::poll(&fd, 1, 10) <= 0) continue;
      char buf[4096];
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) {
        ::close(out_);
        out_ = -1;
      } else {
        pending_.append(buf, size_t(n));
      }
    }
  }

  // Reads its output until it has ended, for at most `patience`; nothing when it has not ended.
  std::optional<Ended> finish(std::chrono::milliseconds patience) {
    Ended e;
    e.out = std::move(pending_);
    pending_.clear();
    const auto until = std::chrono::steady_clock::now() + patience;
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    std::string* text[2] = {&e.out, &e.err};
    while (std::chrono::steady_clock::now() < until) {
      if (::poll(fds, 2, 10) > 0) {
        for (int i = 0; i < 2; ++i) {
          if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
          char buf[4096];
          ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
          if (n > 0) text[i]->append(buf, size_t(n));
          if (n <= 0) fds[i].fd = -1;
        }
      }
      int status = 0;
      if (fds[0].fd < 0 && fds[1].fd < 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        if (WIFEXITED(status)) e.exitCode = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) e.signal = WTERMSIG(status);
        return e;
      }
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool reaped_ = false;
  std::string pending_;  // Read from stdout by nextLine() and not given out yet.
};

}  // namespace kestrel::test
