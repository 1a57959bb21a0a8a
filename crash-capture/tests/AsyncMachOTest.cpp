#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "MachOFixtures.h"
#include "images/AsyncMachO.h"
#include "system/ImageEvents.h"

namespace {

using rocrash::testing::expectedFor;
using rocrash::testing::ExpectedImage;
using rocrash::testing::fixturePath;
using rocrash::testing::MappedImage;
using rocrash::testing::SyntheticImage;

struct Found {
  uint64_t address = 0;
  std::string name;
  int calls = 0;
};
void remember(rocrash_vm_address_t address, const char* name, void* ctx) {
  auto* f = static_cast<Found*>(ctx);
  f->address = address;
  f->name = name;
  ++f->calls;
}

bool thumbFunction(const ExpectedImage& e, const rocrash::testing::ExpectedSymbol& s) {
  return e.cputype == 12 && (s.type == 'T' || s.type == 't');
}

class RealFixture : public ::testing::TestWithParam<const char*> {};

// Everything the reader says about a real fixture matches the LLVM tools.
TEST_P(RealFixture, MatchesWhatTheToolsRecorded) {
  std::string name = GetParam();
  ExpectedImage e = expectedFor(name);
  auto mapped = MappedImage::map(name);
  rocrash_async_macho image;
  ASSERT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), mapped->path().c_str(),
                                     mapped->header()),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(rocrash_async_macho_cpu_type(&image), e.cputype);
  EXPECT_EQ(rocrash_async_macho_cpu_subtype(&image), e.cpusubtype);
  EXPECT_EQ(image.vmaddr_slide, mapped->slide());
  uint8_t uuid[16];
  ASSERT_TRUE(rocrash_async_macho_uuid(&image, uuid));
  EXPECT_EQ(std::vector<uint8_t>(uuid, uuid + 16), e.uuid);
  EXPECT_TRUE(rocrash_async_macho_contains_address(&image, mapped->header()));
  EXPECT_FALSE(rocrash_async_macho_contains_address(&image, mapped->header() + image.text_size));

  for (const auto& seg : e.segments) {
    SCOPED_TRACE(seg.name);
    ASSERT_NE(rocrash_async_macho_find_segment_cmd(&image, seg.name.c_str()), nullptr);
    if (seg.vmaddr == 0 && seg.name == "__PAGEZERO") continue;
    rocrash_async_macho_mapped_segment mapped_segment;
    ASSERT_EQ(rocrash_async_macho_map_segment(&image, seg.name.c_str(), &mapped_segment),
              ROCRASH_ERR_NONE);
    EXPECT_EQ(rocrash_async_mobject_base_address(&mapped_segment.mobj),
              seg.vmaddr + static_cast<uint64_t>(mapped->slide()));
    EXPECT_EQ(rocrash_async_mobject_length(&mapped_segment.mobj), seg.vmsize);
    rocrash_async_macho_mapped_segment_free(&mapped_segment);
  }
  for (const auto& sect : e.sections) {
    SCOPED_TRACE(sect.segment + "," + sect.name);
    rocrash_async_mobject m;
    ASSERT_EQ(rocrash_async_macho_map_section(&image, sect.segment.c_str(), sect.name.c_str(), &m),
              ROCRASH_ERR_NONE);
    EXPECT_EQ(rocrash_async_mobject_base_address(&m),
              sect.addr + static_cast<uint64_t>(mapped->slide()));
    EXPECT_EQ(rocrash_async_mobject_length(&m), sect.size);
    rocrash_async_mobject_free(&m);
  }
  rocrash_async_mobject m;
  EXPECT_EQ(rocrash_async_macho_map_section(&image, "__TEXT", "__nothing", &m),
            ROCRASH_ERR_NOTFOUND);
  EXPECT_EQ(rocrash_async_macho_map_section(&image, "__NOSEG", "__text", &m), ROCRASH_ERR_NOTFOUND);

  // Symbols: every defined symbol whose value no other symbol shares.
  std::map<uint64_t, int> perValue;
  for (const auto& s : e.symbols) ++perValue[s.value];
  int checked = 0;
  for (const auto& s : e.symbols) {
    if (perValue[s.value] != 1) continue;
    SCOPED_TRACE(s.name);
    uint64_t expected = s.value + static_cast<uint64_t>(mapped->slide());
    if (thumbFunction(e, s)) expected |= 1;
    Found found;
    ASSERT_EQ(rocrash_async_macho_find_symbol_by_pc(
                  &image, s.value + static_cast<uint64_t>(mapped->slide()), remember, &found),
              ROCRASH_ERR_NONE);
    EXPECT_EQ(found.name, s.name);
    EXPECT_EQ(found.address, expected);
    EXPECT_EQ(found.calls, 1);
    rocrash_vm_address_t byName = 0;
    ASSERT_EQ(rocrash_async_macho_find_symbol_by_name(&image, s.name.c_str(), &byName),
              ROCRASH_ERR_NONE);
    EXPECT_EQ(byName, expected);
    ++checked;
  }
  EXPECT_GT(checked, 0);
  rocrash_vm_address_t unused;
  EXPECT_EQ(rocrash_async_macho_find_symbol_by_name(&image, "_no_such_symbol", &unused),
            ROCRASH_ERR_NOTFOUND);
  rocrash_async_macho_free(&image);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealFixture,
                         ::testing::Values("functions_arm64", "functions_arm64_nofp",
                                           "functions_x86_64", "functions_x86_64_nofp",
                                           "program_arm64", "leaf_armv7", "objc_root",
                                           "objc_root_nocat", "objc_root_stripped"));

