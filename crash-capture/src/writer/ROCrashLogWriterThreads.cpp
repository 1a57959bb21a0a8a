#include "ROCrashLogWriterThreads.h"

namespace rocrash::writer {

// The register state a thread is written from: `current` for the caller,
// else its saved state; null when there is none.
const rocrash_async_thread_state* stateOf(sys::thread_t thread, sys::thread_t self,
                                          const rocrash_async_thread_state* current,
                                          rocrash_async_thread_state* saved) {
  if (thread == self) return current;
  return rocrash_async_thread_state_mach_thread_init(saved, thread) == ROCRASH_ERR_NONE ? saved
                                                                                        : nullptr;
}

// Lists the task's threads into `threads` (room for `capacity`), making sure
// that `crashed` and, when it is written, `self` are among them: with more
// threads than room, they take the places of the last ones listed.
uint32_t listThreads(sys::task_t task, sys::thread_t* threads, uint32_t capacity,
                     sys::thread_t crashed, sys::thread_t self, bool withSelf) {
  uint32_t count = 0;
  if (sys::task_threads(task, threads, capacity, &count) != sys::KERN_SUCCESS) count = 0;
  const sys::thread_t needed[] = {crashed, withSelf ? self : 0};
  uint32_t keep = count;  // entries from this index on hold needed threads
  for (sys::thread_t thread : needed) {
    if (thread <= 0) continue;
    bool listed = false;
    for (uint32_t i = 0; i < count; ++i) listed = listed || threads[i] == thread;
    if (listed) continue;
    if (count < capacity) {
      threads[count++] = thread;
    } else if (keep > 0) {
      threads[--keep] = thread;
    }
  }
  return count;
}

}  // namespace rocrash::writer
