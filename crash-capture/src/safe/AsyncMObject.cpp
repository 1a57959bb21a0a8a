#include "AsyncMObject.h"

#include <sys/mman.h>

#include <atomic>

#include "AsyncReadCache.h"

namespace {
#ifdef KX_TEST_SEAMS
std::atomic<bool> gCopyMode{false};
bool copyModeForAll() { return gCopyMode.load(std::memory_order_relaxed); }
#else
constexpr bool copyModeForAll() { return false; }
#endif
thread_local bool tCopyMode = false;
}  // namespace

#ifdef KX_TEST_SEAMS
void rocrash_async_mobject_set_copy_mode_for_testing(bool copy) noexcept {
  gCopyMode.store(copy, std::memory_order_relaxed);
}
#endif

bool rocrash_async_mobject_set_thread_copy_mode(bool copy) noexcept {
  const bool previous = tCopyMode;
  tCopyMode = copy;
  return previous;
}

rocrash_error_t rocrash_async_mobject_init(rocrash_async_mobject* mobj, sys::task_t task,
                                           rocrash_vm_address_t task_address,
                                           rocrash_vm_size_t length, bool require_full) noexcept {
  const rocrash_vm_size_t mask = sys::vm_page_mask();
  rocrash_vm_size_t page_offset = task_address & mask;
  rocrash_vm_address_t aligned = task_address - page_offset;
  rocrash_vm_address_t end;
  if (!rocrash_async_address_apply_offset(task_address, static_cast<int64_t>(length), &end) ||
      static_cast<int64_t>(length) < 0 || end + mask < end) {
    return ROCRASH_ERR_NOMEM;
  }
  // No reader needs a larger window. A damaged length must not send the
  // page-by-page readability check below over a huge readable mapping (a
  // sanitizer's shadow memory spans terabytes) while a crash report waits.
  if (length > ROCRASH_ASYNC_MOBJECT_MAX_WINDOW) {
    if (require_full) return ROCRASH_ERR_NOMEM;
    length = ROCRASH_ASYNC_MOBJECT_MAX_WINDOW;
    end = task_address + length;
  }
  rocrash_vm_size_t total = (end + mask - aligned) & ~mask;
  if (total == 0) return ROCRASH_ERR_NOMEM;

  rocrash_vm_size_t readable = total;
  if (!rocrash::async::read_cache_known_readable(task, aligned, total)) {
    readable = sys::task_readable_prefix(task, aligned, total);
    rocrash::async::read_cache_remember_readable(task, aligned, readable);
  }
  if (require_full ? readable < total : readable == 0) return ROCRASH_ERR_NOMEM;
  total = readable;

  uintptr_t base = aligned;
  bool copied = copyModeForAll() || tCopyMode || !sys::task_is_self(task);
  if (copied) {
    void* mapping =
        mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return ROCRASH_ERR_INTERNAL;
    if (rocrash_async_task_read(task, aligned, 0, mapping, total) != ROCRASH_ERR_NONE) {
      munmap(mapping, total);
      return ROCRASH_ERR_NOMEM;
    }
    mprotect(mapping, total, PROT_READ);
    base = reinterpret_cast<uintptr_t>(mapping);
  }
  mobj->task = task;
  mobj->task_address = task_address;
  mobj->address = base + page_offset;
  rocrash_vm_size_t usable = total > page_offset ? total - page_offset : 0;
  mobj->length = usable < length ? usable : length;
  mobj->vm_slide = static_cast<int64_t>(task_address - mobj->address);
  mobj->vm_address = base;
  mobj->vm_length = total;
  mobj->copied = copied;
  return ROCRASH_ERR_NONE;
}

void rocrash_async_mobject_free(rocrash_async_mobject* mobj) noexcept {
  if (mobj->copied && mobj->vm_length != 0) {
    munmap(reinterpret_cast<void*>(mobj->vm_address), mobj->vm_length);
  }
  mobj->vm_length = 0;
  mobj->length = 0;
}

