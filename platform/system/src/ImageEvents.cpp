#include "system/ImageEvents.h"

#include <elf.h>
#include <link.h>
#include <string.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <map>
#include <vector>

#include "LoaderNotices.h"
#include "base/Mutex.h"
#include "system/SystemFacts.h"
#include "system/Task.h"

#ifdef KX_TEST_SEAMS
#include "system/TestSeams.h"
#endif

namespace sys {
namespace {

struct KnownImage {
  int64_t slide;
  uint64_t size;
  std::string path;
  bool announced;  // not from the loader's list
};

// The registry's lock, of one process: a forked child takes a fresh one, as
// the parent's may have been copied held by a thread the child does not have.
struct RegistryLock {
  explicit RegistryLock(pid_t owner) : pid(owner) {}
  const pid_t pid;
  base::RecursiveMutex mutex;
};

struct Registry {
  // This process's lock, which guards the rest.
  base::RecursiveMutex& mutex() {
    RegistryLock* current = lock.load(std::memory_order_acquire);
    const pid_t self = getpid();
    if (current->pid != self) {
      // The parent's lock stays allocated: it may be held for ever.
      auto* fresh = new RegistryLock(self);
      if (lock.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) {
        current = fresh;
      } else {
        delete fresh;
      }
    }
    return current->mutex;
  }

  std::atomic<RegistryLock*> lock{new RegistryLock(getpid())};
  std::map<uint64_t, KnownImage> images KX_GUARDED_BY(mutex());  // by header address
  std::vector<ImageCallback> onAdd KX_GUARDED_BY(mutex());
  std::vector<ImageCallback> onRemove KX_GUARDED_BY(mutex());
  // The loader's counts of objects added and removed at the last sync.
  bool synced KX_GUARDED_BY(mutex()) = false;
  unsigned long long adds KX_GUARDED_BY(mutex()) = 0;
  unsigned long long subs KX_GUARDED_BY(mutex()) = 0;
};

Registry& registry() {
  static Registry* r = new Registry();  // lives for the whole process
  return *r;
}

struct LoadedObject {
  uint64_t header;
  int64_t slide;
  uint64_t size;
  std::string path;
};

struct Collected {
  // The registry's state at the last sync, copied under its lock.
  bool synced = false;
  unsigned long long syncedAdds = 0;
  unsigned long long syncedSubs = 0;
  bool unchanged = false;
  unsigned long long adds = 0;
  unsigned long long subs = 0;
  std::vector<LoadedObject> objects;
};

bool hasCounts(size_t size) {
  return size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof(dl_phdr_info::dlpi_subs);
}

int collect(struct dl_phdr_info* info, size_t size, void* data) {
  auto* out = static_cast<Collected*>(data);
  if (out->objects.empty() && hasCounts(size)) {
    out->adds = info->dlpi_adds;
    out->subs = info->dlpi_subs;
    // Nothing was added or removed since the last sync: stop here.
    if (out->synced && out->adds == out->syncedAdds && out->subs == out->syncedSubs) {
      out->unchanged = true;
      return 1;
    }
  }
  uint64_t header = 0, end = 0;
  bool haveHeader = false;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    uint64_t start = info->dlpi_addr + ph.p_vaddr;
    if (!haveHeader) {
      header = start - ph.p_offset;
      haveHeader = true;
    }
    if (start + ph.p_memsz > end) end = start + ph.p_memsz;
  }
  // The first object is the program, named by the kernel below, not here.
  if (!haveHeader) return 0;
  std::string path = info->dlpi_name ? info->dlpi_name : "";
  if (path.empty() && !out->objects.empty()) return 0;
  out->objects.push_back({header, static_cast<int64_t>(info->dlpi_addr), end - header, path});
  return 0;
}

void notify(const std::vector<ImageCallback>& callbacks, uint64_t header, int64_t slide) {
  for (ImageCallback callback : callbacks) callback(header, slide);
}

}  // namespace

