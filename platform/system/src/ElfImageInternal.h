#pragma once

#include <elf.h>

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

// A checked read of the own memory.
bool readOwn(uint64_t address, void* out, size_t size);
// Reads the ELF header at `address`: true when it is a 64-bit x86-64 one
// whose program headers this reader understands.
bool readOwnElfHeader(uint64_t address, Elf64_Ehdr* eh);
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