rocrash_vm_address_t rocrash_async_mobject_base_address(
    const rocrash_async_mobject* mobj) noexcept {
  return mobj->task_address;
}

rocrash_vm_size_t rocrash_async_mobject_length(const rocrash_async_mobject* mobj) noexcept {
  return mobj->length;
}

sys::task_t rocrash_async_mobject_task(const rocrash_async_mobject* mobj) noexcept {
  return mobj->task;
}

bool rocrash_async_mobject_verify_local_pointer(const rocrash_async_mobject* mobj,
                                                uintptr_t pointer, int64_t offset,
                                                rocrash_vm_size_t length) noexcept {
  rocrash_vm_address_t start;
  if (!rocrash_async_address_apply_offset(pointer, offset, &start)) return false;
  rocrash_vm_address_t end;
  if (__builtin_add_overflow(start, length, &end)) return false;
  return start >= mobj->address && end <= mobj->address + mobj->length;
}

void* rocrash_async_mobject_remap_address(const rocrash_async_mobject* mobj,
                                          rocrash_vm_address_t address, int64_t offset,
                                          rocrash_vm_size_t length) noexcept {
  rocrash_vm_address_t target;
  if (!rocrash_async_address_apply_offset(address, offset, &target)) return nullptr;
  // Local = task - slide, done in unsigned arithmetic so it wraps like the
  // addresses themselves.
  uintptr_t local = target - static_cast<uint64_t>(mobj->vm_slide);
  if (!rocrash_async_mobject_verify_local_pointer(mobj, local, 0, length)) return nullptr;
  return reinterpret_cast<void*>(local);
}

namespace {
template <class T>
rocrash_error_t readValue(const rocrash_async_mobject* mobj, rocrash_vm_address_t address,
                          int64_t offset, T* result) {
  void* p = rocrash_async_mobject_remap_address(mobj, address, offset, sizeof(T));
  if (p == nullptr) return ROCRASH_ERR_INVAL;
  // A copy of a known small size: one load, never a call.
  __builtin_memcpy(result, p, sizeof(T));
  return ROCRASH_ERR_NONE;
}

template <class T>
rocrash_error_t readSwapped(const rocrash_async_mobject* mobj,
                            const rocrash_async_byteorder* byteorder, rocrash_vm_address_t address,
                            int64_t offset, T* result) {
  rocrash_error_t err = readValue(mobj, address, offset, result);
  if (err == ROCRASH_ERR_NONE) *result = rocrash_async_swap(byteorder, *result);
  return err;
}
}  // namespace

rocrash_error_t rocrash_async_mobject_read_uint8(const rocrash_async_mobject* mobj,
                                                 rocrash_vm_address_t address, int64_t offset,
                                                 uint8_t* result) noexcept {
  return readValue(mobj, address, offset, result);
}

rocrash_error_t rocrash_async_mobject_read_uint16(const rocrash_async_mobject* mobj,
                                                  const rocrash_async_byteorder* byteorder,
                                                  rocrash_vm_address_t address, int64_t offset,
                                                  uint16_t* result) noexcept {
  return readSwapped(mobj, byteorder, address, offset, result);
}

rocrash_error_t rocrash_async_mobject_read_uint32(const rocrash_async_mobject* mobj,
                                                  const rocrash_async_byteorder* byteorder,
                                                  rocrash_vm_address_t address, int64_t offset,
                                                  uint32_t* result) noexcept {
  return readSwapped(mobj, byteorder, address, offset, result);
}

rocrash_error_t rocrash_async_mobject_read_uint64(const rocrash_async_mobject* mobj,
                                                  const rocrash_async_byteorder* byteorder,
                                                  rocrash_vm_address_t address, int64_t offset,
                                                  uint64_t* result) noexcept {
  return readSwapped(mobj, byteorder, address, offset, result);
}
