#include "cli/output_sink.h"

#include <unistd.h>

#include <cerrno>

namespace kestrel {
namespace {

constexpr size_t kMaxQueued = 1 << 20;

}  // namespace

OutputSink::OutputSink(int fd) : fd_(fd), writer_([this] { run(); }) {}

OutputSink::~OutputSink() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    cv_.notify_all();
    if (writing_ || !queue_.empty()) {
      // Stuck in a write nobody reads: the process is ending, and the thread with it.
      writer_.detach();
      return;
    }
  }
  writer_.join();
}

void OutputSink::write(std::string text) {
  std::lock_guard lock(mutex_);
  if (gone_ || text.empty() || queued_ + text.size() > kMaxQueued) return;
  queued_ += text.size();
  queue_.push_back(std::move(text));
  cv_.notify_all();
}

bool OutputSink::flush(std::chrono::milliseconds patience) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, patience, [this] { return queue_.empty() && !writing_; });
}

bool OutputSink::gone() const {
  std::lock_guard lock(mutex_);
  return gone_;
}

void OutputSink::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;
    std::string text = std::move(queue_.front());
    queue_.pop_front();
    queued_ -= text.size();
    writing_ = true;
    lock.unlock();
    size_t done = 0;
    bool failed = false;
    while (done < text.size()) {
      ssize_t r = ::write(fd_, text.data() + done, text.size() - done);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        failed = true;
        break;
      }
      done += size_t(r);
    }
    lock.lock();
    writing_ = false;
    if (failed) {
      gone_ = true;
      queue_.clear();
      queued_ = 0;
    }
    cv_.notify_all();
  }
}

}  // namespace kestrel
