#include "AsyncMachO.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "safe/AsyncReadCache.h"
#include "unwind/AsyncThreadState.h"

namespace {

constexpr uint32_t kSegment64Size = 72;
constexpr uint32_t kSegment32Size = 56;
constexpr uint32_t kSection64Size = 80;
constexpr uint32_t kSection32Size = 68;
constexpr uint32_t kNlist64Size = 16;
constexpr uint32_t kNlist32Size = 12;
constexpr uint8_t kSymbolTypeMask = 0xEE;   // N_STAB | N_TYPE
constexpr uint8_t kSymbolInSection = 0x0E;  // N_SECT
constexpr uint16_t kThumbDefinition = 0x0008;

uint32_t swap32(const rocrash_async_macho* image, uint32_t v) {
  return image->byteorder->swap32(v);
}
uint64_t swap64(const rocrash_async_macho* image, uint64_t v) {
  return image->byteorder->swap64(v);
}

template <class T>
T load(const void* p) {
  T v;
  rocrash_async_memcpy(&v, p, sizeof v);
  return v;
}

uint32_t segmentCommandSize(const rocrash_async_macho* image) {
  return image->m64 ? kSegment64Size : kSegment32Size;
}

// vmaddr, vmsize, fileoff, filesize and nsects of a segment command that is
// known to lie wholly in the load commands.
struct SegmentFields {
  uint64_t vmaddr, vmsize, fileoff, filesize;
  uint32_t nsects;
};

SegmentFields segmentFields(const rocrash_async_macho* image, const uint8_t* cmd) {
  SegmentFields f;
  if (image->m64) {
    f.vmaddr = swap64(image, load<uint64_t>(cmd + 24));
    f.vmsize = swap64(image, load<uint64_t>(cmd + 32));
    f.fileoff = swap64(image, load<uint64_t>(cmd + 40));
    f.filesize = swap64(image, load<uint64_t>(cmd + 48));
    f.nsects = swap32(image, load<uint32_t>(cmd + 64));
  } else {
    f.vmaddr = swap32(image, load<uint32_t>(cmd + 24));
    f.vmsize = swap32(image, load<uint32_t>(cmd + 28));
    f.fileoff = swap32(image, load<uint32_t>(cmd + 32));
    f.filesize = swap32(image, load<uint32_t>(cmd + 36));
    f.nsects = swap32(image, load<uint32_t>(cmd + 48));
  }
  return f;
}

void releaseImage(rocrash_async_macho* image) {
  rocrash_async_dwarf_fde_index_free(&image->fde_index);
  free(image->name);
  image->name = nullptr;
  if (image->elf != nullptr) {
    sys::elf_image_free(image->elf);
    delete image->elf;
    image->elf = nullptr;
  }
  if (image->header_size != 0) rocrash_async_mobject_free(&image->load_cmds);
}

// The record's fields that an ELF image's adapter gives.
void adoptElf(rocrash_async_macho* image) {
  image->byteorder = rocrash_async_byteorder_direct();
  image->m64 = true;
  image->header.cputype = ROCRASH_CPU_TYPE_X86_64;
  image->header.cpusubtype = ROCRASH_CPU_SUBTYPE_X86_64_ALL;
  image->vmaddr_slide = image->elf->slide;
  image->text_vmaddr = image->header_addr - static_cast<uint64_t>(image->elf->slide);
  image->text_size = image->elf->textEnd - image->header_addr;
}

rocrash_error_t initElf(rocrash_async_macho* image) {
  image->elf = new (std::nothrow) sys::ElfImage();
  if (image->elf == nullptr) return ROCRASH_ERR_NOMEM;
  if (!sys::elf_image_init(image->elf, image->header_addr, image->name)) return ROCRASH_ERR_INVAL;
  adoptElf(image);
  return ROCRASH_ERR_NONE;
}

// Gives the image the index of its call-frame section: its own search table
// when it has a usable one, else (with `mayBuild`: building allocates) a
// table built from the section.
void indexFrameSection(rocrash_async_macho* image, bool mayBuild = true) {
  rocrash_async_mobject section;
  bool debugFrame;
  if (!rocrash_async_macho_map_frame_section(image, &section, &debugFrame)) return;
  rocrash_async_dwarf_frame_reader reader;
  // Setting up a reader only stores its arguments: it cannot fail.
  (void)rocrash_async_dwarf_frame_reader_init(&reader, &section, image->byteorder, image->m64,
                                              debugFrame);
  const sys::ElfImage* elf = image->elf;
  if (elf == nullptr || elf->ehFrameHdrAddress == 0 ||
      !rocrash_async_dwarf_fde_index_use_search_table(
          &image->fde_index, &reader, elf->ehFrameHdrAddress, elf->ehFrameHdrSize)) {
    if (mayBuild) rocrash_async_dwarf_fde_index_build(&image->fde_index, &reader);
  }
  rocrash_async_dwarf_frame_reader_free(&reader);
  rocrash_async_mobject_free(&section);
}

}  // namespace

