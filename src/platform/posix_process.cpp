// The process's standard descriptors on POSIX.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/process.h"

namespace kestrel {

void ensureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is the closed one; O_CLOEXEC is left off, as for any standard
    // descriptor.
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

std::string systemErrorText(int code) {
  return std::strerror(code);
}

void ignoreBrokenPipes() {
  std::signal(SIGPIPE, SIG_IGN);
}

void ignoreFileSizeLimit() {
  std::signal(SIGXFSZ, SIG_IGN);
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

bool stdoutIsTerminal() {
  return ::isatty(STDOUT_FILENO) != 0;
}

}  // namespace kestrel
