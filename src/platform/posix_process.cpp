// The process's standard descriptors on POSIX.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/process.h"

namespace kestrel {
namespace {

// The pipe of watchTerminationRequests(): [0] the event loop's end, [1] the handler's.
int terminationPipe[2] = {-1, -1};

// Runs in whichever thread the signal finds: only an async-signal-safe write.
void noteTerminationRequest(int signal) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  // A full pipe already holds requests enough.
  [[maybe_unused]] ssize_t written = ::write(terminationPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

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

int watchTerminationRequests() {
  if (terminationPipe[0] >= 0) return terminationPipe[0];
  if (::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction noting {};
  noting.sa_handler = noteTerminationRequest;
  sigemptyset(&noting.sa_mask);
  noting.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
    struct sigaction before {};
    // A signal the program was started with ignored (nohup, a background job) stays ignored.
    if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &noting, nullptr);
  }
  return terminationPipe[0];
}

int takeTerminationRequest() {
  unsigned char byte = 0;
  if (terminationPipe[0] < 0 || ::read(terminationPipe[0], &byte, 1) != 1) return 0;
  return byte;
}

}  // namespace kestrel