TEST(AsyncMachO, PcBetweenSymbolsNamesTheLowerOneAndBelowAllNone) {
  ExpectedImage e = expectedFor("functions_arm64");
  auto mapped = MappedImage::map("functions_arm64");
  rocrash_async_macho image;
  ASSERT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), "f", mapped->header()),
            ROCRASH_ERR_NONE);
  uint64_t entry = 0;
  for (const auto& s : e.symbols) {
    if (s.name == "_global_entry") entry = s.value;
  }
  ASSERT_NE(entry, 0u);
  Found found;
  uint64_t slide = static_cast<uint64_t>(mapped->slide());
  ASSERT_EQ(rocrash_async_macho_find_symbol_by_pc(&image, entry + slide + 2, remember, &found),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(found.name, "_global_entry");
  EXPECT_EQ(rocrash_async_macho_find_symbol_by_pc(&image, e.symbols.front().value + slide - 1,
                                                  remember, &found),
            ROCRASH_ERR_NOTFOUND);
  rocrash_async_macho_free(&image);
}

TEST(AsyncMachO, FatFileIsRefused) {
  std::ifstream in(fixturePath("functions_fat"), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 64u);
  rocrash_async_macho image;
  EXPECT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), "fat",
                                     reinterpret_cast<uint64_t>(bytes.data())),
            ROCRASH_ERR_INVAL);
}

TEST(AsyncMachO, HoleGivesSegmentPrefixAndFailsTheSection) {
  ExpectedImage e = expectedFor("objc_root");
  auto mapped = MappedImage::map("objc_root");
  rocrash_async_macho image;
  ASSERT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), "o", mapped->header()),
            ROCRASH_ERR_NONE);
  const uint64_t page = sys::vm_page_size();
  const rocrash::testing::ExpectedSection* crossing = nullptr;
  for (const auto& s : e.sections) {
    if (s.segment == "__TEXT" && s.addr < page && s.addr + s.size > page) crossing = &s;
  }
  ASSERT_NE(crossing, nullptr);
  mapped->protectNone(page, page);
  rocrash_async_macho_mapped_segment seg;
  ASSERT_EQ(rocrash_async_macho_map_segment(&image, "__TEXT", &seg), ROCRASH_ERR_NONE);
  EXPECT_EQ(rocrash_async_mobject_length(&seg.mobj), page);
  rocrash_async_macho_mapped_segment_free(&seg);
  rocrash_async_mobject m;
  EXPECT_EQ(rocrash_async_macho_map_section(&image, "__TEXT", crossing->name.c_str(), &m),
            ROCRASH_ERR_NOMEM);
  rocrash_async_macho_free(&image);
}

