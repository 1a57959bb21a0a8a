#pragma once

#include <cstddef>
#include <cstdint>

// What the crash engine's image record needs of a loaded ELF object: its
// header and text span, slide, build id, unwind tables and symbols.
//
// Everything is read from the object as the loader laid it out in memory:
// the program headers give the text span, the build id note and the
// `.eh_frame_hdr` segment (which points at `.eh_frame`); the dynamic section
// gives `.dynsym` with its string table (its size from the hash tables). The
// object's file is read only for what memory does not hold, `.symtab` (and
// `.eh_frame` for an object linked without `.eh_frame_hdr`), and only when it
// is verifiably the file that was loaded: the same build id, or, for an
// object without one, the same file (device and inode) as the mapping. A file
// deleted or replaced since (a package upgrade) is never trusted; the
// program's own file is reached through /proc/self/exe, which names the file
// that was executed even then.
//
// Set-up runs at a sync point (it reads files and allocates) and builds the
// symbol index: the address space of the image cut into spans, each naming
// the symbol a pc in it belongs to, sorted, so that a lookup is a binary
// search. The index has at most two spans per symbol, whatever sizes the
// tables claim: a symbol covers only addresses of its image's mapped range,
// and one whose size runs past that range (a damaged or hostile table) ends
// where the next symbol starts. Every query afterwards is async-signal-safe
// and reads only what set-up prepared.
namespace sys {

struct ElfSymbolTable {
  const void* symbols = nullptr;  // Elf64_Sym entries
  size_t count = 0;
  const char* strings = nullptr;
  size_t stringsSize = 0;
};

// A piece of the image's address space and the symbol that covers it.
struct ElfSymbolSpan {
  uint64_t from;    // runtime address
  uint64_t start;   // the symbol's runtime address (at or below `from`)
  uint64_t length;  // bytes from `from`
  uint32_t name;    // bit 31: in tables[1]; below: the offset in that table's strings
};

struct ElfImage {
  uint64_t headerAddress = 0;
  int64_t slide = 0;       // load bias: runtime address minus link-time address
  uint64_t textStart = 0;  // start of the first executable segment (runtime)
  uint64_t textEnd = 0;    // end of the last executable segment (runtime)
  uint64_t mappedEnd = 0;  // end of the last loadable segment (runtime)
  uint8_t uuid[16] = {};
  bool hasUuid = false;         // the first 16 bytes of the GNU build id
  uint64_t ehFrameAddress = 0;  // runtime address of .eh_frame, 0 when absent
  uint64_t ehFrameSize = 0;     // through its terminator, or its last whole entry
  // The loaded search table over .eh_frame (the PT_GNU_EH_FRAME segment,
  // `.eh_frame_hdr`), 0 when the object has none.
  uint64_t ehFrameHdrAddress = 0;
  uint64_t ehFrameHdrSize = 0;
  ElfSymbolTable tables[2];  // .symtab (from a verified file), .dynsym (loaded)
  // The symbol index, by `from`; spans do not overlap. Null when the image
  // has no named symbol (or there was no memory for it).
  ElfSymbolSpan* spans = nullptr;
  size_t spanCount = 0;
  const void* fileMapping = nullptr;
  size_t fileMappingSize = 0;
  // Set up at crash time (elf_image_init_from_loader): there is no index, and a
  // symbol lookup scans `.dynsym` in place instead.
  bool scansDynamicSymbols = false;
};

// Reads the loaded object whose ELF header is at `headerAddress` (in this
// process); `path` names its file, for `.symtab`. False when the header is not
// a 64-bit x86-64 ELF header or has no executable segment; a missing,
// unreadable, deleted or replaced file only loses `.symtab` (and what memory
// does not hold). Not async-signal-safe.
bool elf_image_init(ElfImage* image, uint64_t headerAddress, const char* path);
void elf_image_free(ElfImage* image);

// Reads, at crash time, the object holding `address` that no sync has listed
// yet: one the loader is still opening, whose constructors run before the
// dlopen that loads it returns, or one loaded past the program's dlopen. The
// loader's own record for unwinders, which it keeps without a lock from
// before those constructors run, gives the object; its header, text span,
// build id, unwind tables and `.dynsym` are then read from memory as above,
// through checked reads. No file, no symbol index: lookups scan `.dynsym`.
// `*pathAddress` is where the loader keeps the object's path (0 when it
// keeps none): read it with checked reads too. Async-signal-safe: no heap,
// no lock (the loader's lock may be held by the crashed thread). False when
// the loader knows no object there, or it is not one elf_image_init would
// read. Needs no free.
bool elf_image_init_from_loader(ElfImage* image, uint64_t address, uint64_t* pathAddress);

// The defined function or object symbol covering `pc` (runtime address):
// value <= pc < value + size, a symbol of size 0 covering only its own
// address, within the image's mapped range (see above for a size that runs
// past it). Of several, the one that starts last; of those starting together,
// a global one before a local one, then the first in table order (`.symtab`
// before `.dynsym`). Symbols without a name are passed over. `*name` points at the name in its
// string table, where the file or the object may have become unreadable since set-up (a file cut
// short in place): callers at crash time copy it with checked reads, at most `*nameRoom` bytes (to
// the table's end; the name ends within it when it is readable). Async-signal-safe: a binary search
// over the index.
bool elf_image_symbol_for_pc(const ElfImage* image, uint64_t pc, uint64_t* start, const char** name,
                             size_t* nameRoom);
// The runtime address of the first defined symbol named `name`. Not for
// crash time (a walk over both tables, `.dynsym` through a copy).
bool elf_image_symbol_by_name(const ElfImage* image, const char* name, uint64_t* address);

}  // namespace sys