namespace {

rocrash_error_t initImage(rocrash_async_macho* image, sys::task_t task, const char* name,
                          rocrash_vm_address_t header);

}  // namespace

rocrash_error_t rocrash_async_macho_init(rocrash_async_macho* image, sys::task_t task,
                                         const char* name, rocrash_vm_address_t header) noexcept {
  // The image may be unloaded by another thread while it is read here: what
  // is read goes through copies, which fail where the image is gone.
  const bool copied = rocrash_async_mobject_set_thread_copy_mode(true);
  rocrash_error_t err = initImage(image, task, name, header);
  rocrash_async_mobject_set_thread_copy_mode(copied);
  return err;
}

namespace {

rocrash_error_t initImage(rocrash_async_macho* image, sys::task_t task, const char* name,
                          rocrash_vm_address_t header) {
  rocrash_async_memset(image, 0, sizeof *image);
  image->task = task;
  image->header_addr = header;
  image->name = strdup(name != nullptr ? name : "");
  if (image->name == nullptr) return ROCRASH_ERR_NOMEM;

  rocrash_error_t err =
      rocrash_async_task_read(task, header, 0, &image->header, sizeof image->header);
  if (err != ROCRASH_ERR_NONE) {
    releaseImage(image);
    return ROCRASH_ERR_INTERNAL;
  }
  static const uint8_t kElfMagic[4] = {0x7F, 'E', 'L', 'F'};
  if (memcmp(&image->header.magic, kElfMagic, 4) == 0) {
    err = initElf(image);
    if (err != ROCRASH_ERR_NONE) {
      releaseImage(image);
    } else {
      indexFrameSection(image);
    }
    return err;
  }
  switch (image->header.magic) {
    case ROCRASH_MH_MAGIC:
      image->m64 = false;
      image->byteorder = rocrash_async_byteorder_direct();
      break;
    case ROCRASH_MH_MAGIC_64:
      image->m64 = true;
      image->byteorder = rocrash_async_byteorder_direct();
      break;
    case ROCRASH_MH_CIGAM:
      image->m64 = false;
      image->byteorder = rocrash_async_byteorder_swapped();
      break;
    case ROCRASH_MH_CIGAM_64:
      image->m64 = true;
      image->byteorder = rocrash_async_byteorder_swapped();
      break;
    default:
      releaseImage(image);
      return ROCRASH_ERR_INVAL;
  }
  image->header_size = image->m64 ? 32 : 28;
  image->ncmds = swap32(image, image->header.ncmds);
  uint32_t sizeofcmds = swap32(image, image->header.sizeofcmds);
  err = rocrash_async_mobject_init(&image->load_cmds, task, header + image->header_size, sizeofcmds,
                                   true);
  if (err != ROCRASH_ERR_NONE) {
    image->header_size = 0;  // nothing mapped to release
    releaseImage(image);
    return err;
  }
  uint32_t segmentType = image->m64 ? ROCRASH_LC_SEGMENT_64 : ROCRASH_LC_SEGMENT;
  for (void* cmd = rocrash_async_macho_next_command_type(image, nullptr, segmentType);
       cmd != nullptr; cmd = rocrash_async_macho_next_command_type(image, cmd, segmentType)) {
    if (!rocrash_async_mobject_verify_local_pointer(
            &image->load_cmds, reinterpret_cast<uintptr_t>(cmd), 0, segmentCommandSize(image))) {
      releaseImage(image);
      return ROCRASH_ERR_INVAL;
    }
    if (rocrash_async_strncmp(static_cast<const char*>(cmd) + 8, "__TEXT", 16) != 0) continue;
    SegmentFields f = segmentFields(image, static_cast<const uint8_t*>(cmd));
    image->text_vmaddr = f.vmaddr;
    image->text_size = f.vmsize;
    image->vmaddr_slide = static_cast<int64_t>(header - f.vmaddr);
    indexFrameSection(image);
    return ROCRASH_ERR_NONE;
  }
  releaseImage(image);
  return ROCRASH_ERR_INVAL;
}

}  // namespace

