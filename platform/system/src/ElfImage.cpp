#include "system/ElfImage.h"

#include <elf.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "system/Task.h"

namespace sys {
namespace {

// Real objects carry a few notes, a few dozen dynamic entries and at most a
// few hundred thousand dynamic symbols; a damaged header must not send the
// scans below through all the readable memory of the process.
constexpr uint64_t kMaxNoteBytes = 64 * 1024;
constexpr size_t kMaxDynamicEntries = 4096;
constexpr size_t kMaxDynamicSymbols = size_t{1} << 22;
constexpr size_t kMaxDynamicStrings = size_t{64} << 20;

bool readOwn(uint64_t address, void* out, size_t size) {
  return mach_vm_read_overwrite(mach_task_self(), address, size, out, nullptr) == KERN_SUCCESS;
}

// How many of the `size` bytes from `address` on are readable.
uint64_t readableBytes(uint64_t address, uint64_t size) {
  const uint64_t lead = address & vm_page_mask();
  const uint64_t prefix = task_readable_prefix(mach_task_self(), address - lead, size + lead);
  return prefix > lead ? prefix - lead : 0;
}

// Maps the file and finds .symtab with its string table and .eh_frame.
void readFileSections(ElfImage* image, const char* path, const Elf64_Ehdr& loaded) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  void* map = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(Elf64_Ehdr))) {
    map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  }
  close(fd);
  if (map == MAP_FAILED) return;
  auto* bytes = static_cast<const uint8_t*>(map);
  size_t size = static_cast<size_t>(st.st_size);
  Elf64_Ehdr eh;
  memcpy(&eh, bytes, sizeof eh);
  // The file must be the object that is loaded, with its section headers
  // where they can be read in place.
  bool sane = memcmp(eh.e_ident, loaded.e_ident, EI_NIDENT) == 0 && eh.e_type == loaded.e_type &&
              eh.e_entry == loaded.e_entry && eh.e_shentsize == sizeof(Elf64_Shdr) &&
              eh.e_shoff < size && eh.e_shoff % alignof(Elf64_Shdr) == 0 &&
              eh.e_shnum <= (size - eh.e_shoff) / sizeof(Elf64_Shdr) && eh.e_shstrndx < eh.e_shnum;
  if (!sane) {
    munmap(map, size);
    return;
  }
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes + eh.e_shoff);
  const Elf64_Shdr& names = sections[eh.e_shstrndx];
  auto inFile = [&](uint64_t offset, uint64_t length) {
    return offset <= size && length <= size - offset;
  };
  for (unsigned i = 0; i < eh.e_shnum; ++i) {
    const Elf64_Shdr& s = sections[i];
    if (s.sh_type == SHT_SYMTAB && s.sh_link < eh.e_shnum && s.sh_entsize == sizeof(Elf64_Sym)) {
      const Elf64_Shdr& strings = sections[s.sh_link];
      if (inFile(s.sh_offset, s.sh_size) && inFile(strings.sh_offset, strings.sh_size)) {
        image->tables[0] = {bytes + s.sh_offset, s.sh_size / sizeof(Elf64_Sym),
                            reinterpret_cast<const char*>(bytes + strings.sh_offset),
                            strings.sh_size};
      }
    }
    if (names.sh_type == SHT_STRTAB && inFile(names.sh_offset, names.sh_size) &&
        s.sh_name < names.sh_size) {
      const char* name = reinterpret_cast<const char*>(bytes + names.sh_offset + s.sh_name);
      if (strncmp(name, ".eh_frame", names.sh_size - s.sh_name) == 0 && s.sh_addr != 0) {
        image->ehFrameAddress = s.sh_addr + static_cast<uint64_t>(image->slide);
        image->ehFrameSize = s.sh_size;
      }
    }
  }
  image->fileMapping = map;
  image->fileMappingSize = size;
}

