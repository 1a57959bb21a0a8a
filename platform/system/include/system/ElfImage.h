#pragma once

#include <cstddef>
#include <cstdint>

// What the crash engine's image record needs of a loaded ELF object: its
// header and text span, slide, build id and symbols. Set up at a sync point
// (it maps the object's file to reach `.symtab`); every query afterwards is
// async-signal-safe and reads only what set-up prepared.
namespace sys {

struct ElfSymbolTable {
  const void* symbols = nullptr;  // Elf64_Sym entries
  size_t count = 0;
  const char* strings = nullptr;
  size_t stringsSize = 0;
};

struct ElfImage {
  uint64_t headerAddress = 0;
  int64_t slide = 0;       // load bias: runtime address minus link-time address
  uint64_t textEnd = 0;    // end of the last executable segment (runtime)
  uint64_t mappedEnd = 0;  // end of the last loadable segment (runtime)
  uint8_t uuid[16] = {};
  bool hasUuid = false;         // the first 16 bytes of the GNU build id
  uint64_t ehFrameAddress = 0;  // runtime address of .eh_frame, 0 when absent
  uint64_t ehFrameSize = 0;
  // The loaded search table over .eh_frame (the PT_GNU_EH_FRAME segment,
  // `.eh_frame_hdr`), 0 when the object has none.
  uint64_t ehFrameHdrAddress = 0;
  uint64_t ehFrameHdrSize = 0;
  ElfSymbolTable tables[2];  // .symtab (from the file), .dynsym
  const void* fileMapping = nullptr;
  size_t fileMappingSize = 0;
};

// Reads the loaded object whose ELF header is at `headerAddress` (in this
// process) and the file at `path` for its section headers. False when the
// header is not a 64-bit x86-64 ELF header; a missing or mismatched file only
// loses `.symtab` and `.eh_frame`.
bool elf_image_init(ElfImage* image, uint64_t headerAddress, const char* path);
void elf_image_free(ElfImage* image);

// The defined function or object symbol covering `pc` (runtime address):
// value <= pc < value + size. A symbol of size 0 covers only its own
// address. Ties keep the first symbol found (`.symtab` before `.dynsym`).
// Async-signal-safe.
bool elf_image_symbol_for_pc(const ElfImage* image, uint64_t pc, uint64_t* start,
                             const char** name);
// The runtime address of the first defined symbol named `name`.
bool elf_image_symbol_by_name(const ElfImage* image, const char* name, uint64_t* address);

}  // namespace sys
