#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <string.h>

#include <algorithm>

#include "ElfImageInternal.h"
#include "system/ElfImage.h"

// What is read of a loaded object from its memory alone, with checked reads
// and no heap or lock: its build id and `.dynsym` (set-up reads them so
// too), and the whole of an object the loader has that no sync has listed,
// at crash time.
namespace sys {
namespace {

using detail::kDynamicTableBit;
using detail::readableBytes;
using detail::readOwn;

// Real objects carry a few dozen dynamic entries and at most a few hundred
// thousand dynamic symbols; a damaged header must not send the scans below
// through all the readable memory of the process.
constexpr size_t kMaxDynamicEntries = 4096;
constexpr size_t kMaxDynamicSymbols = size_t{1} << 22;
constexpr size_t kMaxDynamicStrings = size_t{64} << 20;
constexpr uint64_t kMaxHashBuckets = uint64_t{1} << 22;

// The number of symbols a GNU hash table describes: past the highest bucket's
// chain, or the first hashed index when every bucket is empty.
size_t gnuHashSymbolCount(uint64_t table) {
  uint32_t header[4];  // buckets, first hashed symbol, bloom words, bloom shift
  if (!readOwn(table, header, sizeof header) || header[0] == 0 || header[0] > kMaxHashBuckets ||
      header[2] > kMaxHashBuckets) {
    return 0;
  }
  const uint64_t buckets = table + sizeof header + uint64_t{header[2]} * 8;
  // Read a block at a time, on the stack: a crash may ask too.
  uint32_t last = 0;
  uint32_t block[256];
  for (uint64_t done = 0; done < header[0];) {
    const uint64_t n = std::min<uint64_t>(header[0] - done, sizeof block / sizeof block[0]);
    if (!readOwn(buckets + done * 4, block, n * 4)) return 0;
    last = std::max(last, *std::max_element(block, block + n));
    done += n;
  }
  if (last < header[1]) return header[1];
  const uint64_t chains = buckets + uint64_t{header[0]} * 4;
  for (uint64_t index = last; index < kMaxDynamicSymbols; ++index) {
    uint32_t hash;
    if (!readOwn(chains + (index - header[1]) * 4, &hash, 4)) return 0;
    if (hash & 1) return static_cast<size_t>(index + 1);
  }
  return 0;
}

// The end of the loadable segment (of the object whose program headers are
// at `phdrs`) that holds `address`, 0 when none does.
uint64_t loadedSegmentEnd(uint64_t phdrs, unsigned count, int64_t slide, uint64_t address) {
  for (unsigned i = 0; i < count; ++i) {
    Elf64_Phdr ph;
    if (!readOwn(phdrs + i * sizeof ph, &ph, sizeof ph)) return 0;
    const uint64_t start = ph.p_vaddr + static_cast<uint64_t>(slide);
    if (ph.p_type == PT_LOAD && start <= address && address - start < ph.p_memsz) {
      return start + ph.p_memsz;
    }
  }
  return 0;
}

// Names in a table, compared as strcmp does, through checked copies: -2 when
// either cannot be read to its end.
int compareNames(const ElfSymbolTable& table, uint32_t a, uint32_t b) {
  char left[64], right[64];
  for (uint64_t at = 0;; at += sizeof left) {
    if (at >= table.stringsSize - a || at >= table.stringsSize - b) return -2;
    const size_t n = static_cast<size_t>(
        std::min<uint64_t>({sizeof left, table.stringsSize - a - at, table.stringsSize - b - at}));
    if (!readOwn(reinterpret_cast<uint64_t>(table.strings + a + at), left, n) ||
        !readOwn(reinterpret_cast<uint64_t>(table.strings + b + at), right, n)) {
      return -2;
    }
    for (size_t i = 0; i < n; ++i) {
      if (left[i] != right[i]) {
        return static_cast<unsigned char>(left[i]) < static_cast<unsigned char>(right[i]) ? -1 : 1;
      }
      if (left[i] == '\0') return 0;
    }
  }
}

}  // namespace

namespace detail {

size_t readBuildIdNote(uint64_t start, uint64_t size, uint8_t* out) {
  // Notes: namesz, descsz, type, name (4-aligned), desc (4-aligned).
  const uint64_t notes = std::min(size, kMaxNoteBytes);
  for (uint64_t off = 0; off + 12 <= notes;) {
    uint32_t note[3];
    if (!readOwn(start + off, note, sizeof note)) return 0;
    const uint64_t name = start + off + 12;
    const uint64_t desc = name + ((uint64_t{note[0]} + 3) & ~uint64_t{3});
    char owner[4] = {};
    if (note[2] == NT_GNU_BUILD_ID && note[0] == 4 && readOwn(name, owner, 4) &&
        memcmp(owner, "GNU", 4) == 0 && note[1] >= 16 && note[1] <= kMaxBuildId &&
        readOwn(desc, out, note[1])) {
      return note[1];
    }
    off = desc - start + ((uint64_t{note[1]} + 3) & ~uint64_t{3});
  }
  return 0;
}

// .dynsym through the loaded dynamic section; its size from the hash
// tables, else from the verified file, else from where the string table
// begins (linkers put it right after the symbols).
void readDynamicSymbols(ElfImage* image, uint64_t dynamicAddress) {
  uint64_t symtab = 0, strtab = 0, strsz = 0, hash = 0, gnuHash = 0, syment = sizeof(Elf64_Sym);
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
      case DT_GNU_HASH:
        gnuHash = v;
        break;
      case DT_SYMENT:
        syment = v;
        break;
    }
  }
  if (symtab == 0 || strtab == 0 || syment != sizeof(Elf64_Sym)) return;
  // The loader relocates these entries in place for most objects; a value
  // below the header is still link-time relative.
  auto runtime = [&](uint64_t v) {
    return v < image->headerAddress ? v + static_cast<uint64_t>(image->slide) : v;
  };
  symtab = runtime(symtab);
  strtab = runtime(strtab);
  size_t count = 0;
  if (hash != 0) {
    uint32_t header[2];
    if (readOwn(runtime(hash), header, sizeof header)) count = header[1];
  } else if (gnuHash != 0) {
    count = gnuHashSymbolCount(runtime(gnuHash));
  }
  if (count == 0 && image->fileMapping != nullptr) {
    const auto* bytes = static_cast<const uint8_t*>(image->fileMapping);
    Elf64_Ehdr eh;
    memcpy(&eh, bytes, sizeof eh);
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes + eh.e_shoff);
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
      if (sections[i].sh_type == SHT_DYNSYM) count = sections[i].sh_size / sizeof(Elf64_Sym);
    }
  }
  if (count == 0 && strtab > symtab) count = (strtab - symtab) / sizeof(Elf64_Sym);
  // Lookups read the table and its names in place: keep only what is
  // readable now.
  count = std::min(count, kMaxDynamicSymbols);
  count = readableBytes(symtab, count * sizeof(Elf64_Sym)) / sizeof(Elf64_Sym);
  strsz = readableBytes(strtab, std::min<uint64_t>(strsz, kMaxDynamicStrings));
  if (count == 0 || strsz == 0) return;
  image->tables[1] = {reinterpret_cast<const void*>(symtab), count,
                      reinterpret_cast<const char*>(strtab), strsz};
}