// .dynsym through the loaded dynamic section; the symbol count comes from the
// section headers when the file was readable, else from DT_HASH.
void readDynamicSymbols(ElfImage* image, uint64_t dynamicAddress) {
  uint64_t symtab = 0, strtab = 0, strsz = 0, hash = 0;
  for (size_t i = 0; i < kMaxDynamicEntries; ++i) {
    const uint64_t p = dynamicAddress + i * sizeof(Elf64_Dyn);
    Elf64_Dyn dyn;
    if (!readOwn(p, &dyn, sizeof dyn) || dyn.d_tag == DT_NULL) break;
    uint64_t v = dyn.d_un.d_ptr;
    switch (dyn.d_tag) {
      case DT_SYMTAB:
        symtab = v;
        break;
      case DT_STRTAB:
        strtab = v;
        break;
      case DT_STRSZ:
        strsz = v;
        break;
      case DT_HASH:
        hash = v;
        break;
    }
  }
  if (symtab == 0 || strtab == 0) return;
  // The loader relocates these entries in place for most objects; a value
  // below the header is still link-time relative.
  auto runtime = [&](uint64_t v) {
    return v < image->headerAddress ? v + static_cast<uint64_t>(image->slide) : v;
  };
  symtab = runtime(symtab);
  strtab = runtime(strtab);
  size_t count = 0;
  if (image->fileMapping != nullptr) {
    const auto* bytes = static_cast<const uint8_t*>(image->fileMapping);
    Elf64_Ehdr eh;
    memcpy(&eh, bytes, sizeof eh);
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes + eh.e_shoff);
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
      if (sections[i].sh_type == SHT_DYNSYM) count = sections[i].sh_size / sizeof(Elf64_Sym);
    }
  } else if (hash != 0) {
    uint32_t header[2];
    if (readOwn(runtime(hash), header, sizeof header)) count = header[1];
  }
  // Lookups read the table and its names in place, at crash time: keep only
  // what is readable now.
  count = std::min(count, kMaxDynamicSymbols);
  count = readableBytes(symtab, count * sizeof(Elf64_Sym)) / sizeof(Elf64_Sym);
  strsz = readableBytes(strtab, std::min<uint64_t>(strsz, kMaxDynamicStrings));
  if (count == 0 || strsz == 0) return;
  image->tables[1] = {reinterpret_cast<const void*>(symtab), count,
                      reinterpret_cast<const char*>(strtab), strsz};
}

bool usable(const Elf64_Sym& sym) {
  unsigned type = ELF64_ST_TYPE(sym.st_info);
  return sym.st_shndx != SHN_UNDEF && sym.st_shndx < SHN_LORESERVE &&
         (type == STT_FUNC || type == STT_OBJECT || type == STT_NOTYPE) && sym.st_value != 0;
}

// A name inside its table, or null when it does not end there.
const char* symbolName(const ElfSymbolTable& table, uint32_t index) {
  if (index >= table.stringsSize) return nullptr;
  const char* name = table.strings + index;
  if (memchr(name, 0, table.stringsSize - index) == nullptr) return nullptr;
  return name;
}

}  // namespace