namespace {

// Bounds for damaged or half-changed lists: the loader has at most 16
// namespaces, and real programs far fewer objects.
constexpr int kMaxNamespaces = 16;
constexpr size_t kMaxLoaderObjects = 4096;
constexpr size_t kMaxProgramHeaders = 256;
constexpr size_t kMaxLoaderDynamicEntries = 4096;

// Reads a record of the loader's through the checked copy, never in place:
// a thread a crash could not park (one that keeps the parking signal
// blocked, or the parent of a child that runs in its memory) may close a
// library and give its records' memory back at any moment.
template <class T>
bool readRecord(uint64_t at, T* out) {
  return mach_vm_read_overwrite(mach_task_self(), at, sizeof *out, out, nullptr) == KERN_SUCCESS;
}

// The loader's record for debuggers, where the program's DT_DEBUG entry
// points (0 when it has none): not `_r_debug`, which a program that names it
// may hold a stale copy of.
uint64_t findLoaderDebugRecord() {
  const uint64_t phdrs = getauxval(AT_PHDR);
  const uint64_t count = std::min<uint64_t>(getauxval(AT_PHNUM), kMaxProgramHeaders);
  uint64_t bias = 0, dynamic = 0, dynamicSize = 0;
  bool haveBias = false;
  for (uint64_t i = 0; i < count; ++i) {
    Elf64_Phdr header;
    if (!readRecord(phdrs + i * sizeof header, &header)) return 0;
    if (header.p_type == PT_PHDR) {
      bias = phdrs - header.p_vaddr;
      haveBias = true;
    } else if (header.p_type == PT_DYNAMIC) {
      dynamic = header.p_vaddr;
      dynamicSize = header.p_memsz;
    }
  }
  if (!haveBias || dynamic == 0) return 0;
  const uint64_t entries =
      std::min<uint64_t>(dynamicSize / sizeof(Elf64_Dyn), kMaxLoaderDynamicEntries);
  for (uint64_t i = 0; i < entries; ++i) {
    Elf64_Dyn entry;
    if (!readRecord(bias + dynamic + i * sizeof entry, &entry) || entry.d_tag == DT_NULL) {
      return 0;
    }
    if (entry.d_tag == DT_DEBUG) return entry.d_un.d_ptr;
  }
  return 0;
}

// Found at registration; the loader sets it up before the program starts.
std::atomic<uint64_t> gLoaderDebugRecord{0};

uint64_t loaderDebugRecord() {
  const uint64_t found = gLoaderDebugRecord.load(std::memory_order_relaxed);
  return found != 0 ? found : findLoaderDebugRecord();
}

}  // namespace

void loader_objects_visit(LoaderObjectVisitor visit, void* context) {
  uint64_t record = loaderDebugRecord();
  size_t budget = kMaxLoaderObjects;
  for (int namespaces = 0; record != 0 && namespaces < kMaxNamespaces; ++namespaces) {
    r_debug debug;
    if (!readRecord(record, &debug)) return;
    // Later namespaces follow the first record from version 2 on.
    r_debug_extended* next = nullptr;
    if (debug.r_version < 2 || !readRecord(record + offsetof(r_debug_extended, r_next), &next)) {
      next = nullptr;
    }
    for (auto map = reinterpret_cast<uint64_t>(debug.r_map); map != 0;) {
      if (budget-- == 0) return;
      link_map object;  // the part the loader shares with debuggers
      if (!readRecord(map, &object)) break;
      if (object.l_ld != nullptr &&
          !visit({static_cast<int64_t>(object.l_addr), reinterpret_cast<uint64_t>(object.l_ld),
                  reinterpret_cast<uint64_t>(object.l_name)},
                 context)) {
        return;
      }
      map = reinterpret_cast<uint64_t>(object.l_next);
    }
    record = reinterpret_cast<uint64_t>(next);
  }
}