void rocrash_async_macho_free(rocrash_async_macho* image) noexcept { releaseImage(image); }

bool rocrash_async_macho_init_from_loader(rocrash_async_macho* image, sys::ElfImage* elf,
                                          sys::task_t task, rocrash_vm_address_t address,
                                          uint64_t* pathAddress) noexcept {
  *pathAddress = 0;
  // Only this process's loader can be asked.
  if (!sys::task_is_self(task) || !sys::elf_image_init_from_loader(elf, address, pathAddress)) {
    return false;
  }
  static char noName[] = "";
  rocrash_async_memset(image, 0, sizeof *image);
  image->task = task;
  image->header_addr = elf->headerAddress;
  image->name = noName;
  image->elf = elf;
  adoptElf(image);
  // Without a usable search table, lookups walk the section.
  indexFrameSection(image, false);
  return true;
}

const rocrash_async_byteorder* rocrash_async_macho_byteorder(
    const rocrash_async_macho* image) noexcept {
  return image->byteorder;
}

const rocrash_async_mach_header* rocrash_async_macho_header(
    const rocrash_async_macho* image) noexcept {
  return &image->header;
}

uint32_t rocrash_async_macho_header_size(const rocrash_async_macho* image) noexcept {
  return image->header_size;
}

uint32_t rocrash_async_macho_cpu_type(const rocrash_async_macho* image) noexcept {
  return swap32(image, image->header.cputype);
}

uint32_t rocrash_async_macho_cpu_subtype(const rocrash_async_macho* image) noexcept {
  return swap32(image, image->header.cpusubtype);
}

bool rocrash_async_macho_contains_address(const rocrash_async_macho* image,
                                          rocrash_vm_address_t address) noexcept {
  return image->header_addr <= address && address - image->header_addr < image->text_size;
}

bool rocrash_async_macho_code_contains_address(const rocrash_async_macho* image,
                                               rocrash_vm_address_t address) noexcept {
  if (image->elf != nullptr) {
    return image->elf->textStart <= address && address < image->elf->textEnd;
  }
  return rocrash_async_macho_contains_address(image, address);
}

bool rocrash_async_macho_uuid(const rocrash_async_macho* image, uint8_t out[16]) noexcept {
  if (image->elf != nullptr) {
    if (!image->elf->hasUuid) return false;
    rocrash_async_memcpy(out, image->elf->uuid, 16);
    return true;
  }
  void* cmd = rocrash_async_macho_find_command(image, ROCRASH_LC_UUID);
  if (cmd == nullptr || !rocrash_async_mobject_verify_local_pointer(
                            &image->load_cmds, reinterpret_cast<uintptr_t>(cmd), 0, 24)) {
    return false;
  }
  rocrash_async_memcpy(out, static_cast<const uint8_t*>(cmd) + 8, 16);
  return true;
}

