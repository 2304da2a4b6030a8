// The process's standard descriptors on POSIX.

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
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

// The flag that watchStopRequests() was given: a signal handler touches nothing but atomics.
std::atomic<std::atomic<bool>*> stopFlag{nullptr};
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);

// The requests counted, for stopRequestCount().
std::atomic<int> stopCount{0};
static_assert(std::atomic<int>::is_always_lock_free);

void onStopSignal(int) {
  stopCount.fetch_add(1);
  if (std::atomic<bool>* flag = stopFlag.load()) flag->store(true);
}

// Hands the requests to end (SIGTERM, SIGHUP, SIGINT, SIGQUIT) to `handler`, but for those the
// program was started with ignored (nohup, a background job): they stay ignored. Interrupted
// system calls go on: every wait of the program has its own deadline.
void catchStopSignals(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
    struct sigaction before {};
    if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

// The device number of the character device at `path` (links followed), or nothing.
bool characterDevice(const char* path, dev_t* device) {
  struct stat st {};
  if (::stat(path, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  *device = st.st_rdev;
  return true;
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

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

int watchTerminationRequests() {
  if (terminationPipe[0] >= 0) return terminationPipe[0];
  if (::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  catchStopSignals(noteTerminationRequest);
  return terminationPipe[0];
}

int takeTerminationRequest() {
  unsigned char byte = 0;
  if (terminationPipe[0] < 0 || ::read(terminationPipe[0], &byte, 1) != 1) return 0;
  return byte;
}

void watchStopRequests(std::atomic<bool>* flag) {
  stopFlag = flag;
  catchStopSignals(onStopSignal);
}

int stopRequestCount() {
  return stopCount.load();
}

// A signal handler returns at once; nothing waits for the program's end.
void stopRequestsHandled() {}

bool runStopHandler(int code) {
  onStopSignal(code);
  return true;
}

int terminalColumns(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

int terminalRows(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_row;
}

bool terminalMovesCursor(int fd) {
  const char* term = std::getenv("TERM");
  return ::isatty(fd) && term && *term && std::strcmp(term, "dumb") != 0;
}

bool sameOutput(int a, int b) {
  struct stat sa {
  }, sb{};
  if (::fstat(a, &sa) != 0 || ::fstat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool waitWritable(int fd, int timeoutMs) {
  pollfd p = {fd, POLLOUT, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  return r == 1 && (p.revents & POLLOUT);
}

bool isOwnTerminal(const std::string& path) {
  dev_t device;
  if (!characterDevice(path.c_str(), &device)) return false;
  // /dev/tty opens the controlling terminal, when there is one.
  int tty = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (tty >= 0) {
    dev_t named;
    struct stat st {};
    bool same = (::fstat(tty, &st) == 0 && st.st_rdev == device) ||
                (characterDevice("/dev/tty", &named) && named == device);
    ::close(tty);
    if (same) return true;
  }
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat st {};
    if (::isatty(fd) && ::fstat(fd, &st) == 0 && st.st_rdev == device) return true;
  }
  return false;
}

}  // namespace kestrel
