#include "system/ElfImage.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "ElfImageInternal.h"
#include "base/ProcFiles.h"
#include "system/Task.h"

namespace sys {
namespace detail {

bool readOwn(uint64_t address, void* out, size_t size) {
  return mach_vm_read_overwrite(mach_task_self(), address, size, out, nullptr) == KERN_SUCCESS;
}

bool readOwnElfHeader(uint64_t address, Elf64_Ehdr* eh) {
  return readOwn(address, eh, sizeof *eh) && memcmp(eh->e_ident, ELFMAG, SELFMAG) == 0 &&
         eh->e_ident[EI_CLASS] == ELFCLASS64 && eh->e_machine == EM_X86_64 &&
         eh->e_phentsize == sizeof(Elf64_Phdr);
}

// A pointer of `.eh_frame_hdr`, in the encodings linkers write there.
bool readEncodedPointer(uint64_t at, uint8_t encoding, uint64_t dataBase, uint64_t* value,
                        size_t* size) {
  uint64_t raw = 0;
  switch (encoding & 0x0F) {
    case 0x00:  // absolute, pointer-sized
    case 0x04:  // udata8
    case 0x0C:  // sdata8
      *size = 8;
      if (!readOwn(at, &raw, 8)) return false;
      break;
    case 0x03: {  // udata4
      uint32_t v;
      *size = 4;
      if (!readOwn(at, &v, 4)) return false;
      raw = v;
      break;
    }
    case 0x0B: {  // sdata4
      int32_t v;
      *size = 4;
      if (!readOwn(at, &v, 4)) return false;
      raw = static_cast<uint64_t>(int64_t{v});
      break;
    }
    default:
      return false;
  }
  switch (encoding & 0xF0) {
    case 0x00:
      *value = raw;
      return true;
    case 0x10:  // relative to the field itself
      *value = at + raw;
      return true;
    case 0x30:  // relative to the table's start
      *value = dataBase + raw;
      return true;
    default:
      return false;
  }
}

// How many of the `size` bytes from `address` on are readable.
uint64_t readableBytes(uint64_t address, uint64_t size) {
  const uint64_t lead = address & vm_page_mask();
  const uint64_t prefix = task_readable_prefix(mach_task_self(), address - lead, size + lead);
  return prefix > lead ? prefix - lead : 0;
}

}  // namespace detail

using detail::kDynamicTableBit;
using detail::kMaxBuildId;
using detail::kMaxFrameSection;
using detail::kMaxNoteBytes;
using detail::readableBytes;
using detail::readDynamicSymbols;
using detail::readEncodedPointer;
using detail::readOwn;
using detail::readOwnElfHeader;
using detail::readProgramHeaders;

namespace {

// Reads the own memory in [start, limit) through a copied window, so that a
// walk over many small fields costs one kernel call per window, not per field.
class Window {
 public:
  Window(uint64_t start, uint64_t limit) : start_(start), limit_(limit) {}
  bool read(uint64_t at, void* out, size_t n) {
    if (at < start_ || at > limit_ || n > limit_ - at) return false;
    if (at < from_ || at + n > to_) {
      if (!buffer_) buffer_.reset(new (std::nothrow) uint8_t[kSize]);
      const size_t length = static_cast<size_t>(std::min<uint64_t>(kSize, limit_ - at));
      if (!buffer_ || length < n || !readOwn(at, buffer_.get(), length)) return false;
      from_ = at;
      to_ = at + length;
    }
    memcpy(out, buffer_.get() + (at - from_), n);
    return true;
  }