void* rocrash_async_macho_next_command(const rocrash_async_macho* image, void* previous) noexcept {
  if (image->header_size == 0) return nullptr;
  const rocrash_async_mobject* cmds = &image->load_cmds;
  if (previous == nullptr) {
    if (swap32(image, image->header.sizeofcmds) < sizeof(rocrash_async_macho_load_command)) {
      return nullptr;
    }
    if (!rocrash_async_mobject_verify_local_pointer(cmds, cmds->address, 0,
                                                    sizeof(rocrash_async_macho_load_command))) {
      return nullptr;
    }
    return reinterpret_cast<void*>(cmds->address);
  }
  auto prev = reinterpret_cast<uintptr_t>(previous);
  if (!rocrash_async_mobject_verify_local_pointer(cmds, prev, 0,
                                                  sizeof(rocrash_async_macho_load_command))) {
    return nullptr;
  }
  uint32_t cmdsize = swap32(image, load<rocrash_async_macho_load_command>(previous).cmdsize);
  if (cmdsize < sizeof(rocrash_async_macho_load_command)) return nullptr;
  uintptr_t next;
  if (__builtin_add_overflow(prev, cmdsize, &next)) return nullptr;
  if (!rocrash_async_mobject_verify_local_pointer(cmds, next, 0,
                                                  sizeof(rocrash_async_macho_load_command))) {
    return nullptr;
  }
  uint32_t nextSize =
      swap32(image, load<rocrash_async_macho_load_command>(reinterpret_cast<void*>(next)).cmdsize);
  if (!rocrash_async_mobject_verify_local_pointer(cmds, next, 0, nextSize)) return nullptr;
  return reinterpret_cast<void*>(next);
}

void* rocrash_async_macho_next_command_type(const rocrash_async_macho* image, void* previous,
                                            uint32_t type) noexcept {
  for (void* cmd = rocrash_async_macho_next_command(image, previous); cmd != nullptr;
       cmd = rocrash_async_macho_next_command(image, cmd)) {
    if (swap32(image, load<rocrash_async_macho_load_command>(cmd).cmd) == type) return cmd;
  }
  return nullptr;
}

void* rocrash_async_macho_find_command(const rocrash_async_macho* image, uint32_t type) noexcept {
  return rocrash_async_macho_next_command_type(image, nullptr, type);
}

void* rocrash_async_macho_find_segment_cmd(const rocrash_async_macho* image,
                                           const char* segname) noexcept {
  uint32_t type = image->m64 ? ROCRASH_LC_SEGMENT_64 : ROCRASH_LC_SEGMENT;
  for (void* cmd = rocrash_async_macho_next_command_type(image, nullptr, type); cmd != nullptr;
       cmd = rocrash_async_macho_next_command_type(image, cmd, type)) {
    if (!rocrash_async_mobject_verify_local_pointer(
            &image->load_cmds, reinterpret_cast<uintptr_t>(cmd), 0, segmentCommandSize(image))) {
      return nullptr;
    }
    if (rocrash_async_strncmp(static_cast<const char*>(cmd) + 8, segname, 16) == 0) return cmd;
  }
  return nullptr;
}

rocrash_error_t rocrash_async_macho_map_segment(const rocrash_async_macho* image,
                                                const char* segname,
                                                rocrash_async_macho_mapped_segment* seg) noexcept {
  void* cmd = rocrash_async_macho_find_segment_cmd(image, segname);
  if (cmd == nullptr) return ROCRASH_ERR_NOTFOUND;
  SegmentFields f = segmentFields(image, static_cast<const uint8_t*>(cmd));
  rocrash_error_t err = rocrash_async_mobject_init(
      &seg->mobj, image->task, f.vmaddr + static_cast<uint64_t>(image->vmaddr_slide), f.vmsize,
      false);
  if (err != ROCRASH_ERR_NONE) return err;
  seg->fileoff = f.fileoff;
  seg->filesize = f.filesize;
  return ROCRASH_ERR_NONE;
}