namespace {

// Announces the loader's changes since the last sync. True when the loader
// added or removed objects since a sync before this one.
bool syncWithLoader() {
  Registry& r = registry();
  // One sync at a time, from the loader's list to the last notice: two that
  // overlapped could announce an object the other had seen removed.
  base::LockGuard guard(r.mutex());
  Collected collected;
  collected.synced = r.synced;
  collected.syncedAdds = r.adds;
  collected.syncedSubs = r.subs;
  dl_iterate_phdr(collect, &collected);
  if (collected.unchanged) return false;
  const bool changedSinceLastSync = r.synced;
  std::vector<LoadedObject>& loaded = collected.objects;
  if (!loaded.empty() && loaded.front().path.empty()) {
    loaded.front().path = systemFacts()->executablePath().value_or("");
    if (loaded.front().path.empty()) loaded.erase(loaded.begin());
  }
  std::map<uint64_t, const LoadedObject*> now;
  for (const auto& object : loaded) now.emplace(object.header, &object);
  for (auto it = r.images.begin(); it != r.images.end();) {
    // An object unloaded and another loaded at its address between two
    // syncs is announced as removed and added.
    auto loadedNow = now.find(it->first);
    const bool gone = loadedNow == now.end() || loadedNow->second->slide != it->second.slide ||
                      loadedNow->second->size != it->second.size;
    if (!it->second.announced && gone) {
      notify(r.onRemove, it->first, it->second.slide);
      it = r.images.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& object : loaded) {
    if (r.images.count(object.header) != 0) continue;
    r.images.emplace(object.header, KnownImage{object.slide, object.size, object.path, false});
    notify(r.onAdd, object.header, object.slide);
  }
  r.synced = true;
  r.adds = collected.adds;
  r.subs = collected.subs;
  return changedSinceLastSync;
}

}  // namespace

void sync_loaded_images() {
  // Outside the program's own dlopen and dlclose, a change is a load or
  // unload that passed them by: from now on the loader is watched.
  if (syncWithLoader()) detail::loader_watch_start();
}

void detail::sync_after_own_call() noexcept { syncWithLoader(); }

#ifdef KX_TEST_SEAMS
void setLoaderDebugRecordForTesting(uint64_t record) noexcept {
  gLoaderDebugRecord.store(record, std::memory_order_relaxed);
}
#endif

void register_func_for_add_image(ImageCallback callback) {
  detail::loader_notices_start();
  gLoaderDebugRecord.store(findLoaderDebugRecord(), std::memory_order_relaxed);
  sync_loaded_images();
  Registry& r = registry();
  base::LockGuard guard(r.mutex());
  r.onAdd.push_back(callback);
  std::vector<std::pair<uint64_t, int64_t>> known;
  for (const auto& [header, image] : r.images) known.emplace_back(header, image.slide);
  for (const auto& [header, slide] : known) callback(header, slide);
}

namespace detail {

// The hold spans the fork, from one handler to the other.
void registry_lock_for_fork() noexcept KX_ACQUIRE(registry().mutex()) { registry().mutex().lock(); }

void registry_unlock_after_fork() noexcept KX_RELEASE(registry().mutex()) {
  registry().mutex().unlock();
}

}  // namespace detail

void register_func_for_remove_image(ImageCallback callback) {
  Registry& r = registry();
  base::LockGuard guard(r.mutex());
  r.onRemove.push_back(callback);
}

void announce_image_added(uint64_t headerAddress, int64_t slide, uint64_t size,
                          const std::string& path) {
  Registry& r = registry();
  base::LockGuard guard(r.mutex());
  if (!r.images.emplace(headerAddress, KnownImage{slide, size, path, true}).second) return;
  notify(r.onAdd, headerAddress, slide);
}

void announce_image_removed(uint64_t headerAddress) {
  Registry& r = registry();
  base::LockGuard guard(r.mutex());
  auto it = r.images.find(headerAddress);
  if (it == r.images.end() || !it->second.announced) return;
  notify(r.onRemove, headerAddress, it->second.slide);
  r.images.erase(it);
}

bool dladdr(uint64_t address, DlInfo* info) {
  Registry& r = registry();
  base::LockGuard guard(r.mutex());
  auto it = r.images.upper_bound(address);
  if (it == r.images.begin()) return false;
  --it;
  if (address - it->first >= it->second.size) return false;
  info->dli_fname = it->second.path.c_str();
  info->dli_fbase = it->first;
  return true;
}

}  // namespace sys
