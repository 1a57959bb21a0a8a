#pragma once

#include <cstdint>
#include <string>

// The loader's image notices, as the crash engine expects them: a callback
// per added and per removed image, with the image's header address. Loaded
// ELF objects of the program's namespace are found with dl_iterate_phdr at
// sync points, never at crash time: registration, explicit syncs, and, once
// a callback is registered, every return from the program's dlopen and
// dlclose (so a library is listed before the code that opened it runs it)
// and a watching thread that notices within about a tenth of a second what
// was loaded or unloaded past them. Images that the loader does not know
// (Mach-O files laid into memory by tests) are announced directly. Callbacks
// run on the thread that syncs, under the registry's lock. What a crash
// finds loaded that no sync has listed (a load past the program's dlopen, a
// library whose constructors run inside the dlopen that loads it, another
// namespace's objects) it reads from the loader's own lists with
// loader_objects_visit and elf_image_init_from_loader (ElfImage.h), without
// a lock.
namespace sys {

using ImageCallback = void (*)(uint64_t headerAddress, int64_t slide);

// Registers a callback for added images; it is called at once for every image
// known after a sync. Callbacks are never unregistered.
void register_func_for_add_image(ImageCallback callback);
// Registers a callback for removed images.
void register_func_for_remove_image(ImageCallback callback);

// Compares the loader's list with the known images and announces the
// differences; costs one short look at the loader's counts when nothing was
// loaded or unloaded since the last sync. Not async-signal-safe.
void sync_loaded_images();

// Announces an image the loader does not know, spanning `size` bytes from
// its header, under `path`.
void announce_image_added(uint64_t headerAddress, int64_t slide, uint64_t size,
                          const std::string& path);
// Announces the removal of an announced image; unknown addresses are ignored.
void announce_image_removed(uint64_t headerAddress);

// An object on the loader's own lists.
struct LoaderObject {
  int64_t slide;     // the loader's load bias for it
  uint64_t dynamic;  // its dynamic section: an address inside it
  uint64_t path;     // where the loader keeps its path (read it with checked reads)
};
using LoaderObjectVisitor = bool (*)(const LoaderObject& object, void* context);

// Calls `visit` for each object on the lists the loader keeps for debuggers
// (one per namespace, found through the program's DT_DEBUG entry), until it
// returns false. The lists are read without the loader's lock, each record
// through a checked copy (a thread a crash could not park may close a
// library meanwhile), at most 4,096 objects in all: a list the loader is
// changing at that moment (the crashed thread inside it) is read as far as
// it holds together. Async-signal-safe. Nothing is visited in a program
// without a DT_DEBUG entry.
void loader_objects_visit(LoaderObjectVisitor visit, void* context);

// The stand-in for `dladdr`: the path and header address of the known image
// whose span holds `address`. The path stays valid while the image is known.
struct DlInfo {
  const char* dli_fname = nullptr;
  uint64_t dli_fbase = 0;
};
bool dladdr(uint64_t address, DlInfo* info);

}  // namespace sys