rocrash_error_t rocrash_async_macho_map_section(const rocrash_async_macho* image,
                                                const char* segname, const char* sectname,
                                                rocrash_async_mobject* mobj) noexcept {
  void* cmd = rocrash_async_macho_find_segment_cmd(image, segname);
  if (cmd == nullptr) return ROCRASH_ERR_NOTFOUND;
  SegmentFields f = segmentFields(image, static_cast<const uint8_t*>(cmd));
  uint32_t sectionSize = image->m64 ? kSection64Size : kSection32Size;
  auto first = reinterpret_cast<uintptr_t>(cmd) + segmentCommandSize(image);
  for (uint32_t i = 0; i < f.nsects; ++i) {
    uintptr_t sect = first + static_cast<uintptr_t>(i) * sectionSize;
    if (!rocrash_async_mobject_verify_local_pointer(&image->load_cmds, sect, 0, sectionSize)) {
      return ROCRASH_ERR_INVAL;
    }
    const auto* s = reinterpret_cast<const uint8_t*>(sect);
    if (rocrash_async_strncmp(reinterpret_cast<const char*>(s), sectname, 16) != 0) continue;
    uint64_t addr, size;
    if (image->m64) {
      addr = swap64(image, load<uint64_t>(s + 32));
      size = swap64(image, load<uint64_t>(s + 40));
    } else {
      addr = swap32(image, load<uint32_t>(s + 32));
      size = swap32(image, load<uint32_t>(s + 36));
    }
    return rocrash_async_mobject_init(
        mobj, image->task, addr + static_cast<uint64_t>(image->vmaddr_slide), size, true);
  }
  return ROCRASH_ERR_NOTFOUND;
}

bool rocrash_async_macho_map_frame_section(const rocrash_async_macho* image,
                                           rocrash_async_mobject* section,
                                           bool* debug_frame) noexcept {
  *debug_frame = false;
  if (image->elf != nullptr) {
    if (image->elf->ehFrameAddress == 0 || image->elf->ehFrameSize == 0) return false;
    return rocrash_async_mobject_init(section, image->task, image->elf->ehFrameAddress,
                                      image->elf->ehFrameSize, true) == ROCRASH_ERR_NONE;
  }
  if (rocrash_async_macho_map_section(image, "__TEXT", "__eh_frame", section) == ROCRASH_ERR_NONE) {
    return true;
  }
  if (rocrash_async_macho_map_section(image, "__DWARF", "__debug_frame", section) ==
      ROCRASH_ERR_NONE) {
    *debug_frame = true;
    return true;
  }
  return false;
}

void rocrash_async_macho_mapped_segment_free(rocrash_async_macho_mapped_segment* seg) noexcept {
  rocrash_async_mobject_free(&seg->mobj);
}