TEST(AsyncMachO, SwappedAndThirtyTwoBitHeadersAreRead) {
  for (bool is64 : {true, false}) {
    for (bool swapped : {false, true}) {
      SyntheticImage s(is64, swapped, 18, 0x80000002u,
                       {{"__TEXT", 0x1000, 0x4000, {{"__text", {0x1100, 0x20}}}},
                        {"__DATA", 0x5000, 0x1000, {}}});
      rocrash_async_macho image;
      ASSERT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), "syn", s.header()),
                ROCRASH_ERR_NONE);
      EXPECT_EQ(image.m64, is64);
      EXPECT_EQ(rocrash_async_macho_byteorder(&image),
                swapped ? rocrash_async_byteorder_swapped() : rocrash_async_byteorder_direct());
      EXPECT_EQ(rocrash_async_macho_header_size(&image), is64 ? 32u : 28u);
      EXPECT_EQ(rocrash_async_macho_cpu_type(&image), 18u);
      EXPECT_EQ(rocrash_async_macho_cpu_subtype(&image), 0x80000002u);
      EXPECT_EQ(image.text_vmaddr, 0x1000u);
      EXPECT_EQ(image.text_size, 0x4000u);
      EXPECT_EQ(image.vmaddr_slide, static_cast<int64_t>(s.header() - 0x1000));
      EXPECT_NE(rocrash_async_macho_find_segment_cmd(&image, "__DATA"), nullptr);
      EXPECT_EQ(rocrash_async_macho_find_segment_cmd(&image, "__DAT"), nullptr);
      uint8_t uuid[16];
      EXPECT_FALSE(rocrash_async_macho_uuid(&image, uuid));
      rocrash_async_macho_free(&image);
    }
  }
}

TEST(AsyncMachO, DamagedHeadersAndCommands) {
  rocrash_async_macho image;
  EXPECT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), "x", 16), ROCRASH_ERR_INTERNAL);
  {
    SyntheticImage s(true, false, 7, 3, {{"__TEXT", 0, 0x1000, {}}});
    s.bytes()[0] = 0xBE;  // fat magic's first byte, for one
    EXPECT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), "x", s.header()),
              ROCRASH_ERR_INVAL);
  }
  {
    // No __TEXT segment.
    SyntheticImage s(true, false, 7, 3, {{"__DATA", 0, 0x1000, {}}});
    EXPECT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), "x", s.header()),
              ROCRASH_ERR_INVAL);
  }
  {
    // A zero cmdsize ends the walk: the __TEXT behind it is never reached.
    SyntheticImage s(true, false, 7, 3, {{"__DATA", 0, 0x1000, {}}, {"__TEXT", 0, 0x1000, {}}});
    s.setCommandSize(0, 0);
    EXPECT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), "x", s.header()),
              ROCRASH_ERR_INVAL);
  }
  {
    // Load commands that claim more than is mapped.
    SyntheticImage s(true, false, 7, 3, {{"__TEXT", 0, 0x1000, {}}}, 0x2000);
    mprotect(s.bytes() + 0x1000, 0x1000, PROT_NONE);
    s.setSizeOfCommands(0x1800);
    EXPECT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), "x", s.header()),
              ROCRASH_ERR_NOMEM);
  }
  {
    // A segment whose section headers run past the load commands.
    SyntheticImage s(true, false, 7, 3, {{"__TEXT", 0, 0x1000, {{"__text", {0, 8}}}}});
    uint32_t nsects = 5;
    std::memcpy(s.bytes() + 32 + 64, &nsects, 4);
    ASSERT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), "x", s.header()),
              ROCRASH_ERR_NONE);
    rocrash_async_mobject m;
    EXPECT_EQ(rocrash_async_macho_map_section(&image, "__TEXT", "__other", &m), ROCRASH_ERR_INVAL);
    EXPECT_EQ(rocrash_async_macho_find_command(&image, ROCRASH_LC_SYMTAB), nullptr);
    rocrash_async_macho_symtab_reader reader;
    EXPECT_EQ(rocrash_async_macho_symtab_reader_init(&reader, &image), ROCRASH_ERR_NOTFOUND);
    rocrash_async_macho_free(&image);
  }
}

