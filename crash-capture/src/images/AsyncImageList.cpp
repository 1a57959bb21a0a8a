#include "AsyncImageList.h"

#include <stdlib.h>

#include <cinttypes>
#include <cstdio>
#include <new>

#include "log/ROCrashLog.h"
#include "system/ImageEvents.h"

void rocrash_async_image_list_init(rocrash_async_image_list* list, sys::task_t task) noexcept {
  list->task = task;
  list->shared = new (std::nothrow) rocrash_async_image_list_state();
}

void rocrash_async_image_list_append(rocrash_async_image_list* list, rocrash_vm_address_t header,
                                     const char* name) noexcept {
  auto* image = static_cast<rocrash_async_macho*>(calloc(1, sizeof(rocrash_async_macho)));
  if (image == nullptr) return;
  if (rocrash_async_macho_init(image, list->task, name, header) != ROCRASH_ERR_NONE) {
    free(image);
    return;
  }
  rocrash_async_image_list_state* s = list->shared;
  std::lock_guard<std::mutex> guard(s->lock);
  rocrash_async_image_list_entry* entry = s->free;
  if (entry != nullptr) {
    s->free = entry->next.load(std::memory_order_relaxed);
    if (s->free != nullptr) s->free->prev = nullptr;
  } else {
    entry = new (std::nothrow) rocrash_async_image_list_entry();
    if (entry == nullptr) {
      rocrash_async_macho_free(image);
      free(image);
      return;
    }
  }
  entry->value.store(image, std::memory_order_release);
  entry->prev = nullptr;
  entry->next.store(nullptr, std::memory_order_release);
  // Publish the entry only once it is complete: the sequentially consistent
  // exchanges below order every store above before the entry is reachable.
  if (s->tail != nullptr) {
    rocrash_async_image_list_entry* expected = nullptr;
    s->tail->next.compare_exchange_strong(expected, entry, std::memory_order_seq_cst);
    entry->prev = s->tail;
    s->tail = entry;
  } else {
    s->tail = entry;
    rocrash_async_image_list_entry* expected = nullptr;
    s->head.compare_exchange_strong(expected, entry, std::memory_order_seq_cst);
  }
}

namespace {

// Frees the records of removed images once no walk is in progress: a walk
// that begins later starts from the head, from which they are no longer
// reachable (the unlinking and the check of the walk count are sequentially
// consistent, as is a walk's raising of the count before its first load).
// Under the writers' lock.
// Spare entries still name the records of their removed images: they are
// cleared first, so that a walk that later strays into the spare list (from
// an entry unlinked under it) ends there.
void releaseRetired(rocrash_async_image_list_state* s) {
  if (s->retired.empty() || s->refcount.load(std::memory_order_seq_cst) != 0) return;
  for (rocrash_async_image_list_entry* e = s->free; e != nullptr;
       e = e->next.load(std::memory_order_relaxed)) {
    e->value.store(nullptr, std::memory_order_relaxed);
  }
  for (rocrash_async_macho* image : s->retired) {
    rocrash_async_macho_free(image);
    free(image);
  }
  s->retired.clear();
}

}  // namespace

void rocrash_async_image_list_remove(rocrash_async_image_list* list,
                                     rocrash_vm_address_t header) noexcept {
  rocrash_async_image_list_state* s = list->shared;
  // The search counts as a walk, so what it unlinks always goes to the spare
  // list and stays valid for walks already past it.
  rocrash_async_image_list_set_reading(list, true);
  {
    std::lock_guard<std::mutex> guard(s->lock);
    rocrash_async_image_list_entry* entry = s->head.load(std::memory_order_acquire);
    while (entry != nullptr &&
           entry->value.load(std::memory_order_relaxed)->header_addr != header) {
      entry = entry->next.load(std::memory_order_acquire);
    }
    if (entry != nullptr) {
      rocrash_async_image_list_entry* next = entry->next.load(std::memory_order_acquire);
      rocrash_async_image_list_entry* expected = entry;
      if (entry == s->head.load(std::memory_order_acquire)) {
        s->head.compare_exchange_strong(expected, next, std::memory_order_seq_cst);
      } else {
        entry->prev->next.compare_exchange_strong(expected, next, std::memory_order_seq_cst);
      }
      try {
        s->retired.push_back(entry->value.load(std::memory_order_relaxed));
      } catch (...) {
        // Without room to keep it, the record stays allocated for good.
      }
      if (next != nullptr) {
        next->prev = entry->prev;
      } else {
        s->tail = entry->prev;
      }
      if (s->refcount.load(std::memory_order_acquire) > 0) {
        entry->prev = nullptr;
        entry->next.store(s->free, std::memory_order_release);
        if (s->free != nullptr) s->free->prev = entry;
        s->free = entry;
      } else {
        delete entry;
      }
    }
  }
  rocrash_async_image_list_set_reading(list, false);
  std::lock_guard<std::mutex> guard(s->lock);
  releaseRetired(s);
}

