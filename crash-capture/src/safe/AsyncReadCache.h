#pragma once

#include <cstddef>
#include <cstdint>

#include "AsyncSafe.h"

// What a crash write has already read of the own task, so that it asks the
// kernel once per piece of memory however often the walk comes back to it:
// the pages that task reads copied (a thread's stack is read page by page,
// each page with one call, not value by value), and the ranges memory
// objects found readable (a section mapped for every frame is checked once).
// Memory does not change under a write: every other thread is parked.
//
// A cache is made on an ordinary thread, with all its room, and used only
// between `begin` and `end` on the thread that writes; task reads and
// memory objects of that thread consult it (it is found through one
// thread-local pointer, set up before any crash). Outside that span, and on
// every other thread, reads go to the kernel as before. Begin, end and every
// lookup are async-signal-safe and allocate nothing.

// Pages held at most, and readable ranges remembered at most.
inline constexpr size_t ROCRASH_ASYNC_READ_CACHE_PAGES = 64;
inline constexpr size_t ROCRASH_ASYNC_READ_CACHE_RANGES = 32;
// The unit of caching: a page of this machine or a part of one, so that it is
// readable whole or not at all.
inline constexpr size_t ROCRASH_ASYNC_READ_CACHE_PAGE_SIZE = 4096;

struct rocrash_async_read_cache {
  sys::task_t task;
  rocrash_async_read_cache* previous;  // the thread's cache before `begin`
  uint32_t next_page;                  // the slot the next miss replaces
  uint32_t last_page;                  // the slot of the last hit
  uint32_t next_range;
  uint64_t page_address[ROCRASH_ASYNC_READ_CACHE_PAGES];  // 0: empty slot
  struct {
    uint64_t start;
    uint64_t end;
  } readable[ROCRASH_ASYNC_READ_CACHE_RANGES];  // end 0: empty
  uint8_t pages[ROCRASH_ASYNC_READ_CACHE_PAGES][ROCRASH_ASYNC_READ_CACHE_PAGE_SIZE];
};

// Makes an empty cache (about a quarter of a MiB); null when there is no
// memory. Ordinary threads only.
rocrash_async_read_cache* rocrash_async_read_cache_create() noexcept;
void rocrash_async_read_cache_destroy(rocrash_async_read_cache* cache) noexcept;

// Empties `cache` and makes it the calling thread's cache for reads of `task`
// until `rocrash_async_read_cache_end`, which gives the thread back the cache
// it had before (begin and end nest). A null cache does nothing.
void rocrash_async_read_cache_begin(rocrash_async_read_cache* cache, sys::task_t task) noexcept;
void rocrash_async_read_cache_end(rocrash_async_read_cache* cache) noexcept;

namespace rocrash::async {

// `begin` and `end` as a scope: `cache` is the calling thread's cache for
// reads of `task` while the guard lives.
class ReadCacheScope {
 public:
  ReadCacheScope(rocrash_async_read_cache* cache, sys::task_t task) noexcept : cache_(cache) {
    rocrash_async_read_cache_begin(cache_, task);
  }
  ~ReadCacheScope() { rocrash_async_read_cache_end(cache_); }
  ReadCacheScope(const ReadCacheScope&) = delete;
  ReadCacheScope& operator=(const ReadCacheScope&) = delete;

 private:
  rocrash_async_read_cache* cache_;
};

// For the task reads: when the calling thread has a cache for `task`, reads
// [address, address + length) through it into `destination` with the result
// in `*result`, and is true; false when there is no cache to ask.
bool read_cache_read(sys::task_t task, rocrash_vm_address_t address, void* destination,
                     rocrash_vm_size_t length, rocrash_error_t* result) noexcept;

// For memory objects: whether the calling thread's cache for `task` knows
// [start, start + length) to be readable; and remembering that it is.
bool read_cache_known_readable(sys::task_t task, rocrash_vm_address_t start,
                               rocrash_vm_size_t length) noexcept;
void read_cache_remember_readable(sys::task_t task, rocrash_vm_address_t start,
                                  rocrash_vm_size_t length) noexcept;

}  // namespace rocrash::async
