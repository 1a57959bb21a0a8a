#pragma once

#include <cstdint>

#include "safe/AsyncMObject.h"
#include "system/ElfImage.h"
#include "unwind/AsyncDwarfFdeIndex.h"

// The image record of every listed image, and the readers over it. Mach-O
// images (32/64-bit, either byte order) are read as the loader laid them out;
// the host's ELF objects come through an adapter that fills the same record
// (header, text span, slide, CPU type x86-64) and answers symbol queries.
// Everything but init/free is async-signal-safe.

inline constexpr uint32_t ROCRASH_MH_MAGIC = 0xFEEDFACE;
inline constexpr uint32_t ROCRASH_MH_CIGAM = 0xCEFAEDFE;
inline constexpr uint32_t ROCRASH_MH_MAGIC_64 = 0xFEEDFACF;
inline constexpr uint32_t ROCRASH_MH_CIGAM_64 = 0xCFFAEDFE;
inline constexpr uint32_t ROCRASH_LC_SEGMENT = 0x1;
inline constexpr uint32_t ROCRASH_LC_SYMTAB = 0x2;
inline constexpr uint32_t ROCRASH_LC_DYSYMTAB = 0xB;
inline constexpr uint32_t ROCRASH_LC_SEGMENT_64 = 0x19;
inline constexpr uint32_t ROCRASH_LC_UUID = 0x1B;
// The subtype of the host's records (ROCRASH_CPU_TYPE_X86_64, AsyncThreadState.h).
inline constexpr uint32_t ROCRASH_CPU_SUBTYPE_X86_64_ALL = 3;

// The first 28 bytes of a Mach header, in file byte order.
struct rocrash_async_mach_header {
  uint32_t magic;
  uint32_t cputype;
  uint32_t cpusubtype;
  uint32_t filetype;
  uint32_t ncmds;
  uint32_t sizeofcmds;
  uint32_t flags;
};

// A load command's common prefix.
struct rocrash_async_macho_load_command {
  uint32_t cmd;
  uint32_t cmdsize;
};

struct rocrash_async_image_list_entry;

struct rocrash_async_macho {
  sys::task_t task;
  rocrash_vm_address_t header_addr;
  int64_t vmaddr_slide;  // header address minus the text segment's vmaddr
  char* name;            // heap copy of the image path
  rocrash_async_mach_header header;
  uint32_t header_size;  // 28 or 32; 0 for ELF images
  uint32_t ncmds;        // host order
  rocrash_async_mobject load_cmds;
  rocrash_vm_address_t text_vmaddr;
  rocrash_vm_size_t text_size;
  bool m64;
  const rocrash_async_byteorder* byteorder;
  sys::ElfImage* elf;  // set for ELF images; no load commands then
  // Where the FDE of a pc lies in the call-frame section (empty: the walk).
  rocrash_async_dwarf_fde_index fde_index;
  // The image list entry that held this record when a walk last visited it.
  rocrash_async_image_list_entry* list_entry;
};

struct rocrash_async_macho_mapped_segment {
  rocrash_async_mobject mobj;
  uint64_t fileoff;
  uint64_t filesize;
};

struct rocrash_async_macho_symtab_reader {
  rocrash_async_macho* image;
  rocrash_async_macho_mapped_segment linkedit;
  void* symtab;  // local pointers into the mapped segment
  uint32_t nsyms;
  void* symtab_global;
  uint32_t nsyms_global;
  void* symtab_local;
  uint32_t nsyms_local;
  char* string_table;
  uint32_t string_table_size;
};

struct rocrash_async_macho_symtab_entry {
  uint32_t n_strx;
  uint8_t n_type;
  uint8_t n_sect;
  uint16_t n_desc;
  uint64_t n_value;
  uint64_t normalized_value;  // n_value with bit 0 set for Thumb definitions
};

struct rocrash_async_macho_string {
  rocrash_async_macho* image;
  rocrash_vm_address_t address;
  rocrash_async_mobject mobj;
  bool mapped;
  rocrash_vm_size_t length;
};

// Reads the image whose header is at `header` in `task`; allocates (the name
// copy, and the ELF adapter for ELF images), so never at crash time.
// ROCRASH_ERR_INTERNAL: header unreadable; ROCRASH_ERR_INVAL: not a Mach-O
// or ELF image, damaged load commands, or no "__TEXT" segment. On failure
// nothing stays allocated.
rocrash_error_t rocrash_async_macho_init(rocrash_async_macho* image, sys::task_t task,
                                         const char* name, rocrash_vm_address_t header) noexcept;