rocrash_error_t rocrash_async_macho_symtab_reader_init(rocrash_async_macho_symtab_reader* reader,
                                                       rocrash_async_macho* image) noexcept {
  rocrash_async_memset(reader, 0, sizeof *reader);
  reader->image = image;
  void* symtabCmd = rocrash_async_macho_find_command(image, ROCRASH_LC_SYMTAB);
  if (symtabCmd == nullptr ||
      !rocrash_async_mobject_verify_local_pointer(&image->load_cmds,
                                                  reinterpret_cast<uintptr_t>(symtabCmd), 0, 24)) {
    return ROCRASH_ERR_NOTFOUND;
  }
  void* dysymtabCmd = rocrash_async_macho_find_command(image, ROCRASH_LC_DYSYMTAB);
  if (dysymtabCmd != nullptr &&
      !rocrash_async_mobject_verify_local_pointer(
          &image->load_cmds, reinterpret_cast<uintptr_t>(dysymtabCmd), 0, 24)) {
    dysymtabCmd = nullptr;
  }
  if (rocrash_async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit) != ROCRASH_ERR_NONE) {
    return ROCRASH_ERR_INTERNAL;
  }
  const auto* st = static_cast<const uint8_t*>(symtabCmd);
  uint32_t symoff = swap32(image, load<uint32_t>(st + 8));
  uint32_t nsyms = swap32(image, load<uint32_t>(st + 12));
  uint32_t stroff = swap32(image, load<uint32_t>(st + 16));
  uint32_t strsize = swap32(image, load<uint32_t>(st + 20));
  uint64_t entrySize = image->m64 ? kNlist64Size : kNlist32Size;
  const rocrash_async_mobject* m = &reader->linkedit.mobj;
  uint64_t fileoff = reader->linkedit.fileoff;
  void* symtab = nullptr;
  void* strings = nullptr;
  if (symoff >= fileoff && stroff >= fileoff) {
    symtab = rocrash_async_mobject_remap_address(
        m, m->task_address, static_cast<int64_t>(symoff - fileoff), nsyms * entrySize);
    strings = rocrash_async_mobject_remap_address(m, m->task_address,
                                                  static_cast<int64_t>(stroff - fileoff), strsize);
  }
  if (symtab == nullptr || strings == nullptr) {
    rocrash_async_macho_mapped_segment_free(&reader->linkedit);
    return ROCRASH_ERR_INTERNAL;
  }
  reader->symtab = symtab;
  reader->nsyms = nsyms;
  reader->string_table = static_cast<char*>(strings);
  reader->string_table_size = strsize;
  if (dysymtabCmd != nullptr) {
    const auto* dy = static_cast<const uint8_t*>(dysymtabCmd);
    uint64_t ilocal = swap32(image, load<uint32_t>(dy + 8));
    uint64_t nlocal = swap32(image, load<uint32_t>(dy + 12));
    uint64_t iextdef = swap32(image, load<uint32_t>(dy + 16));
    uint64_t nextdef = swap32(image, load<uint32_t>(dy + 20));
    if (iextdef + nextdef > nsyms || ilocal + nlocal > nsyms) {
      rocrash_async_macho_mapped_segment_free(&reader->linkedit);
      return ROCRASH_ERR_INVAL;
    }
    reader->symtab_global = static_cast<uint8_t*>(symtab) + iextdef * entrySize;
    reader->nsyms_global = static_cast<uint32_t>(nextdef);
    reader->symtab_local = static_cast<uint8_t*>(symtab) + ilocal * entrySize;
    reader->nsyms_local = static_cast<uint32_t>(nlocal);
  }
  return ROCRASH_ERR_NONE;
}

rocrash_async_macho_symtab_entry rocrash_async_macho_symtab_reader_read(
    const rocrash_async_macho_symtab_reader* reader, void* symtab, uint32_t index) noexcept {
  const rocrash_async_macho* image = reader->image;
  const uint8_t* p =
      static_cast<const uint8_t*>(symtab) + index * (image->m64 ? kNlist64Size : kNlist32Size);
  rocrash_async_macho_symtab_entry e;
  e.n_strx = swap32(image, load<uint32_t>(p));
  e.n_type = p[4];
  e.n_sect = p[5];
  e.n_desc = image->byteorder->swap16(load<uint16_t>(p + 6));
  e.n_value =
      image->m64 ? swap64(image, load<uint64_t>(p + 8)) : swap32(image, load<uint32_t>(p + 8));
  e.normalized_value = (e.n_desc & kThumbDefinition) ? (e.n_value | 1) : e.n_value;
  return e;
}

const char* rocrash_async_macho_symtab_reader_symbol_name(
    const rocrash_async_macho_symtab_reader* reader, uint32_t n_strx) noexcept {
  if (n_strx >= reader->string_table_size) return nullptr;
  for (uint32_t i = n_strx; i < reader->string_table_size; ++i) {
    if (reader->string_table[i] == '\0') return reader->string_table + n_strx;
  }
  return nullptr;
}

void rocrash_async_macho_symtab_reader_free(rocrash_async_macho_symtab_reader* reader) noexcept {
  rocrash_async_macho_mapped_segment_free(&reader->linkedit);
}

