#include "sim/pty_line.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace kestrel::sim {

PtyLine openPtyLine() {
  PtyLine line;
  int slave = -1;
  char name[256];
  if (::openpty(&line.master, &slave, name, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  line.path = name;
  // Until the utility has set the line up, nothing may be echoed back. The idle speed is one the
  // utility never uses, so that the far end can tell a line the utility has let go.
  termios tio{};
  ::tcgetattr(slave, &tio);
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, kIdleSpeed);
  ::cfsetospeed(&tio, kIdleSpeed);
  ::tcsetattr(slave, TCSANOW, &tio);
  line.keeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  ::close(slave);
  // A program the test starts must not inherit the far end: the line would not hang up with it.
  ::fcntl(line.master, F_SETFD, FD_CLOEXEC);
  return line;
}

}  // namespace kestrel::sim
