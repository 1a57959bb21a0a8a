#include <elf.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/BuildFacts.h"
#include "system/ElfImage.h"
#include "system/ImageEvents.h"
#include "system/SystemFacts.h"
#include "systemTest/BuildIds.h"

extern "C" __attribute__((noinline, used)) int kestrixImagesTestFunction(int x) {
  return x * 7 + 1;
}
extern "C" __attribute__((used)) const char kestrixImagesTestBlob[64] = "blob";

namespace {

using sys::testing::buildIdOfFile;

// The notices may come from the loader's watching thread as well: the tests
// read copies.
std::mutex gNoticesLock;
std::vector<std::pair<uint64_t, int64_t>> gAdded;
std::vector<uint64_t> gRemoved;
void onAdd(uint64_t header, int64_t slide) {
  std::lock_guard<std::mutex> guard(gNoticesLock);
  gAdded.emplace_back(header, slide);
}
void onRemove(uint64_t header, int64_t) {
  std::lock_guard<std::mutex> guard(gNoticesLock);
  gRemoved.push_back(header);
}
std::vector<std::pair<uint64_t, int64_t>> added() {
  std::lock_guard<std::mutex> guard(gNoticesLock);
  return gAdded;
}
std::vector<uint64_t> removed() {
  std::lock_guard<std::mutex> guard(gNoticesLock);
  return gRemoved;
}

std::string pathOf(uint64_t address) {
  sys::DlInfo info;
  return sys::dladdr(address, &info) ? info.dli_fname : "";
}

TEST(ImageEvents, RegistrationAnnouncesExecutableAndLibc) {
  sys::register_func_for_add_image(onAdd);
  sys::register_func_for_remove_image(onRemove);
  std::set<std::string> paths;
  for (auto [header, slide] : added()) paths.insert(pathOf(header));
  std::string exe = *sys::systemFacts()->executablePath();
  EXPECT_EQ(paths.count(exe), 1u);
  bool libc = false;
  for (const auto& p : paths) libc |= p.find("libc.so") != std::string::npos;
  EXPECT_TRUE(libc);
  EXPECT_EQ(pathOf(reinterpret_cast<uint64_t>(&kestrixImagesTestFunction)), exe);
  // A second sync announces nothing new.
  size_t before = added().size();
  sys::sync_loaded_images();
  EXPECT_EQ(added().size(), before);
}

TEST(ImageEvents, AnnouncedImagesAreFoundUntilRemoved) {
  sys::register_func_for_add_image(onAdd);
  sys::register_func_for_remove_image(onRemove);
  // Outside every loaded object, as a mapped fixture would be.
  void* fake = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  uint64_t base = reinterpret_cast<uint64_t>(fake);
  const uint64_t size = 4096;
  sys::announce_image_added(base, 0, size, "/fixtures/fake.dylib");
  ASSERT_FALSE(added().empty());
  EXPECT_EQ(added().back().first, base);
  EXPECT_EQ(pathOf(base), "/fixtures/fake.dylib");
  EXPECT_EQ(pathOf(base + size - 1), "/fixtures/fake.dylib");
  EXPECT_NE(pathOf(base + size), "/fixtures/fake.dylib");
  sys::announce_image_removed(base);
  ASSERT_FALSE(removed().empty());
  EXPECT_EQ(removed().back(), base);
  EXPECT_EQ(pathOf(base), "");
  size_t count = removed().size();
  sys::announce_image_removed(base);  // unknown now: nothing happens
  EXPECT_EQ(removed().size(), count);
  munmap(fake, 4096);
}

class ElfImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::sync_loaded_images();
    uint64_t fn = reinterpret_cast<uint64_t>(&kestrixImagesTestFunction);
    sys::DlInfo info;
    ASSERT_TRUE(sys::dladdr(fn, &info));
    path_ = info.dli_fname;
    ASSERT_TRUE(sys::elf_image_init(&image_, info.dli_fbase, info.dli_fname));
  }
  void TearDown() override { sys::elf_image_free(&image_); }
  sys::ElfImage image_;
  std::string path_;
};