namespace {

bool isSectionSymbol(const rocrash_async_macho_symtab_entry& e) {
  return (e.n_type & kSymbolTypeMask) == kSymbolInSection;
}

// Keeps the entry with the greatest value at most `pc`; of equal values the
// first one found stays.
void searchTable(const rocrash_async_macho_symtab_reader* reader, void* table, uint32_t count,
                 uint64_t pc, bool* found, rocrash_async_macho_symtab_entry* best) {
  for (uint32_t i = 0; i < count; ++i) {
    rocrash_async_macho_symtab_entry e = rocrash_async_macho_symtab_reader_read(reader, table, i);
    if (!isSectionSymbol(e) || e.n_value > pc) continue;
    if (!*found || e.n_value > best->n_value) {
      *best = e;
      *found = true;
    }
  }
}

// An ELF name handed out with the leading "_" of Mach-O symbol names.
constexpr size_t kElfNameBuffer = 512;

// Copies the name at `address` (at most `room` bytes up to its end) into
// `out` after a "_", page piece by page piece through checked reads: the file
// or object holding it may have become unreadable since it was listed (a
// file cut short in place), and a name that runs into such a page ends
// there.
void copyElfName(sys::task_t task, uint64_t address, size_t room, char (&out)[kElfNameBuffer]) {
  out[0] = '_';
  size_t length = 1;
  while (length + 1 < kElfNameBuffer && room > 0) {
    const uint64_t pageEnd = (address | (ROCRASH_ASYNC_READ_CACHE_PAGE_SIZE - 1)) + 1;
    size_t piece = static_cast<size_t>(pageEnd - address);
    piece = piece < room ? piece : room;
    if (piece > kElfNameBuffer - 1 - length) piece = kElfNameBuffer - 1 - length;
    if (rocrash_async_task_read(task, address, 0, out + length, piece) != ROCRASH_ERR_NONE) break;
    for (size_t i = 0; i < piece; ++i) {
      if (out[length + i] == '\0') return;
    }
    length += piece;
    address += piece;
    room -= piece;
  }
  out[length] = '\0';
}

}  // namespace

rocrash_error_t rocrash_async_macho_find_symbol_by_pc(rocrash_async_macho* image,
                                                      rocrash_vm_address_t pc,
                                                      rocrash_async_macho_found_symbol_cb callback,
                                                      void* ctx) noexcept {
  if (image->elf != nullptr) {
    uint64_t start = 0;
    const char* name = nullptr;
    size_t room = 0;
    if (!sys::elf_image_symbol_for_pc(image->elf, pc, &start, &name, &room)) {
      return ROCRASH_ERR_NOTFOUND;
    }
    char buffer[kElfNameBuffer];
    copyElfName(image->task, reinterpret_cast<uint64_t>(name), room, buffer);
    if (buffer[1] == '\0') return ROCRASH_ERR_NOTFOUND;  // not readable now
    callback(start, buffer, ctx);
    return ROCRASH_ERR_NONE;
  }
  rocrash_async_macho_symtab_reader reader;
  rocrash_error_t err = rocrash_async_macho_symtab_reader_init(&reader, image);
  if (err != ROCRASH_ERR_NONE) return err;
  uint64_t unslid = pc - static_cast<uint64_t>(image->vmaddr_slide);
  bool found = false;
  rocrash_async_macho_symtab_entry best = {};
  if (reader.symtab_global != nullptr && reader.symtab_local != nullptr) {
    searchTable(&reader, reader.symtab_global, reader.nsyms_global, unslid, &found, &best);
    searchTable(&reader, reader.symtab_local, reader.nsyms_local, unslid, &found, &best);
  } else {
    searchTable(&reader, reader.symtab, reader.nsyms, unslid, &found, &best);
  }
  if (!found) {
    err = ROCRASH_ERR_NOTFOUND;
  } else if (const char* name =
                 rocrash_async_macho_symtab_reader_symbol_name(&reader, best.n_strx)) {
    callback(best.normalized_value + static_cast<uint64_t>(image->vmaddr_slide), name, ctx);
    err = ROCRASH_ERR_NONE;
  } else {
    err = ROCRASH_ERR_INVAL;
  }
  rocrash_async_macho_symtab_reader_free(&reader);
  return err;
}

