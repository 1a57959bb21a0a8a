#include "system/ImageEvents.h"

#include <elf.h>
#include <link.h>

#include <map>
#include <mutex>
#include <vector>

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

int collect(struct dl_phdr_info* info, size_t, void* data) {
  auto* out = static_cast<std::vector<LoadedObject>*>(data);
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
  if (!haveHeader) return 0;
  std::string path = info->dlpi_name ? info->dlpi_name : "";
  if (path.empty() && out->empty()) {
    // The first object without a name is the executable.
    path = systemFacts()->executablePath().value_or("");
  }
  if (path.empty()) return 0;
  out->push_back({header, static_cast<int64_t>(info->dlpi_addr), end - header, path});
  return 0;
}

void notify(const std::vector<ImageCallback>& callbacks, uint64_t header, int64_t slide) {
  for (ImageCallback callback : callbacks) callback(header, slide);
}

}  // namespace

void sync_loaded_images() {
  std::vector<LoadedObject> loaded;
  dl_iterate_phdr(collect, &loaded);
  Registry& r = registry();
  // The loader's notices come in its own order, under its lock.
  std::lock_guard<std::recursive_mutex> guard(r.lock);
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
}

void register_func_for_add_image(ImageCallback callback) {
  sync_loaded_images();
  Registry& r = registry();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  r.onAdd.push_back(callback);
  std::vector<std::pair<uint64_t, int64_t>> known;
  for (const auto& [header, image] : r.images) known.emplace_back(header, image.slide);
  for (const auto& [header, slide] : known) callback(header, slide);
}

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
