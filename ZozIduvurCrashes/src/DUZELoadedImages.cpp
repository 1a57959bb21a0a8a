#include "DUZELoadedImages.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/Mutex.h"
#include "system/ImageEvents.h"

namespace duzecrashes {

namespace {

constexpr uint32_t kMagic32 = 0xFEEDFACE;
constexpr uint32_t kMagic64 = 0xFEEDFACF;
constexpr uint32_t kHeaderSize32 = 28;
constexpr uint32_t kHeaderSize64 = 32;
constexpr uint32_t kLoadCommandSegment = 0x1;
constexpr uint32_t kLoadCommandSegment64 = 0x19;
constexpr uint32_t kLoadCommandUUID = 27;
// Load commands beyond this are not believed (a damaged header).
constexpr uint32_t kMaxLoadCommandBytes = 1u << 20;

struct Registry {
  base::Mutex mutex;
  std::vector<LoadedImage> images KX_GUARDED_BY(mutex);
};

Registry& registry() {
  static Registry* r = new Registry();  // the loader's callbacks stay for the process
  return *r;
}

void imageAdded(uint64_t header, int64_t slide) {
  sys::DlInfo info;
  std::string name;
  if (sys::dladdr(header, &info) && info.dli_fname) name = info.dli_fname;
  Registry& r = registry();
  base::LockGuard lock(r.mutex);
  r.images.push_back({header, slide, std::move(name)});
}

void imageRemoved(uint64_t header, int64_t) {
  Registry& r = registry();
  base::LockGuard lock(r.mutex);
  std::erase_if(r.images, [header](const LoadedImage& image) { return image.header == header; });
}

template <class T>
T read(uint64_t address) {
  T value;
  std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
  return value;
}

// Calls `visit(command address, cmd, cmdsize)` for each load command of a
// Mach-O header until it answers true. False when the header is not Mach-O.
template <class F>
bool forEachLoadCommand(uint64_t header, F&& visit) {
  if (header == 0) return false;
  const uint32_t magic = read<uint32_t>(header);
  if (magic != kMagic32 && magic != kMagic64) return false;
  const uint32_t count = read<uint32_t>(header + 16);
  const uint32_t totalSize = read<uint32_t>(header + 20);
  if (totalSize > kMaxLoadCommandBytes) return true;
  uint64_t command = header + (magic == kMagic64 ? kHeaderSize64 : kHeaderSize32);
  const uint64_t end = command + totalSize;
  for (uint32_t i = 0; i < count && command + 8 <= end; ++i) {
    const uint32_t cmd = read<uint32_t>(command);
    const uint32_t size = read<uint32_t>(command + 4);
    if (size < 8 || command + size > end) break;
    if (visit(command, cmd, size)) break;
    command += size;
  }
  return true;
}

bool sameName(const char* fixed, const char* wanted) {
  return std::strncmp(fixed, wanted, 16) == 0;
}

}  // namespace

std::vector<LoadedImage> loadedImages() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    sys::register_func_for_add_image(imageAdded);
    sys::register_func_for_remove_image(imageRemoved);
  });
  sys::sync_loaded_images();
  Registry& r = registry();
  base::LockGuard lock(r.mutex);
  return r.images;
}

bool machOUUID(uint64_t header, uint8_t uuid[16]) {
  bool found = false;
  forEachLoadCommand(header, [&](uint64_t command, uint32_t cmd, uint32_t size) {
    if (cmd != kLoadCommandUUID || size < 24) return false;
    std::memcpy(uuid, reinterpret_cast<const void*>(command + 8), 16);
    found = true;
    return true;
  });
  return found;
}

bool machOSection(uint64_t header, const char* segmentName, const char* sectionName,
                  MachOSection* section) {
  bool found = false;
  forEachLoadCommand(header, [&](uint64_t command, uint32_t cmd, uint32_t size) {
    const bool is64 = cmd == kLoadCommandSegment64;
    if (!is64 && cmd != kLoadCommandSegment) return false;
    const uint32_t segmentSize = is64 ? 72 : 56;
    const uint32_t sectionSize = is64 ? 80 : 68;
    if (size < segmentSize) return false;
    char segname[16];
    std::memcpy(segname, reinterpret_cast<const void*>(command + 8), 16);
    if (!sameName(segname, segmentName)) return false;
    const uint32_t sections = read<uint32_t>(command + (is64 ? 64 : 48));
    for (uint32_t i = 0; i < sections; ++i) {
      const uint64_t entry = command + segmentSize + uint64_t{i} * sectionSize;
      if (entry + sectionSize > command + size) break;
      char sectname[16];
      std::memcpy(sectname, reinterpret_cast<const void*>(entry), 16);
      if (!sameName(sectname, sectionName)) continue;
      if (is64) {
        section->address = read<uint64_t>(entry + 32);
        section->size = read<uint64_t>(entry + 40);
      } else {
        section->address = read<uint32_t>(entry + 32);
        section->size = read<uint32_t>(entry + 36);
      }
      found = true;
      return true;
    }
    return false;
  });
  return found;
}

}  // namespace duzecrashes