rocrash_error_t rocrash_async_macho_find_symbol_by_name(rocrash_async_macho* image,
                                                        const char* name,
                                                        rocrash_vm_address_t* result) noexcept {
  if (image->elf != nullptr) {
    const char* bare = name[0] == '_' ? name + 1 : name;
    return sys::elf_image_symbol_by_name(image->elf, bare, result) ? ROCRASH_ERR_NONE
                                                                   : ROCRASH_ERR_NOTFOUND;
  }
  rocrash_async_macho_symtab_reader reader;
  rocrash_error_t err = rocrash_async_macho_symtab_reader_init(&reader, image);
  if (err != ROCRASH_ERR_NONE) return err;
  err = ROCRASH_ERR_NOTFOUND;
  for (uint32_t i = 0; i < reader.nsyms; ++i) {
    rocrash_async_macho_symtab_entry e =
        rocrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
    if (!isSectionSymbol(e)) continue;
    const char* candidate = rocrash_async_macho_symtab_reader_symbol_name(&reader, e.n_strx);
    if (candidate != nullptr && rocrash_async_strcmp(candidate, name) == 0) {
      *result = e.normalized_value + static_cast<uint64_t>(image->vmaddr_slide);
      err = ROCRASH_ERR_NONE;
      break;
    }
  }
  rocrash_async_macho_symtab_reader_free(&reader);
  return err;
}

rocrash_error_t rocrash_async_macho_string_init(rocrash_async_macho_string* string,
                                                rocrash_async_macho* image,
                                                rocrash_vm_address_t address) noexcept {
  rocrash_async_memset(string, 0, sizeof *string);
  string->image = image;
  string->address = address;
  return ROCRASH_ERR_NONE;
}

namespace {

// Maps one page, then two, three, ... until the terminating zero is inside.
rocrash_error_t mapString(rocrash_async_macho_string* string) {
  if (string->mapped) return ROCRASH_ERR_NONE;
  rocrash_vm_size_t scanned = 0;
  for (rocrash_vm_size_t pages = 1;; ++pages) {
    rocrash_error_t err = rocrash_async_mobject_init(
        &string->mobj, string->image->task, string->address, pages * sys::vm_page_size(), false);
    if (err != ROCRASH_ERR_NONE) return err;
    if (string->mobj.length <= scanned) {
      rocrash_async_mobject_free(&string->mobj);
      return ROCRASH_ERR_INVAL;
    }
    for (; scanned < string->mobj.length; ++scanned) {
      auto* p = static_cast<const char*>(rocrash_async_mobject_remap_address(
          &string->mobj, string->address, static_cast<int64_t>(scanned), 1));
      if (p == nullptr) break;
      if (*p == '\0') {
        string->length = scanned;
        string->mapped = true;
        return ROCRASH_ERR_NONE;
      }
    }
    rocrash_async_mobject_free(&string->mobj);
  }
}

}  // namespace

rocrash_error_t rocrash_async_macho_string_get_length(rocrash_async_macho_string* string,
                                                      rocrash_vm_size_t* result) noexcept {
  rocrash_error_t err = mapString(string);
  if (err != ROCRASH_ERR_NONE) return err;
  *result = string->length;
  return ROCRASH_ERR_NONE;
}

rocrash_error_t rocrash_async_macho_string_get_pointer(rocrash_async_macho_string* string,
                                                       const char** result) noexcept {
  rocrash_error_t err = mapString(string);
  if (err != ROCRASH_ERR_NONE) return err;
  void* p =
      rocrash_async_mobject_remap_address(&string->mobj, string->address, 0, string->length + 1);
  if (p == nullptr) return ROCRASH_ERR_ACCESS;
  *result = static_cast<const char*>(p);
  return ROCRASH_ERR_NONE;
}

void rocrash_async_macho_string_free(rocrash_async_macho_string* string) noexcept {
  if (string->mapped) rocrash_async_mobject_free(&string->mobj);
  string->mapped = false;
}