TEST_F(ElfImageTest, ExecutableSpanSlideAndBuildId) {
  uint64_t fn = reinterpret_cast<uint64_t>(&kestrixImagesTestFunction);
  EXPECT_LE(image_.headerAddress, fn);
  EXPECT_LT(fn, image_.textEnd);
  EXPECT_GE(image_.mappedEnd, image_.textEnd);
  ASSERT_TRUE(image_.hasUuid);
  auto id = buildIdOfFile(path_);
  ASSERT_EQ(id.size(), 16u);
  EXPECT_EQ(0, std::memcmp(image_.uuid, id.data(), 16));
  EXPECT_NE(image_.ehFrameAddress, 0u);
  EXPECT_NE(image_.tables[0].count, 0u);  // .symtab from the file
}

TEST_F(ElfImageTest, SymbolsCoverTheirSizeOnly) {
  uint64_t fn = reinterpret_cast<uint64_t>(&kestrixImagesTestFunction);
  uint64_t start = 0;
  const char* name = nullptr;
  ASSERT_TRUE(sys::elf_image_symbol_for_pc(&image_, fn + 2, &start, &name, nullptr));
  EXPECT_STREQ(name, "kestrixImagesTestFunction");
  EXPECT_EQ(start, fn);
  uint64_t blob = reinterpret_cast<uint64_t>(kestrixImagesTestBlob);
  ASSERT_TRUE(sys::elf_image_symbol_for_pc(&image_, blob + 63, &start, &name, nullptr));
  EXPECT_STREQ(name, "kestrixImagesTestBlob");
  // Just past the symbol's recorded size (sanitizers may pad it) it is not
  // attributed to the symbol.
  uint64_t size = 0;
  const auto* syms = static_cast<const Elf64_Sym*>(image_.tables[0].symbols);
  for (size_t i = 0; i < image_.tables[0].count; ++i) {
    const char* n = image_.tables[0].strings + syms[i].st_name;
    if (std::strcmp(n, "kestrixImagesTestBlob") == 0) size = syms[i].st_size;
  }
  ASSERT_GE(size, 64u);
  if (sys::elf_image_symbol_for_pc(&image_, blob + size, &start, &name, nullptr)) {
    EXPECT_STRNE(name, "kestrixImagesTestBlob");
  }
  uint64_t byName = 0;
  ASSERT_TRUE(sys::elf_image_symbol_by_name(&image_, "kestrixImagesTestFunction", &byName));
  EXPECT_EQ(byName, fn);
  EXPECT_FALSE(sys::elf_image_symbol_by_name(&image_, "noSuchSymbolAnywhere", &byName));
}

TEST(ElfImage, RefusesWhatIsNotAnElfHeader) {
  static const uint8_t notElf[64] = {0xCF, 0xFA, 0xED, 0xFE};
  sys::ElfImage image;
  EXPECT_FALSE(sys::elf_image_init(&image, reinterpret_cast<uint64_t>(notElf), nullptr));
  EXPECT_FALSE(sys::elf_image_init(&image, 16, nullptr));  // unreadable
}

// The file header of a loaded x86-64 object whose `count` program headers
// follow it.
Elf64_Ehdr objectHeader(uint16_t count) {
  Elf64_Ehdr eh{};
  std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
  eh.e_ident[EI_CLASS] = ELFCLASS64;
  eh.e_machine = EM_X86_64;
  eh.e_phoff = sizeof eh;
  eh.e_phentsize = sizeof(Elf64_Phdr);
  eh.e_phnum = count;
  return eh;
}

// The dynamic entries that lead to a symbol table and its strings.
std::array<Elf64_Dyn, 5> symbolEntries(uint64_t hash, uint64_t symbols, uint64_t strings,
                                       uint64_t stringsSize) {
  return {{{DT_HASH, {hash}},
           {DT_SYMTAB, {symbols}},
           {DT_STRTAB, {strings}},
           {DT_STRSZ, {stringsSize}},
           {DT_NULL, {0}}}};
}

