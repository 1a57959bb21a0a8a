// Feeds an ELF object to the image record's ELF adapter as the engine meets
// one: the input is the object's file, laid into memory the way the loader
// lays its loadable segments, and also readable under its path for the
// section headers. Then the queries the crash-time code makes: text span,
// build id and symbol lookups by address and by name.
#include <elf.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "InputMemory.h"
#include "base/ProcFiles.h"
#include "images/AsyncMachO.h"

namespace {

// Loaded images larger than this are cut short (the rest reads as absent).
constexpr uint64_t kMaxImage = 4 << 20;

// The loadable segments at their addresses, relative to the first one's.
std::vector<uint8_t> layOut(const uint8_t* data, size_t size) {
  Elf64_Ehdr eh;
  if (size < sizeof eh) return {data, data + size};
  memcpy(&eh, data, sizeof eh);
  std::vector<uint8_t> image;
  bool first = true;
  uint64_t base = 0;
  for (unsigned i = 0; i < eh.e_phnum; ++i) {
    uint64_t at = eh.e_phoff + uint64_t{i} * sizeof(Elf64_Phdr);
    if (eh.e_phoff > size || at > size - sizeof(Elf64_Phdr)) break;
    Elf64_Phdr ph;
    memcpy(&ph, data + at, sizeof ph);
    if (ph.p_type != PT_LOAD) continue;
    if (first) {
      base = ph.p_vaddr - ph.p_offset;
      first = false;
    }
    uint64_t start = ph.p_vaddr - base;
    if (start >= kMaxImage) continue;
    uint64_t end = ph.p_memsz > kMaxImage - start ? kMaxImage : start + ph.p_memsz;
    if (image.size() < end) image.resize(end);
    uint64_t copy = ph.p_filesz < end - start ? ph.p_filesz : end - start;
    if (ph.p_offset > size) continue;
    if (copy > size - ph.p_offset) copy = size - ph.p_offset;
    if (copy > 0) memcpy(image.data() + start, data + ph.p_offset, copy);
  }
  if (first) return {data, data + size};
  return image;
}

void noteSymbol(rocrash_vm_address_t, const char* name, void* ctx) {
  size_t length = 0;
  while (name[length] != '\0') ++length;
  *static_cast<size_t*>(ctx) += length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("fuzz-elf", MFD_CLOEXEC);
  static const std::string path = base::ProcPath(base::kProcSelf).file("fd").id(fd).c_str();
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;

  std::vector<uint8_t> loaded = layOut(data, size);
  const uint64_t header = fuzzing::InputMemory::shared().lay(loaded.data(), loaded.size());
  rocrash_async_macho image;
  if (rocrash_async_macho_init(&image, sys::mach_task_self(), path.c_str(), header) !=
      ROCRASH_ERR_NONE) {
    return 0;
  }
  uint8_t uuid[16];
  (void)rocrash_async_macho_uuid(&image, uuid);
  size_t total = 0;
  const uint64_t text = image.text_size;
  for (uint64_t step = 0; step < 8; ++step) {
    uint64_t pc = header + text * step / 8;
    if (rocrash_async_macho_contains_address(&image, pc)) {
      (void)rocrash_async_macho_find_symbol_by_pc(&image, pc, noteSymbol, &total);
    }
  }
  rocrash_vm_address_t address;
  (void)rocrash_async_macho_find_symbol_by_name(&image, "_main", &address);
  (void)rocrash_async_macho_find_symbol_by_name(&image, "_start", &address);
  rocrash_async_macho_free(&image);
  return 0;
}
