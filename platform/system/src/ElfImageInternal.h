#pragma once

#include <elf.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "system/ElfImage.h"

// What the set-up of an ELF image (ElfImage.cpp) and the reading of a loaded
// object from its memory alone (ElfImageMemory.cpp) share. Everything here is async-signal-safe.
namespace sys::detail {

// Names in the symbol index carry this bit when they are in tables[1].
inline constexpr uint32_t kDynamicTableBit = uint32_t{1} << 31;
// The longest `.eh_frame` believed.
inline constexpr uint64_t kMaxFrameSection = uint64_t{1} << 30;
// Real objects carry a few notes; a damaged header must not send a scan
// through all the readable memory of the process.
inline constexpr uint64_t kMaxNoteBytes = 64 * 1024;
inline constexpr size_t kMaxBuildId = 64;

// A checked read of the own memory.
bool readOwn(uint64_t address, void* out, size_t size);
// Reads the ELF header at `address`: true when it is a 64-bit x86-64 one
// whose program headers this reader understands.
bool readOwnElfHeader(uint64_t address, Elf64_Ehdr* eh);
// Walks the program headers of the object whose header `eh` was read at
// `image->headerAddress`: sets its slide, mapped and text ranges and the
// place of its search table, and hands every header with its run-time start
// to `each`. False when a header cannot be read, or no loadable segment holds
// code after the header.
template <class Each>
bool readProgramHeaders(ElfImage* image, const Elf64_Ehdr& eh, Each&& each) {
  const uint64_t phdrs = image->headerAddress + eh.e_phoff;
  bool haveSlide = false;
  for (unsigned i = 0; i < eh.e_phnum; ++i) {
    Elf64_Phdr ph;
    if (!readOwn(phdrs + i * sizeof ph, &ph, sizeof ph)) return false;
    if (ph.p_type == PT_LOAD && !haveSlide) {
      // The first loadable segment holds the header at its file offset.
      image->slide = static_cast<int64_t>(image->headerAddress - (ph.p_vaddr - ph.p_offset));
      haveSlide = true;
    }
    const uint64_t start = ph.p_vaddr + static_cast<uint64_t>(image->slide);
    if (ph.p_type == PT_LOAD) {
      image->mappedEnd = std::max(image->mappedEnd, start + ph.p_memsz);
      if (ph.p_flags & PF_X) {
        image->textEnd = std::max(image->textEnd, start + ph.p_memsz);
        if (image->textStart == 0 || start < image->textStart) image->textStart = start;
      }
    } else if (ph.p_type == PT_GNU_EH_FRAME) {
      image->ehFrameHdrAddress = start;
      image->ehFrameHdrSize = ph.p_memsz;
    }
    each(ph, start);
  }
  return haveSlide && image->textEnd > image->headerAddress;
}
// The GNU build id among the notes of the segment at `start` (`size` bytes
// loaded), copied into `out` (room for kMaxBuildId bytes): its length, 0
// when there is none of 16 bytes or more.
size_t readBuildIdNote(uint64_t start, uint64_t size, uint8_t* out);
// How many of the `size` bytes from `address` on are readable.
uint64_t readableBytes(uint64_t address, uint64_t size);
// A pointer of `.eh_frame_hdr` at `at`, in the encodings linkers write there;
// `*size` is the bytes it takes.
bool readEncodedPointer(uint64_t at, uint8_t encoding, uint64_t dataBase, uint64_t* value,
                        size_t* size);
// Sets tables[1] of `image` (its header address, slide and any file mapping
// set) from the loaded dynamic section at `dynamicAddress`.
void readDynamicSymbols(ElfImage* image, uint64_t dynamicAddress);
// Whether the index takes `sym`: a defined function, object or untyped
// symbol with an address.
bool usable(const Elf64_Sym& sym);
// elf_image_symbol_for_pc for an image read at crash time.
bool scan_dynamic_symbols(const ElfImage* image, uint64_t pc, uint64_t* start, const char** name,
                          size_t* nameRoom);

}  // namespace sys::detail
