#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace kestrel {

// Text for one output descriptor (stdout or stderr), written by a thread of its own.
//
// Nobody who prints ever waits for the output: a full pipe that nobody reads holds up only the
// writer thread, so the update and the signals that end it go on. A descriptor that is briefly full
// (a non-blocking one that says "try again") is waited for. Output that has gone (a closed pipe, a
// closed or broken descriptor) is given up quietly, and nothing further is written; the program's
// result does not depend on it. SIGPIPE must be ignored by the program.
//
// write() may be called from any thread. Text is written in the order given; text of sinks that
// share one writer (see the second constructor) in the order given to any of them.
class OutputSink {
 public:
  // Starts the writer thread; throws std::system_error when no thread can be had.
  explicit OutputSink(int fd);
  // A sink for `fd` whose text `shared`'s writer writes, in one order with its own: for two
  // descriptors that lead to the same place (`2>&1`), so that what is written last comes last.
  // `shared` must outlive this sink.
  OutputSink(int fd, OutputSink& shared);
  // Waits for the writer only if it has nothing left to write; a writer stuck in a write is left
  // behind (call flush() first, and end the process when it fails).
  ~OutputSink();
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  // Queues `text`. Beyond about a megabyte of unwritten text, further text is dropped: the
  // reader is not keeping up.
  void write(std::string text);

  // Waits up to `patience` for everything queued to be written (or given up). True when done.
  bool flush(std::chrono::milliseconds patience);

  // True once the descriptor refused output (EPIPE, EBADF, ...).
  bool gone() const;

 private:
  struct Text {
    int fd;
    std::string bytes;
  };
  void queue(int fd, std::string text);
  void run();

  const int fd_;
  OutputSink* const shared_ = nullptr;  // The sink whose writer writes this one's text, if any.
  mutable std::mutex mutex_;            // Guards everything below.
  std::condition_variable cv_;
  std::deque<Text> queue_;
  size_t queued_ = 0;     // Bytes in queue_.
  bool writing_ = false;  // The writer holds text outside the queue.
  bool gone_ = false;
  bool stop_ = false;
  std::thread writer_;
};

}  // namespace kestrel
