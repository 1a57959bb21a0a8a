#include "system/ImageEvents.h"

#include <elf.h>
#include <link.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "LoaderNotices.h"
#include "system/SystemFacts.h"

namespace sys {
namespace {

struct KnownImage {
  int64_t slide;
  uint64_t size;
  std::string path;
  bool announced;  // not from the loader's list
};

struct Registry {
  std::recursive_mutex lock;
  std::map<uint64_t, KnownImage> images;  // by header address
  std::vector<ImageCallback> onAdd;
  std::vector<ImageCallback> onRemove;
  // The loader's counts of objects added and removed at the last sync.
  bool synced = false;
  unsigned long long adds = 0;
  unsigned long long subs = 0;
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
  const Registry* registry;
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
    if (out->registry->synced && out->adds == out->registry->adds &&
        out->subs == out->registry->subs) {
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

void sync_loaded_images() {
  Registry& r = registry();
  // One sync at a time, from the loader's list to the last notice: two that
  // overlapped could announce an object the other had seen removed.
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  Collected collected;
  collected.registry = &r;
  dl_iterate_phdr(collect, &collected);
  if (collected.unchanged) return;
  std::vector<LoadedObject>& loaded = collected.objects;
  if (!loaded.empty() && loaded.front().path.empty()) {
    loaded.front().path = systemFacts()->executablePath().value_or("");
    if (loaded.front().path.empty()) loaded.erase(loaded.begin());
  }
  std::map<uint64_t, const LoadedObject*> now;
  for (const auto& object : loaded) now.emplace(object.header, &object);
  for (auto it = r.images.begin(); it != r.images.end();) {
    if (!it->second.announced && now.count(it->first) == 0) {
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
}

void register_func_for_add_image(ImageCallback callback) {
  detail::loader_notices_start();
  sync_loaded_images();
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  r.onAdd.push_back(callback);
  std::vector<std::pair<uint64_t, int64_t>> known;
  for (const auto& [header, image] : r.images) known.emplace_back(header, image.slide);
  for (const auto& [header, slide] : known) callback(header, slide);
}

namespace detail {

void registry_lock_for_fork() noexcept { registry().lock.lock(); }

void registry_unlock_after_fork(bool child) noexcept {
  Registry& r = registry();
  if (child) {
    // The lock belongs to the parent's thread id: the child's only thread
    // starts it afresh.
    new (&r.lock) std::recursive_mutex();
  } else {
    r.lock.unlock();
  }
}

}  // namespace detail

void register_func_for_remove_image(ImageCallback callback) {
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  r.onRemove.push_back(callback);
}

void announce_image_added(uint64_t headerAddress, int64_t slide, uint64_t size,
                          const std::string& path) {
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  if (!r.images.emplace(headerAddress, KnownImage{slide, size, path, true}).second) return;
  notify(r.onAdd, headerAddress, slide);
}

void announce_image_removed(uint64_t headerAddress) {
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  auto it = r.images.find(headerAddress);
  if (it == r.images.end() || !it->second.announced) return;
  notify(r.onRemove, headerAddress, it->second.slide);
  r.images.erase(it);
}

bool dladdr(uint64_t address, DlInfo* info) {
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  auto it = r.images.upper_bound(address);
  if (it == r.images.begin()) return false;
  --it;
  if (address - it->first >= it->second.size) return false;
  info->dli_fname = it->second.path.c_str();
  info->dli_fbase = it->first;
  return true;
}

}  // namespace sys