// A loaded object whose headers are damaged: a notes segment and a symbol
// count that run far past the object, and a string table size to match.
// What lies within reach is read; nothing past it is, at set-up or by the
// lookups afterwards.
TEST(ElfImage, DamagedHeadersAreReadWithinBounds) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t readable = 20 * page;
  auto* mem = static_cast<uint8_t*>(
      mmap(nullptr, readable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  mprotect(mem + readable, page, PROT_NONE);
  auto put = [&](size_t at, const auto& value) { std::memcpy(mem + at, &value, sizeof value); };

  const Elf64_Ehdr eh = objectHeader(3);
  put(0, eh);
  const uint64_t notes = page, dynamic = 0x100, hash = 0x300, strings = 0x400;
  const uint64_t symbols = readable - 10 * sizeof(Elf64_Sym);  // ten fit
  Elf64_Phdr load{PT_LOAD, PF_R | PF_X, 0, 0, 0, readable, readable, page};
  Elf64_Phdr dyn{PT_DYNAMIC, PF_R, dynamic, dynamic, 0, 0x100, 0x100, 8};
  Elf64_Phdr note{PT_NOTE, PF_R, notes, notes, 0, uint64_t{1} << 40, uint64_t{1} << 40, 4};
  put(sizeof eh, load);
  put(sizeof eh + sizeof load, dyn);
  put(sizeof eh + 2 * sizeof load, note);
  put(dynamic, symbolEntries(hash, symbols, strings, uint64_t{1} << 30));
  put(hash, std::array<uint32_t, 2>{1, 1000});  // 1000 symbols claimed
  std::memcpy(mem + strings, "\0target", 8);
  Elf64_Sym target{1, ELF64_ST_INFO(STB_GLOBAL, STT_FUNC), 0, 1, 0x200, 16};
  put(symbols + sizeof target, target);
  // A build id past 64 KiB of empty notes is beyond what is scanned.
  const size_t late = notes + 12 * 5462;
  put(late, std::array<uint32_t, 3>{4, 16, NT_GNU_BUILD_ID});
  std::memcpy(mem + late + 12, "GNU", 4);
  mprotect(mem, readable, PROT_READ);

  sys::ElfImage image;
  ASSERT_TRUE(sys::elf_image_init(&image, reinterpret_cast<uint64_t>(mem), nullptr));
  EXPECT_FALSE(image.hasUuid);
  EXPECT_EQ(image.tables[1].count, 10u);
  uint64_t start = 0;
  const char* name = nullptr;
  ASSERT_TRUE(sys::elf_image_symbol_for_pc(&image, reinterpret_cast<uint64_t>(mem) + 0x208, &start,
                                           &name, nullptr));
  EXPECT_STREQ(name, "target");
  uint64_t address = 0;
  EXPECT_FALSE(sys::elf_image_symbol_by_name(&image, "absent", &address));
  sys::elf_image_free(&image);
  munmap(mem, readable + page);
}

// A loaded object made in memory with the given dynamic symbols (names in
// order, each entry's st_name set by the helper) and nothing else; its string
// table's size (DT_STRSZ) leaves out the last `cut` bytes of the names.
class SyntheticObject {
 public:
  SyntheticObject(std::vector<Elf64_Sym> symbols, const std::vector<std::string>& names,
                  size_t cut = 0) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_ = 4 * page;
    mem_ = static_cast<uint8_t*>(
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    const Elf64_Ehdr eh = objectHeader(2);
    put(0, eh);
    const uint64_t dynamic = 0x100, hash = 0x200, strings = page, table = 2 * page;
    put(sizeof eh, Elf64_Phdr{PT_LOAD, PF_R | PF_X, 0, 0, 0, size_, size_, page});
    put(sizeof eh + sizeof(Elf64_Phdr),
        Elf64_Phdr{PT_DYNAMIC, PF_R, dynamic, dynamic, 0, 0x80, 0x80, 8});
    std::string pool(1, '\0');
    symbols.insert(symbols.begin(), Elf64_Sym{});
    for (size_t i = 0; i < names.size(); ++i) {
      symbols[i + 1].st_name = static_cast<uint32_t>(names[i].empty() ? 0 : pool.size());
      if (!names[i].empty()) pool += names[i] + '\0';
    }
    std::memcpy(mem_ + strings, pool.data(), pool.size());
    std::memcpy(mem_ + table, symbols.data(), symbols.size() * sizeof(Elf64_Sym));
    stringsSize_ = pool.size() - cut;
    put(dynamic, symbolEntries(hash, table, strings, stringsSize_));
    put(hash, std::array<uint32_t, 2>{1, static_cast<uint32_t>(symbols.size())});
    symbols_ = symbols;
  }
  ~SyntheticObject() { munmap(mem_, size_); }
  uint64_t base() const { return reinterpret_cast<uint64_t>(mem_); }
  const std::vector<Elf64_Sym>& symbols() const { return symbols_; }
  const char* name(const Elf64_Sym& sym) const {
    return reinterpret_cast<const char*>(mem_ + sysconf(_SC_PAGESIZE) + sym.st_name);
  }
  // Whether `sym` has a name that ends inside the table.
  bool named(const Elf64_Sym& sym) const {
    return name(sym)[0] != '\0' &&
           strnlen(name(sym), stringsSize_ - sym.st_name) < stringsSize_ - sym.st_name;
  }

 private:
  template <class T>
  void put(size_t at, const T& value) {
    std::memcpy(mem_ + at, &value, sizeof value);
  }
  uint8_t* mem_;
  size_t size_;
  size_t stringsSize_;
  std::vector<Elf64_Sym> symbols_;
};

Elf64_Sym symbolAt(uint64_t value, uint64_t size, unsigned bind = STB_GLOBAL,
                   unsigned type = STT_FUNC, uint16_t section = 1) {
  return Elf64_Sym{0,   static_cast<unsigned char>(ELF64_ST_INFO(bind, type)), 0, section, value,
                   size};
}

// The address sanitizer keeps its shadow of application memory in mappings
// that can be read, but not through its own checked calls (memchr, strcmp):
// names that a dynamic section puts there are read through copies only. The
// object lies low, below its own shadow, as the fuzz target lays its input.
#if KX_ASAN
TEST(ElfImage, DynamicNamesAnywhereAreReadThroughCopies) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  uint8_t* mem = nullptr;
  for (uint64_t at = 0x10000000; at < 0x70000000 && mem == nullptr; at += 0x10000000) {
    void* made = mmap(reinterpret_cast<void*>(at), page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (made == reinterpret_cast<void*>(at)) mem = static_cast<uint8_t*>(made);
  }
  ASSERT_NE(mem, nullptr);
  auto put = [&](size_t at, const auto& value) { std::memcpy(mem + at, &value, sizeof value); };
  put(0, objectHeader(2));
  const uint64_t base = reinterpret_cast<uint64_t>(mem);
  const uint64_t dynamic = 0x100, hash = 0x200, symbols = 0x300;
  put(sizeof(Elf64_Ehdr), Elf64_Phdr{PT_LOAD, PF_R | PF_X, 0, 0, 0, page, page, page});
  put(sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr),
      Elf64_Phdr{PT_DYNAMIC, PF_R, dynamic, dynamic, 0, 0x80, 0x80, 8});
  // The names: the object's own shadow (x86-64's shadow offset).
  const uint64_t shadow = (base >> 3) + 0x7fff8000;
  put(dynamic, symbolEntries(base + hash, base + symbols, shadow, 64));
  put(hash, std::array<uint32_t, 2>{1, 2});
  put(symbols + sizeof(Elf64_Sym), symbolAt(0x10, 8));
  sys::ElfImage image;
  ASSERT_TRUE(sys::elf_image_init(&image, base, nullptr));
  ASSERT_EQ(image.tables[1].count, 2u);
  uint64_t address = 0;
  EXPECT_FALSE(sys::elf_image_symbol_by_name(&image, "absent", &address));
  sys::elf_image_free(&image);
  munmap(mem, page);
}
#endif

