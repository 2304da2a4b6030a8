#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/pty_line.h"
#include "support/wait.h"

namespace kestrel::test {

// The far end of a pseudo-terminal, driven by the test itself, linked as `dir`/`name`.
class PtyPeer {
 public:
  PtyPeer(const std::filesystem::path& dir, const std::string& name) {
    sim::PtyLine line = sim::openPtyLine();
    master_ = line.master;
    keeper_ = line.keeper;
    path_ = line.path;
    std::filesystem::create_symlink(path_, dir / name);
  }
  ~PtyPeer() {
    ::close(master_);
    ::close(keeper_);
  }
  const std::string& path() const { return path_; }
  void send(const std::vector<uint8_t>& bytes) {
    [[maybe_unused]] ssize_t r = ::write(master_, bytes.data(), bytes.size());
  }
  // The next `count` bytes from the utility, or fewer when `patience` passes first.
  std::vector<uint8_t> receive(size_t count, std::chrono::milliseconds patience = kPatience) {
    std::vector<uint8_t> out;
    auto end = std::chrono::steady_clock::now() + patience;
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p = {master_, POLLIN, 0};
      if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
        uint8_t buf[256];
        ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) out.insert(out.end(), buf, buf + n);
      }
    }
    return out;
  }
  // Holds the line up, or lets it go again: the near end's output stops as under XOFF or a low
  // CTS, and the utility's writes block.
  void holdLine(bool held) { ::tcflow(keeper_, held ? TCOOFF : TCOON); }
  // The speed the utility set on its side of the line.
  speed_t speed() const {
    termios tio{};
    ::tcgetattr(master_, &tio);
    return ::cfgetospeed(&tio);
  }

 private:
  int master_ = -1;
  int keeper_ = -1;
  std::string path_;
};

}  // namespace kestrel::test