 private:
  static constexpr size_t kSize = 64 * 1024;
  uint64_t start_, limit_;
  uint64_t from_ = 0, to_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
};

// What the loaded object's program headers tell.
struct Loaded {
  Elf64_Ehdr eh;
  struct Segment {
    uint64_t start, end;  // runtime
  };
  std::vector<Segment> loads;
  uint64_t dynamic = 0;
  uint8_t buildId[kMaxBuildId] = {};
  size_t buildIdSize = 0;
};

// The end of the loadable segment holding `address`, 0 when none does.
uint64_t segmentEnd(const Loaded& loaded, uint64_t address) {
  for (const auto& s : loaded.loads) {
    if (s.start <= address && address < s.end) return s.end;
  }
  return 0;
}

// The length of `.eh_frame` from `start`: through its zero terminator, else
// through the last whole entry before `limit` (or before bytes that cannot be
// an entry: an FDE whose CIE would lie before the section).
uint64_t frameSectionSize(uint64_t start, uint64_t limit) {
  limit = start + readableBytes(start, std::min(limit - start, kMaxFrameSection));
  Window window(start, limit);
  uint64_t at = start;
  for (;;) {
    uint32_t length32;
    if (!window.read(at, &length32, 4)) break;
    if (length32 == 0) return at + 4 - start;
    uint64_t header = 4, length = length32;
    if (length32 == 0xFFFFFFFF) {
      if (!window.read(at + 4, &length, 8)) break;
      header = 12;
    }
    if (header > limit - at || length > limit - at - header || length < 4) break;
    uint32_t id;
    if (!window.read(at + header, &id, 4)) break;
    if (id != 0 && id > at + header - start) break;
    at += header + length;
  }
  return at - start;
}

// .eh_frame through the search table's pointer to it.
void readFrameSection(ElfImage* image, const Loaded& loaded) {
  const uint64_t hdr = image->ehFrameHdrAddress;
  uint8_t fields[4];
  if (hdr == 0 || image->ehFrameHdrSize < 8 || !readOwn(hdr, fields, 4) || fields[0] != 1) return;
  uint64_t frame = 0;
  size_t size = 0;
  if (!readEncodedPointer(hdr + 4, fields[1], hdr, &frame, &size) || frame == 0) return;
  const uint64_t end = segmentEnd(loaded, frame);
  if (end == 0) return;
  const uint64_t length = frameSectionSize(frame, end);
  if (length == 0) return;
  image->ehFrameAddress = frame;
  image->ehFrameSize = length;
}

// The build id in the notes of a file's program headers (or nothing).
size_t fileBuildId(const uint8_t* bytes, size_t size, const Elf64_Ehdr& eh, uint8_t* out) {
  if (eh.e_phentsize != sizeof(Elf64_Phdr) || eh.e_phoff > size ||
      eh.e_phnum > (size - eh.e_phoff) / sizeof(Elf64_Phdr)) {
    return 0;
  }
  for (unsigned i = 0; i < eh.e_phnum; ++i) {
    Elf64_Phdr ph;
    memcpy(&ph, bytes + eh.e_phoff + i * sizeof ph, sizeof ph);
    if (ph.p_type != PT_NOTE || ph.p_offset > size) continue;
    const uint64_t notes = std::min<uint64_t>({ph.p_filesz, size - ph.p_offset, kMaxNoteBytes});
    for (uint64_t off = 0; off + 12 <= notes;) {
      uint32_t note[3];
      memcpy(note, bytes + ph.p_offset + off, sizeof note);
      const uint64_t name = off + 12;
      const uint64_t desc = name + ((uint64_t{note[0]} + 3) & ~uint64_t{3});
      const uint64_t next = desc + ((uint64_t{note[1]} + 3) & ~uint64_t{3});
      if (next > notes) break;
      if (note[2] == NT_GNU_BUILD_ID && note[0] == 4 &&
          memcmp(bytes + ph.p_offset + name, "GNU", 4) == 0 && note[1] <= kMaxBuildId) {
        memcpy(out, bytes + ph.p_offset + desc, note[1]);
        return note[1];
      }
      off = next;
    }
  }
  return 0;
}

// The device and inode of the file mapped at `address`, from the process's
// map list.
bool mappedFile(uint64_t address, dev_t* device, ino_t* inode) {
  FILE* maps = fopen(base::ProcPath(base::kProcSelf).file("maps").c_str(), "re");
  if (maps == nullptr) return false;
  char* line = nullptr;
  size_t capacity = 0;
  bool found = false;
  while (getline(&line, &capacity, maps) > 0) {
    unsigned long long start, end, offset, node;
    unsigned major, minor;
    char perms[8];
    if (sscanf(line, "%llx-%llx %7s %llx %x:%x %llu", &start, &end, perms, &offset, &major, &minor,
               &node) != 7) {
      continue;
    }
    if (start <= address && address < end) {
      *device = makedev(major, minor);
      *inode = static_cast<ino_t>(node);
      found = node != 0;
      break;
    }
  }
  free(line);
  fclose(maps);
  return found;
}

bool isMainProgram(uint64_t headerAddress, const Elf64_Ehdr& eh) {
  const unsigned long phdr = getauxval(AT_PHDR);
  return phdr != 0 && phdr == headerAddress + eh.e_phoff;
}

// Maps the object's file when it is the one that was loaded, and takes
// .symtab from it (and .eh_frame when memory gave none).
void readFileSections(ElfImage* image, const char* path, const Loaded& loaded) {
  const bool program = isMainProgram(image->headerAddress, loaded.eh);
  // The file the program was started from, even when its path now names
  // another file or none.
  static constexpr base::ProcPath kProgram = base::ProcPath(base::kProcSelf).file("exe");
  if (program) path = kProgram.c_str();
  if (path == nullptr || path[0] == '\0') return;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  void* map = MAP_FAILED;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      st.st_size >= static_cast<off_t>(sizeof(Elf64_Ehdr))) {
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
  const Elf64_Ehdr& mem = loaded.eh;
  bool sane = memcmp(eh.e_ident, mem.e_ident, EI_NIDENT) == 0 && eh.e_type == mem.e_type &&
              eh.e_machine == mem.e_machine && eh.e_entry == mem.e_entry &&
              eh.e_phoff == mem.e_phoff && eh.e_phnum == mem.e_phnum &&
              eh.e_shentsize == sizeof(Elf64_Shdr) && eh.e_shoff < size &&
              eh.e_shoff % alignof(Elf64_Shdr) == 0 &&
              eh.e_shnum <= (size - eh.e_shoff) / sizeof(Elf64_Shdr) && eh.e_shstrndx < eh.e_shnum;
  if (sane) {
    if (loaded.buildIdSize != 0) {
      uint8_t id[kMaxBuildId];
      sane = fileBuildId(bytes, size, eh, id) == loaded.buildIdSize &&
             memcmp(id, loaded.buildId, loaded.buildIdSize) == 0;
    } else {
      // Nothing in the object names its build: the file must be the very
      // file the loader mapped.
      dev_t device;
      ino_t inode;
      sane = mappedFile(image->headerAddress, &device, &inode) && device == st.st_dev &&
             inode == st.st_ino;
    }
  }
  if (!sane) {
    munmap(map, size);
    return;
  }
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes + eh.e_shoff);
  const Elf64_Shdr& names = sections[eh.e_shstrndx];
  auto inFile = [&](uint64_t offset, uint64_t length) {
    return offset <= size && length <= size - offset;
  };
  const bool frameFromMemory = image->ehFrameAddress != 0;
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
    if (!frameFromMemory && names.sh_type == SHT_STRTAB && inFile(names.sh_offset, names.sh_size) &&
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

}  // namespace

namespace detail {

bool usable(const Elf64_Sym& sym) {
  unsigned type = ELF64_ST_TYPE(sym.st_info);
  return sym.st_shndx != SHN_UNDEF && sym.st_shndx < SHN_LORESERVE &&
         (type == STT_FUNC || type == STT_OBJECT || type == STT_NOTYPE) && sym.st_value != 0;
}

}  // namespace detail

using detail::usable;

namespace {

// A name inside its table, or null when it does not end there.
const char* symbolName(const ElfSymbolTable& table, uint32_t index) {
  if (index >= table.stringsSize) return nullptr;
  const char* name = table.strings + index;
  if (memchr(name, 0, table.stringsSize - index) == nullptr) return nullptr;
  return name;
}

constexpr uint32_t kLocalRank = uint32_t{1} << 31;

// A named symbol and the addresses it covers; `order` is its rank (global
// before local) and then its place in the tables.
struct Candidate {
  uint64_t start, end;
  uint32_t order;
  uint32_t name;
};

// The end of a symbol whose size runs past its image's mapped range: a
// damaged or hostile table, not a symbol that large.
constexpr uint64_t kUnbelievable = UINT64_MAX;

// Sorts the candidates by start, then order, and ends each one marked
// kUnbelievable where the next symbol starts, or at the mapped range's end.
void endUnbelievableSizes(std::vector<Candidate>& candidates, uint64_t mappedEnd) {
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    return a.start != b.start ? a.start < b.start : a.order < b.order;
  });
  uint64_t nextStart = mappedEnd;
  for (size_t i = candidates.size(); i > 0; --i) {
    Candidate& candidate = candidates[i - 1];
    if (candidate.end == kUnbelievable) candidate.end = std::max(nextStart, candidate.start + 1);
    if (i > 1 && candidates[i - 2].start != candidate.start) nextStart = candidate.start;
  }
}

// Of symbols starting together with the same rank, one with a size comes
// before one without (a label), then the one whose name sorts last: an
// aliased function is named alike whatever its names' places in the tables,
// and as a debugger names it ("raise", not its weak twin "gsignal").
// `candidates` are sorted by start, then order.
void orderAliases(std::vector<Candidate>& candidates, const ElfSymbolTable (&tables)[2]) {
  auto name = [&tables](const Candidate& c) {
    return symbolName(tables[(c.name & kDynamicTableBit) != 0 ? 1 : 0], c.name & ~kDynamicTableBit);
  };
  auto first = [&name](const Candidate& a, const Candidate& b) {
    if ((a.order & kLocalRank) != (b.order & kLocalRank)) return a.order < b.order;
    const bool aSized = a.end - a.start > 1, bSized = b.end - b.start > 1;
    if (aSized != bSized) return aSized;
    const int names = strcmp(name(a), name(b));
    return names != 0 ? names > 0 : a.order < b.order;
  };
  for (auto run = candidates.begin(); run != candidates.end();) {
    const uint64_t start = run->start;
    auto end = std::find_if(run, candidates.end(),
                            [start](const Candidate& c) { return c.start != start; });
    std::sort(run, end, first);
    run = end;
  }
}

// Cuts the address space into spans, each owned by the symbol a lookup there
// must answer: of those covering it, the one starting last, and of those
// starting together, the first. A sweep in start order keeps the open symbols
// on a stack (latest start, then first, on top); a span ends where the next
// symbol starts or the top one ends, after which the one below resumes.
std::vector<ElfSymbolSpan> cutIntoSpans(const std::vector<Candidate>& candidates) {
  std::vector<ElfSymbolSpan> spans;
  std::vector<const Candidate*> open;
  uint64_t position = 0;
  // One span per call at most: a span is as long as its owner's extent,
  // so the index grows with the number of symbols, never with their sizes.
  auto emit = [&](uint64_t from, uint64_t to, const Candidate& owner) {
    if (from >= to) return;
    ElfSymbolSpan* last = spans.empty() ? nullptr : &spans.back();
    if (last != nullptr && last->name == owner.name && last->start == owner.start &&
        last->from + last->length == from) {
      last->length += to - from;
    } else {
      spans.push_back({from, owner.start, to - from, owner.name});
    }
  };
  auto advance = [&](uint64_t to) {
    while (!open.empty() && position < to) {
      const Candidate& top = *open.back();
      if (top.end <= position) {
        open.pop_back();
        continue;
      }
      const uint64_t end = std::min(top.end, to);
      emit(position, end, top);
      position = end;
    }
    position = to;
  };
  for (size_t i = 0; i < candidates.size();) {
    size_t j = i;
    while (j < candidates.size() && candidates[j].start == candidates[i].start) ++j;
    advance(candidates[i].start);
    for (size_t k = j; k > i; --k) open.push_back(&candidates[k - 1]);
    i = j;
  }
  advance(UINT64_MAX);
  return spans;
}

// A copy of .dynsym and its names. They are the loaded object's, which
// another thread may unload while they are read, and its dynamic section may
// point at any memory the process can read (a sanitizer's own, say): they are
// read through checked copies, never in place. Empty when they cannot be read.
// Throws std::bad_alloc.
struct DynamicTableCopy {
  explicit DynamicTableCopy(const ElfSymbolTable& loaded)
      : symbols(loaded.count), strings(loaded.stringsSize) {
    if (!readOwn(reinterpret_cast<uint64_t>(loaded.symbols), symbols.data(),
                 symbols.size() * sizeof(Elf64_Sym)) ||
        !readOwn(reinterpret_cast<uint64_t>(loaded.strings), strings.data(), strings.size())) {
      symbols.clear();
    }
  }
  ElfSymbolTable table() const {
    return {symbols.data(), symbols.size(), strings.data(), strings.size()};
  }
  std::vector<Elf64_Sym> symbols;
  std::vector<char> strings;
};

void buildSymbolIndex(ElfImage* image) {
  try {
    const DynamicTableCopy dynamic(image->tables[1]);
    const ElfSymbolTable tables[2] = {image->tables[0], dynamic.table()};
    std::vector<Candidate> candidates;
    uint32_t order = 0;
    for (uint32_t t = 0; t < 2; ++t) {
      const ElfSymbolTable& table = tables[t];
      for (size_t i = 0; i < table.count; ++i) {
        Elf64_Sym sym;
        memcpy(&sym, static_cast<const Elf64_Sym*>(table.symbols) + i, sizeof sym);
        if (!usable(sym) || (sym.st_name & kDynamicTableBit) != 0) continue;
        const char* name = symbolName(table, sym.st_name);
        if (name == nullptr || name[0] == '\0') continue;
        const uint64_t start = sym.st_value + static_cast<uint64_t>(image->slide);
        // No pc outside the image is looked up in it.
        if (start < image->headerAddress || start >= image->mappedEnd) continue;
        const uint64_t size = std::max<uint64_t>(sym.st_size, 1);
        // A size past the mapped range is not believed: kUnbelievable marks
        // the symbol until the next one's start is known.
        const uint64_t end = size <= image->mappedEnd - start ? start + size : kUnbelievable;
        // Of symbols starting together, a global one names the function
        // rather than a local alias of it (g++ adds "f.localalias" for f).
        const uint32_t rank = ELF64_ST_BIND(sym.st_info) == STB_LOCAL ? kLocalRank : 0;
        candidates.push_back(
            {start, end, rank | order++, sym.st_name | (t == 1 ? kDynamicTableBit : 0)});
      }
    }
    if (candidates.empty()) return;
    endUnbelievableSizes(candidates, image->mappedEnd);
    orderAliases(candidates, tables);
    std::vector<ElfSymbolSpan> spans = cutIntoSpans(candidates);
    auto* index = static_cast<ElfSymbolSpan*>(malloc(spans.size() * sizeof(ElfSymbolSpan)));
    if (index == nullptr) return;
    std::copy(spans.begin(), spans.end(), index);
    image->spans = index;
    image->spanCount = spans.size();
  } catch (...) {
    // Without memory for the index the image is listed without names.
  }
}

}  // namespace