// What a scan over the whole table answers: the covering symbol that starts
// last; of those starting together, a global one before a local one, one
// with a size before one without, then the one whose name sorts last, else
// the first. A symbol covers only the object's mapped range (`mapped` bytes);
// one whose size runs past it ends where the next symbol starts.
const Elf64_Sym* scanFor(const SyntheticObject& object, uint64_t mapped, uint64_t offset) {
  auto indexed = [&](const Elf64_Sym& sym) {
    const unsigned type = ELF64_ST_TYPE(sym.st_info);
    return sym.st_shndx != SHN_UNDEF && sym.st_value != 0 && sym.st_value < mapped &&
           object.named(sym) && (type == STT_FUNC || type == STT_OBJECT || type == STT_NOTYPE);
  };
  auto endOf = [&](const Elf64_Sym& sym) {
    const uint64_t size = std::max<uint64_t>(sym.st_size, 1);
    if (size <= mapped - sym.st_value) return sym.st_value + size;
    uint64_t next = mapped;
    for (const Elf64_Sym& other : object.symbols()) {
      if (indexed(other) && other.st_value > sym.st_value) next = std::min(next, other.st_value);
    }
    return next;
  };
  // Whether `sym` names a start shared with `other` before it.
  auto namesFirst = [&](const Elf64_Sym& sym, const Elf64_Sym& other) {
    const bool global = ELF64_ST_BIND(sym.st_info) != STB_LOCAL;
    if (global != (ELF64_ST_BIND(other.st_info) != STB_LOCAL)) return global;
    const bool sized = endOf(sym) - sym.st_value > 1;
    if (sized != (endOf(other) - other.st_value > 1)) return sized;
    return strcmp(object.name(sym), object.name(other)) > 0;
  };
  const Elf64_Sym* best = nullptr;
  for (const Elf64_Sym& sym : object.symbols()) {
    if (!indexed(sym) || offset < sym.st_value || offset >= endOf(sym)) continue;
    if (best == nullptr || sym.st_value > best->st_value ||
        (sym.st_value == best->st_value && namesFirst(sym, *best))) {
      best = &sym;
    }
  }
  return best;
}

