#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace kestrel {

// Tells when one worker's body has returned.
class WorkerDone {
 public:
  // Blocks until the body has returned.
  void wait();
  bool ended() const { return ended_.load(); }
  void markEnded();

 private:
  std::atomic<bool> ended_{false};
  std::mutex mutex_;  // Guards the wait on cv_.
  std::condition_variable cv_;
};

// The worker threads of one window. Threads run their body and end by themselves; the group
// keeps track of them so that the window can make sure all have ended before its state goes away.
// start() and waitAll() may be called from any thread, but waitAll() never from a worker.
class WorkerGroup {
 public:
  // Told, on the worker's thread, that the body of the worker `name` ended by throwing (only a
  // failed allocation can throw in the program's own code): `noMemory` says whether that was the
  // cause. The worker counts as ended once this returns. It must not throw.
  using FailureHandler = std::function<void(std::string_view name, bool noMemory)>;

  WorkerGroup() = default;
  explicit WorkerGroup(FailureHandler onFailure) : onFailure_(std::move(onFailure)) {}
  WorkerGroup(const WorkerGroup&) = delete;
  WorkerGroup& operator=(const WorkerGroup&) = delete;
  // Joins whatever has ended; a group must not be destroyed while a worker still runs.
  ~WorkerGroup();

  // Starts `body` on a new thread named `name` ("SendThread", ...). Returns null when the thread
  // cannot be started (no thread or no memory to be had), in which case `body` never runs. A body
  // that throws ends its worker and is reported to the FailureHandler; it never ends the process.
  std::shared_ptr<WorkerDone> start(std::string_view name, std::function<void()> body);

  // Waits up to `timeoutMs` of real time for every started worker to end. True when none runs.
  bool waitAll(uint32_t timeoutMs);

  int running() const { return running_.load(); }

  // Test hook: when set and it returns true for a name, starting that thread fails.
  void setStartFault(std::function<bool(std::string_view)> fault);

 private:
  struct Entry {
    std::thread thread;
    std::shared_ptr<WorkerDone> done;
  };
  void reapEnded();  // Needs mutex_.

  std::atomic<int> running_{0};
  mutable std::mutex mutex_;  // Guards entries_, fault_ and the wait on cv_.
  std::condition_variable cv_;
  std::list<Entry> entries_;
  std::function<bool(std::string_view)> fault_;
  const FailureHandler onFailure_;
};

}  // namespace kestrel