TEST(AsyncMachO, LazyStringGrowsPageByPage) {
  const size_t page = sys::vm_page_size();
  auto* mem = static_cast<char*>(
      mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  std::memset(mem, 'a', 4 * page);
  mem[2 * page + 10] = '\0';  // on the third page
  mprotect(mem + 3 * page, page, PROT_NONE);
  rocrash_async_macho image = {};
  image.task = sys::mach_task_self();
  rocrash_async_macho_string s;
  EXPECT_EQ(rocrash_async_macho_string_init(&s, &image, reinterpret_cast<uint64_t>(mem + 100)),
            ROCRASH_ERR_NONE);
  rocrash_vm_size_t length = 0;
  ASSERT_EQ(rocrash_async_macho_string_get_length(&s, &length), ROCRASH_ERR_NONE);
  EXPECT_EQ(length, 2 * page + 10 - 100);
  const char* p = nullptr;
  ASSERT_EQ(rocrash_async_macho_string_get_pointer(&s, &p), ROCRASH_ERR_NONE);
  EXPECT_EQ(std::strlen(p), length);
  rocrash_async_macho_string_free(&s);
  // A string that runs into an unreadable page has no end.
  EXPECT_EQ(
      rocrash_async_macho_string_init(&s, &image, reinterpret_cast<uint64_t>(mem + 2 * page + 20)),
      ROCRASH_ERR_NONE);
  EXPECT_EQ(rocrash_async_macho_string_get_length(&s, &length), ROCRASH_ERR_INVAL);
  rocrash_async_macho_string_free(&s);
  munmap(mem, 4 * page);
}

extern "C" __attribute__((noinline, used)) int rocrashMachOTestFunction(int x) { return x + 5; }

TEST(AsyncMachOElf, HostImagesGoThroughTheAdapter) {
  sys::sync_loaded_images();
  sys::DlInfo info;
  uint64_t fn = reinterpret_cast<uint64_t>(&rocrashMachOTestFunction);
  ASSERT_TRUE(sys::dladdr(fn, &info));
  rocrash_async_macho image;
  ASSERT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), info.dli_fname, info.dli_fbase),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(rocrash_async_macho_cpu_type(&image), 0x01000007u);
  EXPECT_EQ(rocrash_async_macho_cpu_subtype(&image), 3u);
  EXPECT_TRUE(rocrash_async_macho_contains_address(&image, fn));
  EXPECT_STREQ(image.name, info.dli_fname);
  EXPECT_EQ(rocrash_async_macho_next_command(&image, nullptr), nullptr);
  Found found;
  ASSERT_EQ(rocrash_async_macho_find_symbol_by_pc(&image, fn + 1, remember, &found),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(found.name, "_rocrashMachOTestFunction");
  EXPECT_EQ(found.address, fn);
  rocrash_vm_address_t byName = 0;
  EXPECT_EQ(rocrash_async_macho_find_symbol_by_name(&image, "_rocrashMachOTestFunction", &byName),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(byName, fn);
  rocrash_async_macho_mapped_segment seg;
  EXPECT_EQ(rocrash_async_macho_map_segment(&image, "__TEXT", &seg), ROCRASH_ERR_NOTFOUND);
  rocrash_async_macho_free(&image);
}

// The size of the section named `name` in the ELF file at `path`, 0 when
// there is none.
uint64_t elfSectionSize(const std::string& path, const std::string& name) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Elf64_Ehdr eh;
  if (bytes.size() < sizeof eh) return 0;
  std::memcpy(&eh, bytes.data(), sizeof eh);
  auto section = [&](unsigned i) {
    Elf64_Shdr sh;
    std::memcpy(&sh, bytes.data() + eh.e_shoff + i * sizeof sh, sizeof sh);
    return sh;
  };
  const Elf64_Shdr names = section(eh.e_shstrndx);
  for (unsigned i = 0; i < eh.e_shnum; ++i) {
    const Elf64_Shdr sh = section(i);
    if (name == bytes.data() + names.sh_offset + sh.sh_name) return sh.sh_size;
  }
  return 0;
}