// The index, and the scan an image read at crash time makes instead, answer
// every pc at the given offsets into `object` as scanFor does.
void expectIndexAndScanAgree(const SyntheticObject& object, const std::vector<uint64_t>& offsets) {
  const uint64_t mapped = 4 * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  sys::ElfImage image;
  ASSERT_TRUE(sys::elf_image_init(&image, object.base(), nullptr));
  sys::ElfImage scanning = image;
  scanning.spans = nullptr;
  scanning.scansDynamicSymbols = true;
  for (uint64_t offset : offsets) {
    uint64_t start = 0;
    const char* name = nullptr;
    const Elf64_Sym* expected = scanFor(object, mapped, offset);
    const bool found =
        sys::elf_image_symbol_for_pc(&image, object.base() + offset, &start, &name, nullptr);
    EXPECT_EQ(found, expected != nullptr) << std::hex << offset;
    uint64_t scannedStart = 0;
    const char* scannedName = nullptr;
    EXPECT_EQ(sys::elf_image_symbol_for_pc(&scanning, object.base() + offset, &scannedStart,
                                           &scannedName, nullptr),
              expected != nullptr)
        << std::hex << offset;
    if (!found || expected == nullptr) continue;
    EXPECT_STREQ(name, object.name(*expected)) << std::hex << offset;
    EXPECT_EQ(start, object.base() + expected->st_value) << std::hex << offset;
    EXPECT_EQ(scannedName, name) << std::hex << offset;
    EXPECT_EQ(scannedStart, start) << std::hex << offset;
  }
  sys::elf_image_free(&image);
}