bool elf_image_init(ElfImage* image, uint64_t headerAddress, const char* path) {
  *image = ElfImage();
  Elf64_Ehdr eh;
  if (!readOwn(headerAddress, &eh, sizeof eh)) return false;
  if (memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_machine != EM_X86_64 || eh.e_phentsize != sizeof(Elf64_Phdr)) {
    return false;
  }
  image->headerAddress = headerAddress;
  uint64_t phdrs = headerAddress + eh.e_phoff;
  bool haveSlide = false;
  uint64_t dynamic = 0;
  for (unsigned i = 0; i < eh.e_phnum; ++i) {
    Elf64_Phdr ph;
    if (!readOwn(phdrs + i * sizeof ph, &ph, sizeof ph)) return false;
    if (ph.p_type == PT_LOAD && !haveSlide) {
      // The first loadable segment holds the header at its file offset.
      image->slide = static_cast<int64_t>(headerAddress - (ph.p_vaddr - ph.p_offset));
      haveSlide = true;
    }
    uint64_t start = ph.p_vaddr + static_cast<uint64_t>(image->slide);
    if (ph.p_type == PT_LOAD) {
      if (start + ph.p_memsz > image->mappedEnd) image->mappedEnd = start + ph.p_memsz;
      if ((ph.p_flags & PF_X) && start + ph.p_memsz > image->textEnd) {
        image->textEnd = start + ph.p_memsz;
      }
    } else if (ph.p_type == PT_DYNAMIC) {
      dynamic = start;
    } else if (ph.p_type == PT_GNU_EH_FRAME) {
      image->ehFrameHdrAddress = start;
      image->ehFrameHdrSize = ph.p_memsz;
    } else if (ph.p_type == PT_NOTE) {
      // Notes: namesz, descsz, type, name (4-aligned), desc (4-aligned).
      const uint64_t notes = std::min(ph.p_memsz, kMaxNoteBytes);
      for (uint64_t off = 0; off + 12 <= notes;) {
        uint32_t note[3];
        if (!readOwn(start + off, note, sizeof note)) break;
        uint64_t name = start + off + 12;
        uint64_t desc = name + ((note[0] + 3) & ~3u);
        char owner[4] = {};
        if (note[2] == NT_GNU_BUILD_ID && note[0] == 4 && readOwn(name, owner, 4) &&
            memcmp(owner, "GNU", 4) == 0 && note[1] >= 16) {
          image->hasUuid = readOwn(desc, image->uuid, 16);
        }
        off = desc - start + ((note[1] + 3) & ~3u);
      }
    }
  }
  if (!haveSlide || image->textEnd <= headerAddress) return false;
  if (path != nullptr && path[0] != '\0') readFileSections(image, path, eh);
  if (dynamic != 0) readDynamicSymbols(image, dynamic);
  return true;
}

void elf_image_free(ElfImage* image) {
  if (image->fileMapping != nullptr) {
    munmap(const_cast<void*>(image->fileMapping), image->fileMappingSize);
  }
  *image = ElfImage();
}

bool elf_image_symbol_for_pc(const ElfImage* image, uint64_t pc, uint64_t* start,
                             const char** name) {
  uint64_t unslid = pc - static_cast<uint64_t>(image->slide);
  bool found = false;
  for (const ElfSymbolTable& table : image->tables) {
    for (size_t i = 0; i < table.count; ++i) {
      // Both tables stay mapped while the image is listed (the file mapping
      // and the loaded object's own .dynsym).
      Elf64_Sym sym;
      memcpy(&sym, static_cast<const Elf64_Sym*>(table.symbols) + i, sizeof sym);
      if (!usable(sym) || sym.st_value > unslid) continue;
      bool covers = sym.st_size == 0 ? sym.st_value == unslid : unslid - sym.st_value < sym.st_size;
      if (!covers) continue;
      uint64_t candidate = sym.st_value + static_cast<uint64_t>(image->slide);
      if (found && candidate <= *start) continue;
      const char* n = symbolName(table, sym.st_name);
      if (n == nullptr || n[0] == '\0') continue;
      *start = candidate;
      *name = n;
      found = true;
    }
  }
  return found;
}

bool elf_image_symbol_by_name(const ElfImage* image, const char* name, uint64_t* address) {
  for (const ElfSymbolTable& table : image->tables) {
    for (size_t i = 0; i < table.count; ++i) {
      // Both tables stay mapped while the image is listed (the file mapping
      // and the loaded object's own .dynsym).
      Elf64_Sym sym;
      memcpy(&sym, static_cast<const Elf64_Sym*>(table.symbols) + i, sizeof sym);
      if (!usable(sym)) continue;
      const char* n = symbolName(table, sym.st_name);
      if (n != nullptr && strcmp(n, name) == 0) {
        *address = sym.st_value + static_cast<uint64_t>(image->slide);
        return true;
      }
    }
  }
  return false;
}

}  // namespace sys
