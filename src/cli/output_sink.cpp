#include "cli/output_sink.h"

#include <unistd.h>

#include <cerrno>

#include "platform/process.h"

namespace kestrel {
namespace {

constexpr size_t kMaxQueued = 1 << 20;
// How long one wait for a full non-blocking descriptor lasts before the write is tried again.
constexpr int kFullWaitMs = 100;

}  // namespace

OutputSink::OutputSink(int fd) : fd_(fd), writer_([this] { run(); }) {}

OutputSink::OutputSink(int fd, OutputSink& shared) : fd_(fd), shared_(&shared) {}

OutputSink::~OutputSink() {
  if (shared_) return;
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
  if (shared_) return shared_->queue(fd_, std::move(text));
  queue(fd_, std::move(text));
}

void OutputSink::queue(int fd, std::string text) {
  std::lock_guard lock(mutex_);
  if (gone_ || text.empty() || queued_ + text.size() > kMaxQueued) return;
  queued_ += text.size();
  queue_.push_back({fd, std::move(text)});
  cv_.notify_all();
}

bool OutputSink::flush(std::chrono::milliseconds patience) {
  if (shared_) return shared_->flush(patience);
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, patience, [this] { return queue_.empty() && !writing_; });
}

bool OutputSink::gone() const {
  if (shared_) return shared_->gone();
  std::lock_guard lock(mutex_);
  return gone_;
}

void OutputSink::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Text text = std::move(queue_.front());
    queue_.pop_front();
    queued_ -= text.bytes.size();
    writing_ = true;
    lock.unlock();
    size_t done = 0;
    bool failed = false;
    while (done < text.bytes.size()) {
      ssize_t r = ::write(text.fd, text.bytes.data() + done, text.bytes.size() - done);
      if (r > 0) {
        done += size_t(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      // A non-blocking descriptor that is full for now (a terminal or pipe shared with a program
      // that set O_NONBLOCK) takes the rest once its reader catches up.
      if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        waitWritable(text.fd, kFullWaitMs);
        continue;
      }
      failed = true;
      break;
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