// Nested and overlapping symbols, several starting together, symbols of size
// 0, unnamed, undefined and non-code symbols, sizes that run past the object,
// and a symbol outside it.
TEST(ElfImage, SymbolIndexAnswersAsAScanOfTheTable) {
  SyntheticObject object({symbolAt(0x100, 0xF00, STB_GLOBAL, STT_OBJECT),
                          symbolAt(0x200, 0x100),
                          symbolAt(0x220, 0x20),
                          symbolAt(0x250, 0x8, STB_LOCAL),
                          symbolAt(0x250, 0x8),
                          symbolAt(0x250, 0x20),
                          symbolAt(0x250, 0),
                          symbolAt(0x260, 0),
                          symbolAt(0x310, 0x30),
                          symbolAt(0x330, 0x30),
                          symbolAt(0x2A0, 0x10),
                          symbolAt(0x2C0, 0x8, STB_GLOBAL, STT_FUNC, SHN_UNDEF),
                          symbolAt(0x2D0, 0x8, STB_LOCAL, STT_SECTION),
                          symbolAt(0x2E0, 0x8, STB_GLOBAL, STT_TLS),
                          symbolAt(0, 0x8),
                          symbolAt(0x2000, uint64_t{1} << 33, STB_LOCAL, STT_NOTYPE),
                          symbolAt(0x2000 + (uint64_t{1} << 32), 0x10),
                          symbolAt(0x2800, 0x10),
                          symbolAt(0x3000, uint64_t{1} << 40),
                          symbolAt(0x3100, 0x10)},
                         {"big",   "outer",       "inner",       "tie_local", "tie_a",
                          "tie_b", "tie_unsized", "marker",      "left",      "right",
                          "",      "undefined",   "section",     "tls",       "zero",
                          "huge",  "outside",     "inside_huge", "runaway",   "after_runaway"});
  const uint64_t mapped = 4 * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  std::vector<uint64_t> offsets;
  for (uint64_t offset = 0xF0; offset < 0x1010; ++offset) offsets.push_back(offset);
  for (uint64_t offset :
       {uint64_t{0x1FFF}, uint64_t{0x2000}, uint64_t{0x27FF}, uint64_t{0x2800}, uint64_t{0x2810},
        uint64_t{0x2FFF}, uint64_t{0x3000}, uint64_t{0x30FF}, uint64_t{0x3100}, uint64_t{0x3110},
        mapped - 1, mapped, (uint64_t{1} << 32) + 0x2000, (uint64_t{1} << 33) + 0x1FFF}) {
    offsets.push_back(offset);
  }
  expectIndexAndScanAgree(object, offsets);
}

// A string table cut short inside its last name, as a damaged object's is:
// that name, with no end inside the table, names nothing, and a neighbour
// whose size runs past the object ends where the next named symbol starts.
TEST(ElfImage, NameWithoutAnEndInItsTableIsPassedOver) {
  SyntheticObject object({symbolAt(0x100, uint64_t{1} << 40), symbolAt(0x200, 0x10)},
                         {"runaway", "cut_short"}, 1);
  expectIndexAndScanAgree(object, {0x100, 0x1FF, 0x200, 0x208, 0x210, 0x300});
}

// However large the sizes a table claims, the index holds at most two spans
// per symbol: it grows with the number of symbols, never with their sizes.
TEST(ElfImage, SymbolIndexGrowsWithTheSymbolsNotTheirSizes) {
  std::vector<Elf64_Sym> symbols;
  std::vector<std::string> names;
  for (uint64_t i = 0; i < 64; ++i) {
    symbols.push_back(symbolAt(0x100 + i * 0x40, uint64_t{1} << (33 + i % 8)));
    names.push_back("claims_" + std::to_string(i));
  }
  SyntheticObject object(symbols, names);
  sys::ElfImage image;
  ASSERT_TRUE(sys::elf_image_init(&image, object.base(), nullptr));
  EXPECT_LE(image.spanCount, 2 * symbols.size());
  uint64_t start = 0;
  const char* name = nullptr;
  ASSERT_TRUE(sys::elf_image_symbol_for_pc(&image, object.base() + 0x100 + 0x40 * 63 + 0x100,
                                           &start, &name, nullptr));
  EXPECT_STREQ(name, "claims_63");
  sys::elf_image_free(&image);
}

// The object's file with its section headers at an offset no linker writes:
// they are not read (in place they would be misaligned); the loaded object
// still is.
TEST(ElfImage, MisplacedSectionHeadersAreIgnored) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto* mem = static_cast<uint8_t*>(
      mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  Elf64_Ehdr eh = objectHeader(1);
  eh.e_shoff = 0x101;
  eh.e_shentsize = sizeof(Elf64_Shdr);
  eh.e_shnum = 2;
  std::memcpy(mem, &eh, sizeof eh);
  Elf64_Phdr load{PT_LOAD, PF_R | PF_X, 0, 0, 0, page, page, page};
  std::memcpy(mem + sizeof eh, &load, sizeof load);
  const std::string path = ::testing::TempDir() + "/misplaced-section-headers.elf";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(mem), 0x400);

  sys::ElfImage image;
  ASSERT_TRUE(sys::elf_image_init(&image, reinterpret_cast<uint64_t>(mem), path.c_str()));
  EXPECT_EQ(image.tables[0].count, 0u);
  EXPECT_EQ(image.fileMapping, nullptr);
  sys::elf_image_free(&image);
  std::remove(path.c_str());
  munmap(mem, page);
}

}  // namespace