void rocrash_async_macho_free(rocrash_async_macho* image) noexcept;
// Fills `image` at crash time for the ELF object of this process holding
// `address` that no image notice has listed (see
// sys::elf_image_init_from_loader), with `elf` as its adapter; `*pathAddress`
// is where the loader keeps its path (0: nowhere), for the caller to copy
// with checked reads and point `name` at. The record has an empty name and no
// built index; nothing is allocated and nothing is to be freed.
// Async-signal-safe. False when the loader knows no such object.
bool rocrash_async_macho_init_from_loader(rocrash_async_macho* image, sys::ElfImage* elf,
                                          sys::task_t task, rocrash_vm_address_t address,
                                          uint64_t* pathAddress) noexcept;

const rocrash_async_byteorder* rocrash_async_macho_byteorder(
    const rocrash_async_macho* image) noexcept;
const rocrash_async_mach_header* rocrash_async_macho_header(
    const rocrash_async_macho* image) noexcept;
uint32_t rocrash_async_macho_header_size(const rocrash_async_macho* image) noexcept;
uint32_t rocrash_async_macho_cpu_type(const rocrash_async_macho* image) noexcept;
uint32_t rocrash_async_macho_cpu_subtype(const rocrash_async_macho* image) noexcept;
bool rocrash_async_macho_contains_address(const rocrash_async_macho* image,
                                          rocrash_vm_address_t address) noexcept;
// Whether `address` lies in the image's code: its "__TEXT" segment, or for
// an ELF image its executable segments (not the headers and tables before).
bool rocrash_async_macho_code_contains_address(const rocrash_async_macho* image,
                                               rocrash_vm_address_t address) noexcept;
// The image's UUID: the LC_UUID bytes, or the first 16 bytes of an ELF
// object's build id. False when it has none.
bool rocrash_async_macho_uuid(const rocrash_async_macho* image, uint8_t out[16]) noexcept;

void* rocrash_async_macho_next_command(const rocrash_async_macho* image, void* previous) noexcept;
void* rocrash_async_macho_next_command_type(const rocrash_async_macho* image, void* previous,
                                            uint32_t type) noexcept;
void* rocrash_async_macho_find_command(const rocrash_async_macho* image, uint32_t type) noexcept;
void* rocrash_async_macho_find_segment_cmd(const rocrash_async_macho* image,
                                           const char* segname) noexcept;

rocrash_error_t rocrash_async_macho_map_segment(const rocrash_async_macho* image,
                                                const char* segname,
                                                rocrash_async_macho_mapped_segment* seg) noexcept;
// Maps the image's call-frame section: "__TEXT","__eh_frame", else
// "__DWARF","__debug_frame" (`*debug_frame` set) for Mach-O images;
// `.eh_frame` for ELF images. False when there is none or it is not readable.
bool rocrash_async_macho_map_frame_section(const rocrash_async_macho* image,
                                           rocrash_async_mobject* section,
                                           bool* debug_frame) noexcept;

rocrash_error_t rocrash_async_macho_map_section(const rocrash_async_macho* image,
                                                const char* segname, const char* sectname,
                                                rocrash_async_mobject* mobj) noexcept;
void rocrash_async_macho_mapped_segment_free(rocrash_async_macho_mapped_segment* seg) noexcept;

rocrash_error_t rocrash_async_macho_symtab_reader_init(rocrash_async_macho_symtab_reader* reader,
                                                       rocrash_async_macho* image) noexcept;
rocrash_async_macho_symtab_entry rocrash_async_macho_symtab_reader_read(
    const rocrash_async_macho_symtab_reader* reader, void* symtab, uint32_t index) noexcept;
const char* rocrash_async_macho_symtab_reader_symbol_name(
    const rocrash_async_macho_symtab_reader* reader, uint32_t n_strx) noexcept;
void rocrash_async_macho_symtab_reader_free(rocrash_async_macho_symtab_reader* reader) noexcept;

using rocrash_async_macho_found_symbol_cb = void (*)(rocrash_vm_address_t address, const char* name,
                                                     void* ctx);
// Calls `callback` once for the symbol covering `pc`; ROCRASH_ERR_NOTFOUND
// when none does. ELF symbol names get a leading "_".
rocrash_error_t rocrash_async_macho_find_symbol_by_pc(rocrash_async_macho* image,
                                                      rocrash_vm_address_t pc,
                                                      rocrash_async_macho_found_symbol_cb callback,
                                                      void* ctx) noexcept;
rocrash_error_t rocrash_async_macho_find_symbol_by_name(rocrash_async_macho* image,
                                                        const char* name,
                                                        rocrash_vm_address_t* result) noexcept;

// A string in the task, mapped on first use.
rocrash_error_t rocrash_async_macho_string_init(rocrash_async_macho_string* string,
                                                rocrash_async_macho* image,
                                                rocrash_vm_address_t address) noexcept;
rocrash_error_t rocrash_async_macho_string_get_length(rocrash_async_macho_string* string,
                                                      rocrash_vm_size_t* result) noexcept;
rocrash_error_t rocrash_async_macho_string_get_pointer(rocrash_async_macho_string* string,
                                                       const char** result) noexcept;
void rocrash_async_macho_string_free(rocrash_async_macho_string* string) noexcept;