// A plugin is read from its loaded image: its call-frame section through its
// search table and its exported names through its dynamic section, also
// once its file is replaced or deleted. The file's full symbol table is
// read only while the file is the one loaded.
TEST(AsyncMachOElf, PluginIsReadFromMemoryAndFromItsFileOnlyWhileItIsTheSame) {
  const std::string folder = ::testing::TempDir() + "/elf-from-memory";
  std::filesystem::create_directories(folder);
  const std::string copy = folder + "/libkx_plugin_a.so";
  std::filesystem::copy_file(ROCRASH_PLUGIN_A, copy,
                             std::filesystem::copy_options::overwrite_existing);
  void* plugin = dlopen(copy.c_str(), RTLD_NOW);
  ASSERT_NE(plugin, nullptr) << dlerror();
  const auto run = reinterpret_cast<uint64_t>(dlsym(plugin, "kx_plugin_a_run"));
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(run), &info), 0);
  const auto header = reinterpret_cast<uint64_t>(info.dli_fbase);
  const uint64_t sectionSize = elfSectionSize(copy, ".eh_frame");
  ASSERT_NE(sectionSize, 0u);
  for (const char* state : {"as loaded", "replaced", "deleted"}) {
    SCOPED_TRACE(state);
    if (std::string(state) == "replaced") {
      std::filesystem::copy_file(ROCRASH_PLUGIN_B, copy + ".new");
      std::filesystem::rename(copy + ".new", copy);
    } else if (std::string(state) == "deleted") {
      std::filesystem::remove(copy);
    }
    rocrash_async_macho image;
    ASSERT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), copy.c_str(), header),
              ROCRASH_ERR_NONE);
    const bool asLoaded = std::string(state) == "as loaded";
    EXPECT_EQ(image.elf->tables[0].count != 0, asLoaded);
    EXPECT_NE(image.elf->tables[1].count, 0u);
    EXPECT_EQ(image.elf->ehFrameSize, sectionSize);
    EXPECT_NE(image.fde_index.table, 0u);
    Found found;
    ASSERT_EQ(rocrash_async_macho_find_symbol_by_pc(&image, run + 1, remember, &found),
              ROCRASH_ERR_NONE);
    EXPECT_EQ(found.name, "_kx_plugin_a_run");
    EXPECT_EQ(found.address, run);
    rocrash_async_macho_free(&image);
  }
  dlclose(plugin);
}

// An image read while another thread unloads it: the reads fail, or find the
// image whole, and never fault.
TEST(AsyncMachOElfStress, ImagesUnloadedWhileTheyAreReadNeverFault) {
  void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  // The C library's own, so that no image notice serializes the two threads.
  auto open = reinterpret_cast<void* (*)(const char*, int)>(dlsym(libc, "dlopen"));
  auto close = reinterpret_cast<int (*)(void*)>(dlsym(libc, "dlclose"));
  std::atomic<uint64_t> header{0};
  std::atomic<bool> stop{false};
  // The reader's passes begun; each takes the header after it counts itself.
  std::atomic<int> passes{0};
  std::thread loader([&] {
    for (int round = 0; round <= 300; ++round) {
      void* plugin = open(ROCRASH_PLUGIN_A, RTLD_NOW);
      struct link_map* map = nullptr;
      if (plugin == nullptr || dlinfo(plugin, RTLD_DI_LINKMAP, &map) != 0) break;
      header.store(map->l_addr);
      if (round == 0) {
        // The first image stays until a pass begun after it came has ended,
        // a pass a sound reader finds whole however starved either thread
        // is; the 300 after it go at once.
        for (const int from = passes.load(); passes.load() < from + 2;) std::this_thread::yield();
      } else {
        std::this_thread::yield();
      }
      close(plugin);
    }
    stop = true;
  });
  int read = 0;
  while (!stop.load()) {
    passes.fetch_add(1);
    const uint64_t at = header.load();
    if (at == 0) continue;
    rocrash_async_macho image;
    if (rocrash_async_macho_init(&image, sys::mach_task_self(), ROCRASH_PLUGIN_A, at) ==
        ROCRASH_ERR_NONE) {
      ++read;
      rocrash_async_macho_free(&image);
    }
  }
  loader.join();
  dlclose(libc);
  EXPECT_GT(read, 0);
}

}  // namespace