// The index's answer (see buildSymbolIndex) found by two scans of `.dynsym`,
// read a block at a time through checked copies, with no memory of its own:
// first where the symbols around `pc` start, then the covering symbol that
// starts last, its aliases ordered as orderAliases orders them.
bool scan_dynamic_symbols(const ElfImage* image, uint64_t pc, uint64_t* start, const char** name,
                          size_t* nameRoom) {
  const ElfSymbolTable& table = image->tables[1];
  const auto* symbols = static_cast<const Elf64_Sym*>(table.symbols);
  // Calls `visit(sym, start)` for each symbol the index would hold.
  auto forEach = [&](auto&& visit) {
    Elf64_Sym block[64];
    for (size_t i = 0; i < table.count; i += sizeof block / sizeof block[0]) {
      const size_t n = std::min(table.count - i, sizeof block / sizeof block[0]);
      if (!readOwn(reinterpret_cast<uint64_t>(symbols + i), block, n * sizeof(Elf64_Sym))) return;
      for (size_t k = 0; k < n; ++k) {
        const Elf64_Sym& sym = block[k];
        if (!detail::usable(sym) || (sym.st_name & kDynamicTableBit) != 0 ||
            sym.st_name >= table.stringsSize) {
          continue;
        }
        const uint64_t s = sym.st_value + static_cast<uint64_t>(image->slide);
        if (s < image->headerAddress || s >= image->mappedEnd) continue;
        visit(sym, s);
      }
    }
  };
  // As the index takes names: not empty, and ending inside the table.
  auto named = [&](const Elf64_Sym& sym) {
    char piece[64];
    for (uint64_t at = sym.st_name; at < table.stringsSize;) {
      const size_t n =
          static_cast<size_t>(std::min<uint64_t>(sizeof piece, table.stringsSize - at));
      if (!readOwn(reinterpret_cast<uint64_t>(table.strings + at), piece, n)) return false;
      for (size_t i = 0; i < n; ++i) {
        if (piece[i] == '\0') return at + i > sym.st_name;
      }
      at += n;
    }
    return false;
  };
  // The last start at or below pc and the first one past it.
  uint64_t last = 0, next = image->mappedEnd;
  forEach([&](const Elf64_Sym& sym, uint64_t s) {
    if ((s <= pc ? s > last : s < next) && named(sym)) {
      (s <= pc ? last : next) = s;
    }
  });
  bool found = false;
  uint64_t bestStart = 0;
  bool bestLocal = false, bestSized = false;
  uint32_t bestName = 0;
  forEach([&](const Elf64_Sym& sym, uint64_t s) {
    if (s > pc || s < bestStart) return;
    const uint64_t size = std::max<uint64_t>(sym.st_size, 1);
    // A size past the mapped range ends where the next symbol starts.
    const uint64_t end = size <= image->mappedEnd - s ? s + size : s == last ? next : s;
    if (pc >= end) return;
    const bool local = ELF64_ST_BIND(sym.st_info) == STB_LOCAL;
    const bool sized = end - s > 1;
    if (found && s == bestStart) {
      if (local != bestLocal) {
        if (local) return;
      } else if (sized != bestSized) {
        if (!sized) return;
      } else if (compareNames(table, sym.st_name, bestName) <= 0) {
        return;
      }
    }
    if (!named(sym)) return;
    found = true;
    bestStart = s;
    bestLocal = local;
    bestSized = sized;
    bestName = sym.st_name;
  });
  if (!found) return false;
  *start = bestStart;
  *name = table.strings + bestName;
  if (nameRoom != nullptr) *nameRoom = table.stringsSize - bestName;
  return true;
}

}  // namespace detail

