#include "crash-capture/AsyncFrameCache.h"

#include <sys/mman.h>

#include <cstring>

namespace {

// Static TLS: reaching it in a signal handler takes no lock and no memory.
thread_local rocrash_async_frame_cache* tCache __attribute__((tls_model("initial-exec"))) = nullptr;

}  // namespace

rocrash_async_frame_cache* rocrash_async_frame_cache_create() noexcept {
  void* memory = mmap(nullptr, sizeof(rocrash_async_frame_cache), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  // Touched now, so that the first crash does not take page faults in it.
  std::memset(memory, 0, sizeof(rocrash_async_frame_cache));
  return static_cast<rocrash_async_frame_cache*>(memory);
}

void rocrash_async_frame_cache_destroy(rocrash_async_frame_cache* cache) noexcept {
  if (cache != nullptr) munmap(cache, sizeof *cache);
}

void rocrash_async_frame_cache_begin(rocrash_async_frame_cache* cache) noexcept {
  if (cache == nullptr) return;
  for (auto& entry : cache->entries) entry.used = false;
  cache->loading_count = 0;
  cache->previous = tCache;
  tCache = cache;
}

void rocrash_async_frame_cache_end(rocrash_async_frame_cache* cache) noexcept {
  if (cache == nullptr || tCache != cache) return;
  tCache = cache->previous;
  cache->previous = nullptr;
}

namespace rocrash::async {

rocrash_async_frame_cache_entry* frame_cache_entry(uint64_t pc, bool* filled) noexcept {
  rocrash_async_frame_cache* cache = tCache;
  if (cache == nullptr) return nullptr;
  // Code addresses spread over the low bits after a multiplicative hash.
  const uint64_t slot = (pc * 0x9E3779B97F4A7C15ULL) >> 56;
  static_assert(ROCRASH_ASYNC_FRAME_CACHE_ENTRIES == 256, "the hash keeps eight bits");
  rocrash_async_frame_cache_entry* entry = &cache->entries[slot];
  *filled = entry->used && entry->pc == pc;
  return entry;
}

rocrash_async_macho* frame_cache_loading_image(sys::task_t task, uint64_t address) noexcept {
  rocrash_async_frame_cache* cache = tCache;
  if (cache == nullptr) return nullptr;
  for (size_t i = 0; i < cache->loading_count; ++i) {
    rocrash_async_macho* image = &cache->loading[i].record;
    if (rocrash_async_macho_contains_address(image, address)) return image;
  }
  if (cache->loading_count == ROCRASH_ASYNC_FRAME_CACHE_LOADING_IMAGES) return nullptr;
  rocrash_async_frame_cache_loading_image& slot = cache->loading[cache->loading_count];
  if (!rocrash_async_macho_init_loading(&slot.record, &slot.elf, task, address)) return nullptr;
  // An address past the text span is not the image's, as for listed ones.
  if (!rocrash_async_macho_contains_address(&slot.record, address)) return nullptr;
  cache->loading_count++;
  return &slot.record;
}

}  // namespace rocrash::async
