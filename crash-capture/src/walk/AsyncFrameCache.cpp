#include "AsyncFrameCache.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "images/AsyncImageList.h"
#include "safe/AsyncSafe.h"
#include "system/ImageEvents.h"

namespace {

// Static TLS: reaching it in a signal handler takes no lock and no memory.
thread_local rocrash_async_frame_cache* tCache __attribute__((tls_model("initial-exec"))) = nullptr;

// Copies the path at `address` (in the loader's memory) into the cache's
// room for names, through checked reads that stop at page ends: null when it
// cannot be read whole or does not fit.
char* copyName(rocrash_async_frame_cache* cache, sys::task_t task, uint64_t address) {
  if (address == 0) return nullptr;
  char* const name = cache->names + cache->names_used;
  const size_t room = sizeof cache->names - cache->names_used;
  const uint64_t page = sys::vm_page_size();
  for (size_t copied = 0; copied < room;) {
    const uint64_t at = address + copied;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(room - copied, page - at % page));
    if (rocrash_async_task_read(task, at, 0, name + copied, n) != ROCRASH_ERR_NONE) return nullptr;
    for (const size_t end = copied + n; copied < end; ++copied) {
      if (name[copied] == '\0') {
        cache->names_used += copied + 1;
        return name;
      }
    }
  }
  return nullptr;
}

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
  cache->unlisted_count = 0;
  cache->unlisted_reported = SIZE_MAX;
  cache->names_used = 0;
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

namespace {

struct UnlistedSearch {
  rocrash_async_frame_cache* cache;
  sys::task_t task;
  rocrash_async_image_list* list;
};

// Whether `image` is the ELF object the loader has `object` for.
bool isObject(const rocrash_async_macho& image, const sys::LoaderObject& object) {
  return image.elf != nullptr && image.elf->slide == object.slide &&
         image.header_addr <= object.dynamic && object.dynamic < image.elf->mappedEnd;
}

bool addUnlisted(const sys::LoaderObject& object, void* context) {
  auto* search = static_cast<UnlistedSearch*>(context);
  rocrash_async_frame_cache* cache = search->cache;
  for (rocrash_async_macho* image = rocrash_async_image_list_next(search->list, nullptr);
       image != nullptr; image = rocrash_async_image_list_next(search->list, image)) {
    if (isObject(*image, object)) return true;
  }
  // A namespace's own entry for an object of another one (the loader's) is
  // the same object.
  for (size_t i = 0; i < cache->unlisted_count; ++i) {
    if (isObject(cache->unlisted[i].record, object)) return true;
  }
  if (cache->unlisted_count == ROCRASH_ASYNC_FRAME_CACHE_UNLISTED_IMAGES) return false;
  rocrash_async_frame_cache_unlisted_image& slot = cache->unlisted[cache->unlisted_count];
  uint64_t path = 0;
  if (!rocrash_async_macho_init_from_loader(&slot.record, &slot.elf, search->task, object.dynamic,
                                            &path) ||
      !isObject(slot.record, object)) {
    return true;
  }
  if (char* name = copyName(cache, search->task, object.path)) slot.record.name = name;
  cache->unlisted_count++;
  return true;
}

}  // namespace

void frame_cache_add_unlisted_images(sys::task_t task, rocrash_async_image_list* list) noexcept {
  rocrash_async_frame_cache* cache = tCache;
  if (cache == nullptr || list == nullptr) return;
  UnlistedSearch search = {cache, task, list};
  sys::loader_objects_visit(addUnlisted, &search);
}

rocrash_async_macho* frame_cache_unlisted_image(sys::task_t task, uint64_t address) noexcept {
  rocrash_async_frame_cache* cache = tCache;
  if (cache == nullptr) return nullptr;
  for (size_t i = 0; i < cache->unlisted_count; ++i) {
    rocrash_async_macho* image = &cache->unlisted[i].record;
    if (rocrash_async_macho_contains_address(image, address)) return image;
  }
  if (cache->unlisted_count == ROCRASH_ASYNC_FRAME_CACHE_UNLISTED_IMAGES) return nullptr;
  rocrash_async_frame_cache_unlisted_image& slot = cache->unlisted[cache->unlisted_count];
  uint64_t path = 0;
  if (!rocrash_async_macho_init_from_loader(&slot.record, &slot.elf, task, address, &path)) {
    return nullptr;
  }
  // An address past the text span is not the image's, as for listed ones.
  if (!rocrash_async_macho_contains_address(&slot.record, address)) return nullptr;
  if (char* name = copyName(cache, task, path)) slot.record.name = name;
  cache->unlisted_count++;
  return &slot.record;
}

rocrash_async_macho* image_containing_address(rocrash_async_image_list* list,
                                              uint64_t address) noexcept {
  if (rocrash_async_macho* image = rocrash_async_image_containing_address(list, address)) {
    return image;
  }
  return frame_cache_unlisted_image(list->task, address);
}

rocrash_async_macho* frame_cache_unlisted_image_at(size_t index) noexcept {
  rocrash_async_frame_cache* cache = tCache;
  if (cache == nullptr) return nullptr;
  if (cache->unlisted_reported == SIZE_MAX) cache->unlisted_reported = cache->unlisted_count;
  if (index >= cache->unlisted_reported) return nullptr;
  return &cache->unlisted[index].record;
}

}  // namespace rocrash::async
