#pragma once

#include <cstdint>

#include "ROCrashLogWriter.h"

// The threads a write lists and stops, and the register state each is
// written from. Async-signal-safe.
namespace rocrash::writer {

// A thread list for writers whose room could not be reserved.
constexpr uint32_t kFallbackThreads = 64;

// The register state a thread is written from: `current` for the caller,
// else its saved state; null when there is none.
const rocrash_async_thread_state* stateOf(sys::thread_t thread, sys::thread_t self,
                                          const rocrash_async_thread_state* current,
                                          rocrash_async_thread_state* saved);

// Lists the task's threads into `threads` (room for `capacity`), making sure
// that `crashed` and, when it is written, `self` are among them: with more
// threads than room, they take the places of the last ones listed.
uint32_t listThreads(sys::task_t task, sys::thread_t* threads, uint32_t capacity,
                     sys::thread_t crashed, sys::thread_t self, bool withSelf);

// Where a write lists the task's threads: the room reserved at set-up, or,
// when that could not be had, room on the stack for fewer threads.
struct ThreadRoom {
  explicit ThreadRoom(rocrash_log_writer* writer) noexcept {
    const auto& storage = writer->thread_storage;
    if (storage.threads == nullptr) return;
    threads = storage.threads;
    suspended = storage.suspended;
    sizes = storage.sizes;
    depthSizes = storage.depth_sizes;
    capacity = storage.capacity;
  }
  ThreadRoom(const ThreadRoom&) = delete;
  ThreadRoom& operator=(const ThreadRoom&) = delete;

  sys::thread_t fallbackThreads[kFallbackThreads];
  bool fallbackSuspended[kFallbackThreads];
  uint32_t fallbackSizes[kFallbackThreads];
  uint64_t fallbackDepthSizes[ROCRASH_LOG_WRITER_MAX_FRAMES];
  sys::thread_t* threads = fallbackThreads;
  bool* suspended = fallbackSuspended;
  uint32_t* sizes = fallbackSizes;  // each thread's section content, by index in `threads`
  uint64_t* depthSizes = fallbackDepthSizes;  // ROCRASH_LOG_WRITER_MAX_FRAMES entries
  uint32_t capacity = kFallbackThreads;
};

// Every thread of the list but the caller stopped for as long as the guard
// lives, so that their stacks hold still; it lets go of those it stopped.
class ThreadsStopped {
 public:
  ThreadsStopped(const sys::thread_t* threads, uint32_t count, bool* suspended) noexcept
      : threads_(threads), count_(count), suspended_(suspended) {
    sys::thread_suspend_all(threads_, count_, suspended_);
  }
  ~ThreadsStopped() {
    for (uint32_t i = 0; i < count_; ++i) {
      // A thread no longer parked has nothing to be let go from.
      if (suspended_[i]) (void)sys::thread_resume(threads_[i]);
    }
  }
  ThreadsStopped(const ThreadsStopped&) = delete;
  ThreadsStopped& operator=(const ThreadsStopped&) = delete;

 private:
  const sys::thread_t* threads_;
  uint32_t count_;
  bool* suspended_;
};

}  // namespace rocrash::writer