bool elf_image_init(ElfImage* image, uint64_t headerAddress, const char* path) {
  *image = ElfImage();
  Loaded loaded;
  Elf64_Ehdr& eh = loaded.eh;
  if (!readOwnElfHeader(headerAddress, &eh)) return false;
  image->headerAddress = headerAddress;
  try {
    const bool read = readProgramHeaders(image, eh, [&](const Elf64_Phdr& ph, uint64_t start) {
      if (ph.p_type == PT_LOAD) {
        loaded.loads.push_back({start, start + ph.p_memsz});
      } else if (ph.p_type == PT_DYNAMIC) {
        loaded.dynamic = start;
      } else if (ph.p_type == PT_NOTE && loaded.buildIdSize == 0) {
        loaded.buildIdSize = detail::readBuildIdNote(start, ph.p_memsz, loaded.buildId);
        if (loaded.buildIdSize != 0) {
          memcpy(image->uuid, loaded.buildId, 16);
          image->hasUuid = true;
        }
      }
    });
    if (!read) return false;
  } catch (...) {
    return false;
  }
  readFrameSection(image, loaded);
  readFileSections(image, path, loaded);
  if (loaded.dynamic != 0) readDynamicSymbols(image, loaded.dynamic);
  buildSymbolIndex(image);
  return true;
}

