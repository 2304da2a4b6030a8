#include "core/worker_group.h"

#include <chrono>
#include <exception>
#include <new>
#include <string>
#include <system_error>

namespace kestrel {

void WorkerDone::wait() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return ended_.load(); });
}

void WorkerDone::markEnded() {
  std::lock_guard lock(mutex_);
  ended_ = true;
  cv_.notify_all();
}

WorkerGroup::~WorkerGroup() {
  std::list<Entry> entries;
  {
    std::lock_guard lock(mutex_);
    entries.swap(entries_);
  }
  // A worker that still runs would use freed state; waiting for it is the lesser evil.
  for (auto& e : entries) e.thread.join();
}

std::shared_ptr<WorkerDone> WorkerGroup::start(std::string_view name, std::function<void()> body) {
  std::lock_guard lock(mutex_);
  reapEnded();
  if (fault_ && fault_(name)) return nullptr;
  std::shared_ptr<WorkerDone> done;
  try {
    done = std::make_shared<WorkerDone>();
    // The entry first: once the thread runs, nothing here may fail and leave it unjoinable.
    entries_.push_back(Entry{std::thread(), done});
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  running_.fetch_add(1);
  try {
    entries_.back().thread =
        std::thread([this, done, name = std::string(name), body = std::move(body)] {
          try {
            body();
          } catch (const std::bad_alloc&) {
            if (onFailure_) onFailure_(name, true);
          } catch (...) {
            if (onFailure_) onFailure_(name, false);
          }
          // The last touch of the group: once a holder of mutex_ sees the worker ended, this
          // thread uses nothing of the group any more and may be joined.
          std::lock_guard inner(mutex_);
          done->markEnded();
          running_.fetch_sub(1);
          cv_.notify_all();
        });
  } catch (const std::exception&) {
    // std::system_error when no thread can be had, std::bad_alloc for its start-up state.
    entries_.pop_back();
    running_.fetch_sub(1);
    return nullptr;
  }
  return done;
}

bool WorkerGroup::waitAll(uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  bool idle = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return running_.load() == 0; });
  if (idle) reapEnded();
  return idle;
}

void WorkerGroup::setStartFault(std::function<bool(std::string_view)> fault) {
  std::lock_guard lock(mutex_);
  fault_ = std::move(fault);
}

void WorkerGroup::reapEnded() {
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->done->ended()) {
      it->thread.join();
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace kestrel