bool elf_image_init_from_loader(ElfImage* image, uint64_t address, uint64_t* pathAddress) {
  *image = ElfImage();
  *pathAddress = 0;
#ifdef DLFO_STRUCT_HAS_EH_DBASE
  // Lock-free, and knows an object from before its constructors run.
  dl_find_object found;
  if (_dl_find_object(reinterpret_cast<void*>(address), &found) != 0) return false;
  link_map map;  // the part the loader shares with debuggers
  if (found.dlfo_link_map == nullptr ||
      !readOwn(reinterpret_cast<uint64_t>(found.dlfo_link_map), &map, sizeof map)) {
    return false;
  }
  const uint64_t headerAddress = reinterpret_cast<uint64_t>(found.dlfo_map_start);
  Elf64_Ehdr eh;
  if (!detail::readOwnElfHeader(headerAddress, &eh)) return false;
  image->headerAddress = headerAddress;
  uint64_t dynamic = 0;
  uint8_t buildId[detail::kMaxBuildId];
  const bool read =
      detail::readProgramHeaders(image, eh, [&](const Elf64_Phdr& ph, uint64_t start) {
        if (ph.p_type == PT_DYNAMIC) dynamic = start;
        if (ph.p_type == PT_NOTE && !image->hasUuid &&
            detail::readBuildIdNote(start, ph.p_memsz, buildId) != 0) {
          memcpy(image->uuid, buildId, 16);
          image->hasUuid = true;
        }
      });
  // The header must be the one the loader mapped the object by.
  if (!read || static_cast<uint64_t>(image->slide) != map.l_addr || address < headerAddress ||
      address >= image->mappedEnd) {
    *image = ElfImage();
    return false;
  }
  const uint64_t phdrs = headerAddress + eh.e_phoff;
  // .eh_frame through the search table's pointer to it, up to the end of its
  // segment: finding its terminator would be a walk over it.
  const uint64_t hdr = image->ehFrameHdrAddress;
  uint8_t fields[4];
  uint64_t frame = 0;
  size_t size = 0;
  if (hdr != 0 && image->ehFrameHdrSize >= 8 && readOwn(hdr, fields, 4) && fields[0] == 1 &&
      detail::readEncodedPointer(hdr + 4, fields[1], hdr, &frame, &size) && frame != 0) {
    const uint64_t end = loadedSegmentEnd(phdrs, eh.e_phnum, image->slide, frame);
    if (end != 0) {
      image->ehFrameAddress = frame;
      image->ehFrameSize = std::min(end - frame, detail::kMaxFrameSection);
    }
  }
  if (dynamic != 0) detail::readDynamicSymbols(image, dynamic);
  image->scansDynamicSymbols = true;
  *pathAddress = reinterpret_cast<uint64_t>(map.l_name);
  return true;
#else
  (void)address;
  return false;
#endif
}

}  // namespace sys