void elf_image_free(ElfImage* image) {
  if (image->fileMapping != nullptr) {
    munmap(const_cast<void*>(image->fileMapping), image->fileMappingSize);
  }
  free(image->spans);
  *image = ElfImage();
}

bool elf_image_symbol_for_pc(const ElfImage* image, uint64_t pc, uint64_t* start, const char** name,
                             size_t* nameRoom) {
  if (image->scansDynamicSymbols) {
    return detail::scan_dynamic_symbols(image, pc, start, name, nameRoom);
  }
  const ElfSymbolSpan* after =  // the first span starting after pc
      std::upper_bound(image->spans, image->spans + image->spanCount, pc,
                       [](uint64_t value, const ElfSymbolSpan& s) { return value < s.from; });
  if (after == image->spans) return false;
  const ElfSymbolSpan& span = after[-1];
  if (pc - span.from >= span.length) return false;
  const ElfSymbolTable& table = image->tables[(span.name & kDynamicTableBit) != 0 ? 1 : 0];
  const uint32_t offset = span.name & ~kDynamicTableBit;
  *start = span.start;
  *name = table.strings + offset;
  if (nameRoom != nullptr) *nameRoom = table.stringsSize - offset;
  return true;
}

bool elf_image_symbol_by_name(const ElfImage* image, const char* name, uint64_t* address) {
  std::unique_ptr<DynamicTableCopy> dynamic;
  try {
    dynamic = std::make_unique<DynamicTableCopy>(image->tables[1]);
  } catch (...) {
    return false;
  }
  const ElfSymbolTable tables[2] = {image->tables[0], dynamic->table()};
  for (const ElfSymbolTable& table : tables) {
    for (size_t i = 0; i < table.count; ++i) {
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
