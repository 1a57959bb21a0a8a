// Feeds an image laid in memory to the Mach-O reader, as a crashed process's
// damaged image would be read: header, load commands, segments, sections,
// the symbol table, symbol lookups and lazily mapped strings. Nothing may
// crash, hang or read outside what the reader found readable.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "InputMemory.h"
#include "images/AsyncMachO.h"

namespace {

void noteSymbol(rocrash_vm_address_t, const char* name, void* ctx) {
  // Touch the whole name, as the report writer does.
  size_t length = 0;
  while (name[length] != '\0') ++length;
  *static_cast<size_t*>(ctx) += length;
}

void readString(rocrash_async_macho* image, rocrash_vm_address_t address) {
  rocrash_async_macho_string string;
  if (rocrash_async_macho_string_init(&string, image, address) != ROCRASH_ERR_NONE) return;
  const char* text = nullptr;
  rocrash_vm_size_t length = 0;
  if (rocrash_async_macho_string_get_length(&string, &length) == ROCRASH_ERR_NONE &&
      rocrash_async_macho_string_get_pointer(&string, &text) == ROCRASH_ERR_NONE &&
      text[length] != '\0') {
    __builtin_trap();
  }
  rocrash_async_macho_string_free(&string);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint64_t header = fuzzing::InputMemory::shared().lay(data, size);
  rocrash_async_macho image;
  if (rocrash_async_macho_init(&image, sys::mach_task_self(), "", header) != ROCRASH_ERR_NONE) {
    return 0;
  }
  (void)rocrash_async_macho_cpu_type(&image);
  (void)rocrash_async_macho_cpu_subtype(&image);
  uint8_t uuid[16];
  (void)rocrash_async_macho_uuid(&image, uuid);

  for (void* cmd = rocrash_async_macho_next_command(&image, nullptr); cmd != nullptr;
       cmd = rocrash_async_macho_next_command(&image, cmd)) {
  }
  for (const char* segment : {"__TEXT", "__DATA", "__LINKEDIT", "__OBJC"}) {
    rocrash_async_macho_mapped_segment mapped;
    if (rocrash_async_macho_map_segment(&image, segment, &mapped) == ROCRASH_ERR_NONE) {
      rocrash_async_macho_mapped_segment_free(&mapped);
    }
  }
  static const char* const kSections[][2] = {{"__TEXT", "__text"},
                                             {"__TEXT", "__unwind_info"},
                                             {"__TEXT", "__eh_frame"},
                                             {"__DATA", "__objc_classlist"}};
  for (const auto& section : kSections) {
    rocrash_async_mobject mobj;
    if (rocrash_async_macho_map_section(&image, section[0], section[1], &mobj) ==
        ROCRASH_ERR_NONE) {
      rocrash_async_mobject_free(&mobj);
    }
  }

  size_t total = 0;
  rocrash_async_macho_symtab_reader reader;
  if (rocrash_async_macho_symtab_reader_init(&reader, &image) == ROCRASH_ERR_NONE) {
    uint32_t count = reader.nsyms < 256 ? reader.nsyms : 256;
    for (uint32_t i = 0; i < count; ++i) {
      auto entry = rocrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
      if (const char* name = rocrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx)) {
        noteSymbol(entry.n_value, name, &total);
      }
    }
    rocrash_async_macho_symtab_reader_free(&reader);
  }

  const uint64_t text = image.text_size;
  for (uint64_t offset : {uint64_t{0}, text / 3, text / 2, text > 0 ? text - 1 : 0}) {
    (void)rocrash_async_macho_find_symbol_by_pc(&image, header + offset, noteSymbol, &total);
  }
  rocrash_vm_address_t address;
  (void)rocrash_async_macho_find_symbol_by_name(&image, "_main", &address);

  // The first load command's name field, and a string that starts in the
  // last bytes of the input.
  readString(&image, header + rocrash_async_macho_header_size(&image) + 8);
  if (size > 4) readString(&image, header + size - 4);
  rocrash_async_macho_free(&image);
  return 0;
}
