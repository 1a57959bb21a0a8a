#pragma once

#include <cstddef>
#include <cstdint>

#include "images/AsyncMachO.h"
#include "unwind/AsyncDwarfCFA.h"

struct rocrash_async_image_list;

// What a crash write has found in the images' call-frame information, by pc:
// the image, and the FDE and CIE that describe the pc. The threads of a
// process mostly wait in the same few functions, and every step of a walk
// also asks whether the frame below was a signal trampoline: with this, each
// pc is looked up and parsed once per write. The image list and the memory
// do not change under a write (every other thread is parked), and the write
// holds the list as read throughout, so a record found stays valid even if
// its image is removed meanwhile.
//
// Like the read cache (AsyncReadCache.h) it is made on an ordinary thread
// and used only between `begin` and `end` on the thread that writes, which
// find it through one thread-local pointer; elsewhere every lookup is made
// afresh. Begin, end and lookups are async-signal-safe and allocate nothing.

inline constexpr size_t ROCRASH_ASYNC_FRAME_CACHE_ENTRIES = 256;

// What the lookup of a pc found.
// (Left unformatted: clang-format 14 breaks an attribute before an underlying type.)
// clang-format off
enum [[nodiscard]] rocrash_async_frame_cache_status : uint32_t {
  ROCRASH_ASYNC_FRAME_ENTRIES_NO_IMAGE = 0,    // no listed image holds the pc
  ROCRASH_ASYNC_FRAME_ENTRIES_NO_SECTION = 1,  // its image has no readable frame section
  ROCRASH_ASYNC_FRAME_ENTRIES_NOT_FOUND = 2,   // no FDE covers it, or its CIE is unreadable
  ROCRASH_ASYNC_FRAME_ENTRIES_FOUND = 3,
};
// clang-format on

struct rocrash_async_frame_cache_entry {
  uint64_t pc;  // the pc looked up; with `used` unset the entry is empty
  bool used;
  uint32_t status;
  rocrash_async_macho* image;
  rocrash::async::rocrash_async_dwarf_fde_info fde;
  rocrash::async::rocrash_async_dwarf_cie_info cie;
};

// Objects the loader has that no image notice has listed (loaded past the
// program's dlopen, or a library whose constructors crash inside the dlopen
// that lists it): their records are made at crash time and kept here for the
// rest of the write, with their paths copied into `names`.
inline constexpr size_t ROCRASH_ASYNC_FRAME_CACHE_UNLISTED_IMAGES = 32;
inline constexpr size_t ROCRASH_ASYNC_FRAME_CACHE_NAME_ROOM = 8192;

struct rocrash_async_frame_cache_unlisted_image {
  rocrash_async_macho record;
  sys::ElfImage elf;
};

struct rocrash_async_frame_cache {
  rocrash_async_frame_cache* previous;  // the thread's cache before `begin`
  rocrash_async_frame_cache_entry entries[ROCRASH_ASYNC_FRAME_CACHE_ENTRIES];
  size_t unlisted_count;
  size_t unlisted_reported;  // how many the report lists; SIZE_MAX until first asked
  rocrash_async_frame_cache_unlisted_image unlisted[ROCRASH_ASYNC_FRAME_CACHE_UNLISTED_IMAGES];
  size_t names_used;
  char names[ROCRASH_ASYNC_FRAME_CACHE_NAME_ROOM];
};

// Makes an empty cache; null when there is no memory. Ordinary threads only.
rocrash_async_frame_cache* rocrash_async_frame_cache_create() noexcept;
void rocrash_async_frame_cache_destroy(rocrash_async_frame_cache* cache) noexcept;

// Empties `cache` and makes it the calling thread's cache until
// `rocrash_async_frame_cache_end`, which gives the thread back the cache it had
// before. A null cache does nothing.
void rocrash_async_frame_cache_begin(rocrash_async_frame_cache* cache) noexcept;
void rocrash_async_frame_cache_end(rocrash_async_frame_cache* cache) noexcept;

namespace rocrash::async {

// `begin` and `end` as a scope: `cache` is the calling thread's cache while
// the guard lives.
class FrameCacheScope {
 public:
  explicit FrameCacheScope(rocrash_async_frame_cache* cache) noexcept : cache_(cache) {
    rocrash_async_frame_cache_begin(cache_);
  }
  ~FrameCacheScope() { rocrash_async_frame_cache_end(cache_); }
  FrameCacheScope(const FrameCacheScope&) = delete;
  FrameCacheScope& operator=(const FrameCacheScope&) = delete;

 private:
  rocrash_async_frame_cache* cache_;
};

// The calling thread's entry for `pc`: the one filled for it (`*filled`
// true), or an entry to fill, which then replaces what it held. Null when the
// thread has no cache.
rocrash_async_frame_cache_entry* frame_cache_entry(uint64_t pc, bool* filled) noexcept;

// Makes the records of every object on the loader's own lists
// (sys::loader_objects_visit) that no image of `list` is, as far as there is
// room: a write begins with it. The caller has marked the list as being read.
void frame_cache_add_unlisted_images(sys::task_t task, rocrash_async_image_list* list) noexcept;

// The record of the object holding `address` that the loader has and no
// notice has listed (rocrash_async_macho_init_from_loader), made once per
// write in the calling thread's cache. Null without a cache, without such an
// object, or once the cache's room for them is taken.
rocrash_async_macho* frame_cache_unlisted_image(sys::task_t task, uint64_t address) noexcept;

// The image that holds `address` in a write: the first listed image whose
// text span covers it; else, while the calling thread has a cache, the
// record of an object the loader has that no notice has listed (code loaded
// past the program's dlopen, or a library whose constructors run now, inside
// the dlopen that lists it when it returns: frame_cache_unlisted_image);
// else null. The caller has marked the list as being read.
rocrash_async_macho* image_containing_address(rocrash_async_image_list* list,
                                              uint64_t address) noexcept;

// The `index`th record of this write (in the order they were made) that the
// report lists, after the image list's: those made before the write first
// asked, so that every pass over the report (measuring, then writing) lists
// the same. Null past the last one, or without a cache.
rocrash_async_macho* frame_cache_unlisted_image_at(size_t index) noexcept;

}  // namespace rocrash::async
