#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "AsyncMachO.h"

// The engine's own list of loaded images. Writers (image notices, on any
// thread) take a lock; readers (crash-time code) take none: they raise the
// reader count, follow head and next with acquiring loads and lower the count
// when done. Entries unlinked while a walk is in progress go to a spare list
// instead of being freed, and the record of a removed image (with the file
// mapping it may hold) is freed only once no walk is in progress, so a walk
// interrupted at any point only touches valid memory, and a program that
// loads and unloads libraries for ever holds the records of those loaded
// now.

struct rocrash_async_image_list_entry {
  // Atomic because a spare entry may be reused while a walk still stands on it.
  std::atomic<rocrash_async_macho*> value;
  rocrash_async_image_list_entry* prev;
  std::atomic<rocrash_async_image_list_entry*> next;
};

struct rocrash_async_image_list_state {
  // Writers only. A standard mutex: the list it orders is also walked
  // without it at crash time, which the lock check has no words for.
  std::mutex lock;
  std::atomic<rocrash_async_image_list_entry*> head{nullptr};
  rocrash_async_image_list_entry* tail = nullptr;
  std::atomic<int32_t> refcount{0};                // walks in progress
  rocrash_async_image_list_entry* free = nullptr;  // spare entries
  // Records of removed images that a walk may still hold: freed at a later
  // removal (or with the list) when no walk is in progress (writers only).
  std::vector<rocrash_async_macho*> retired;
};

struct rocrash_async_image_list {
  sys::task_t task;
  rocrash_async_image_list_state* shared;
};

// Sets up an empty list for `task` (allocates the shared state).
void rocrash_async_image_list_init(rocrash_async_image_list* list, sys::task_t task) noexcept;
// Reads the image at `header` and appends it; on any failure the list is
// unchanged. Allocates: not for crash time.
void rocrash_async_image_list_append(rocrash_async_image_list* list, rocrash_vm_address_t header,
                                     const char* name) noexcept;
// Unlinks the first image whose header address is `header`; its record is
// freed now, or at a later removal, once no walk is in progress.
void rocrash_async_image_list_remove(rocrash_async_image_list* list,
                                     rocrash_vm_address_t header) noexcept;
// Brackets every walk: true before, false after.
void rocrash_async_image_list_set_reading(rocrash_async_image_list* list, bool reading) noexcept;
// The image after `current` (the first one when `current` is null), or null.
rocrash_async_macho* rocrash_async_image_list_next(rocrash_async_image_list* list,
                                                   rocrash_async_macho* current) noexcept;
// The first image whose text span covers `address`, or null. (A crash write
// also finds objects no notice has listed: rocrash::async::image_containing_address,
// walk/AsyncFrameCache.h.) The caller has marked the list as being read.
rocrash_async_macho* rocrash_async_image_containing_address(rocrash_async_image_list* list,
                                                            rocrash_vm_address_t address) noexcept;
// Releases every record and entry, then the shared state.
void rocrash_async_image_list_free(rocrash_async_image_list* list) noexcept;

// Feeds `list` from the system's image notices: every image added from now on
// (and every one already loaded) is appended under the path the dladdr
// stand-in reports, every removed one removed. One list per process.
void rocrash_async_image_list_register_notifications(rocrash_async_image_list* list) noexcept;
