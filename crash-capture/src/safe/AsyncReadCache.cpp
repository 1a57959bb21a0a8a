#include "AsyncReadCache.h"

#include <sys/mman.h>

#include <cstring>

namespace {

// Static TLS: reaching it in a signal handler takes no lock and no memory.
thread_local rocrash_async_read_cache* tCache __attribute__((tls_model("initial-exec"))) = nullptr;

constexpr uint64_t kPage = ROCRASH_ASYNC_READ_CACHE_PAGE_SIZE;

// The cache of a write that reads `task`. The process's own memory goes by
// every name it had, its parents' too in a forked child (see Task.h).
rocrash_async_read_cache* cacheFor(sys::task_t task) {
  rocrash_async_read_cache* cache = tCache;
  if (cache == nullptr) return nullptr;
  if (cache->task == task) return cache;
  return sys::task_is_self(task) && sys::task_is_self(cache->task) ? cache : nullptr;
}

// The copy of the page at `page` (aligned), read now when it is not held
// yet; null with `*error` when it cannot be read.
const uint8_t* pageOf(rocrash_async_read_cache* cache, uint64_t page, rocrash_error_t* error) {
  if (cache->page_address[cache->last_page] == page) return cache->pages[cache->last_page];
  for (uint32_t i = 0; i < ROCRASH_ASYNC_READ_CACHE_PAGES; ++i) {
    if (cache->page_address[i] == page) {
      cache->last_page = i;
      return cache->pages[i];
    }
  }
  const uint32_t slot = cache->next_page;
  cache->page_address[slot] = 0;
  sys::kern_return_t kr =
      sys::mach_vm_read_overwrite(cache->task, page, kPage, cache->pages[slot], nullptr);
  if (kr != sys::KERN_SUCCESS) {
    *error = rocrash_async_task_read_error(kr);
    return nullptr;
  }
  cache->page_address[slot] = page;
  cache->next_page = (slot + 1) % ROCRASH_ASYNC_READ_CACHE_PAGES;
  cache->last_page = slot;
  return cache->pages[slot];
}

}  // namespace

rocrash_async_read_cache* rocrash_async_read_cache_create() noexcept {
  void* memory = mmap(nullptr, sizeof(rocrash_async_read_cache), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  // Touched now, so that the first crash does not take page faults in it.
  std::memset(memory, 0, sizeof(rocrash_async_read_cache));
  return static_cast<rocrash_async_read_cache*>(memory);
}

void rocrash_async_read_cache_destroy(rocrash_async_read_cache* cache) noexcept {
  if (cache != nullptr) munmap(cache, sizeof *cache);
}

void rocrash_async_read_cache_begin(rocrash_async_read_cache* cache, sys::task_t task) noexcept {
  if (cache == nullptr) return;
  cache->task = task;
  cache->next_page = 0;
  cache->last_page = 0;
  cache->next_range = 0;
  rocrash_async_memset(cache->page_address, 0, sizeof cache->page_address);
  rocrash_async_memset(cache->readable, 0, sizeof cache->readable);
  cache->previous = tCache;
  tCache = cache;
}

void rocrash_async_read_cache_end(rocrash_async_read_cache* cache) noexcept {
  if (cache == nullptr || tCache != cache) return;
  tCache = cache->previous;
  cache->previous = nullptr;
}

namespace rocrash::async {

bool read_cache_read(sys::task_t task, rocrash_vm_address_t address, void* destination,
                     rocrash_vm_size_t length, rocrash_error_t* result) noexcept {
  rocrash_async_read_cache* cache = cacheFor(task);
  // The first page is never readable; an empty slot's address is 0.
  if (cache == nullptr || length == 0 || address < kPage) return false;
  rocrash_vm_address_t last;
  if (__builtin_add_overflow(address, length - 1, &last)) return false;
  auto* out = static_cast<uint8_t*>(destination);
  // Page by page in order, so that a read that fails fails at its first bad
  // page, as the kernel's copy does.
  for (rocrash_vm_address_t at = address; at <= last;) {
    const uint64_t page = at & ~(kPage - 1);
    const uint8_t* copy = pageOf(cache, page, result);
    if (copy == nullptr) return true;
    const uint64_t offset = at - page;
    const uint64_t n = kPage - offset < last - at + 1 ? kPage - offset : last - at + 1;
    rocrash_async_memcpy(out, copy + offset, n);
    out += n;
    if (at + n < at) break;  // the top of the address space
    at += n;
  }
  *result = ROCRASH_ERR_NONE;
  return true;
}

bool read_cache_known_readable(sys::task_t task, rocrash_vm_address_t start,
                               rocrash_vm_size_t length) noexcept {
  rocrash_async_read_cache* cache = cacheFor(task);
  if (cache == nullptr) return false;
  for (const auto& range : cache->readable) {
    if (range.end != 0 && range.start <= start && start <= range.end &&
        length <= range.end - start) {
      return true;
    }
  }
  return false;
}

void read_cache_remember_readable(sys::task_t task, rocrash_vm_address_t start,
                                  rocrash_vm_size_t length) noexcept {
  rocrash_async_read_cache* cache = cacheFor(task);
  rocrash_vm_address_t end;
  if (cache == nullptr || length == 0 || __builtin_add_overflow(start, length, &end)) return;
  cache->readable[cache->next_range] = {start, end};
  cache->next_range = (cache->next_range + 1) % ROCRASH_ASYNC_READ_CACHE_RANGES;
}

}  // namespace rocrash::async