void rocrash_async_image_list_set_reading(rocrash_async_image_list* list, bool reading) noexcept {
  list->shared->refcount.fetch_add(reading ? 1 : -1, std::memory_order_seq_cst);
}

rocrash_async_macho* rocrash_async_image_list_next(rocrash_async_image_list* list,
                                                   rocrash_async_macho* current) noexcept {
  rocrash_async_image_list_entry* next =
      current == nullptr ? list->shared->head.load(std::memory_order_seq_cst)
                         : current->list_entry->next.load(std::memory_order_acquire);
  if (next == nullptr) return nullptr;
  rocrash_async_macho* image = next->value.load(std::memory_order_acquire);
  if (image == nullptr) return nullptr;  // a spare entry whose record is gone
  image->list_entry = next;
  return image;
}

rocrash_async_macho* rocrash_async_image_containing_address(rocrash_async_image_list* list,
                                                            rocrash_vm_address_t address) noexcept {
  for (rocrash_async_macho* image = rocrash_async_image_list_next(list, nullptr); image != nullptr;
       image = rocrash_async_image_list_next(list, image)) {
    if (rocrash_async_macho_contains_address(image, address)) return image;
  }
  return nullptr;
}

void rocrash_async_image_list_free(rocrash_async_image_list* list) noexcept {
  rocrash_async_image_list_state* s = list->shared;
  if (s == nullptr) return;
  rocrash_async_image_list_set_reading(list, true);
  for (rocrash_async_macho* image = rocrash_async_image_list_next(list, nullptr);
       image != nullptr;) {
    rocrash_async_macho* next = rocrash_async_image_list_next(list, image);
    rocrash_async_macho_free(image);
    free(image);
    image = next;
  }
  rocrash_async_image_list_set_reading(list, false);
  for (rocrash_async_macho* image : s->retired) {
    rocrash_async_macho_free(image);
    free(image);
  }
  for (auto* e = s->head.load(); e != nullptr;) {
    auto* next = e->next.load();
    delete e;
    e = next;
  }
  for (auto* e = s->free; e != nullptr;) {
    auto* next = e->next.load();
    delete e;
    e = next;
  }
  delete s;
  list->shared = nullptr;
}

namespace {

rocrash_async_image_list* gNotifiedList = nullptr;

void imageAdded(uint64_t header, int64_t) {
  sys::DlInfo info;
  if (!sys::dladdr(header, &info)) {
    char line[128];
    std::snprintf(line, sizeof line, "[ROReradUzerirud] %s: dladdr(%p, ...) failed",
                  "image_add_callback", reinterpret_cast<void*>(header));
    ROCrashLog(line);
    return;
  }
  rocrash_async_image_list_append(gNotifiedList, header, info.dli_fname);
}

void imageRemoved(uint64_t header, int64_t) {
  rocrash_async_image_list_remove(gNotifiedList, header);
}

}  // namespace

void rocrash_async_image_list_register_notifications(rocrash_async_image_list* list) noexcept {
  gNotifiedList = list;
  sys::register_func_for_add_image(imageAdded);
  sys::register_func_for_remove_image(imageRemoved);
}
