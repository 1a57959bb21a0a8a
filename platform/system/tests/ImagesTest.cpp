#include <elf.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "system/ElfImage.h"
#include "system/ImageEvents.h"
#include "system/SystemFacts.h"

extern "C" __attribute__((noinline, used)) int kestrixImagesTestFunction(int x) {
  return x * 7 + 1;
}
extern "C" __attribute__((used)) const char kestrixImagesTestBlob[64] = "blob";

namespace {

std::vector<std::pair<uint64_t, int64_t>> gAdded;
std::vector<uint64_t> gRemoved;
void onAdd(uint64_t header, int64_t slide) { gAdded.emplace_back(header, slide); }
void onRemove(uint64_t header, int64_t) { gRemoved.push_back(header); }

// The GNU build id of a file, found by its note's byte pattern.
std::vector<uint8_t> buildIdOfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  static const char kNote[] = "\x04\0\0\0\x14\0\0\0\x03\0\0\0GNU\0";
  auto at = bytes.find(std::string(kNote, 16));
  if (at == std::string::npos) return {};
  return std::vector<uint8_t>(bytes.begin() + at + 16, bytes.begin() + at + 32);
}

std::string pathOf(uint64_t address) {
  sys::DlInfo info;
  return sys::dladdr(address, &info) ? info.dli_fname : "";
}

TEST(ImageEvents, RegistrationAnnouncesExecutableAndLibc) {
  sys::register_func_for_add_image(onAdd);
  sys::register_func_for_remove_image(onRemove);
  std::set<std::string> paths;
  for (auto [header, slide] : gAdded) paths.insert(pathOf(header));
  std::string exe = *sys::systemFacts()->executablePath();
  EXPECT_EQ(paths.count(exe), 1u);
  bool libc = false;
  for (const auto& p : paths) libc |= p.find("libc.so") != std::string::npos;
  EXPECT_TRUE(libc);
  EXPECT_EQ(pathOf(reinterpret_cast<uint64_t>(&kestrixImagesTestFunction)), exe);
  // A second sync announces nothing new.
  size_t before = gAdded.size();
  sys::sync_loaded_images();
  EXPECT_EQ(gAdded.size(), before);
}

TEST(ImageEvents, AnnouncedImagesAreFoundUntilRemoved) {
  sys::register_func_for_add_image(onAdd);
  sys::register_func_for_remove_image(onRemove);
  // Outside every loaded object, as a mapped fixture would be.
  void* fake = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  uint64_t base = reinterpret_cast<uint64_t>(fake);
  const uint64_t size = 4096;
  gAdded.clear();
  sys::announce_image_added(base, 0, size, "/fixtures/fake.dylib");
  ASSERT_FALSE(gAdded.empty());
  EXPECT_EQ(gAdded.back().first, base);
  EXPECT_EQ(pathOf(base), "/fixtures/fake.dylib");
  EXPECT_EQ(pathOf(base + size - 1), "/fixtures/fake.dylib");
  EXPECT_NE(pathOf(base + size), "/fixtures/fake.dylib");
  sys::announce_image_removed(base);
  ASSERT_FALSE(gRemoved.empty());
  EXPECT_EQ(gRemoved.back(), base);
  EXPECT_EQ(pathOf(base), "");
  size_t removed = gRemoved.size();
  sys::announce_image_removed(base);  // unknown now: nothing happens
  EXPECT_EQ(gRemoved.size(), removed);
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
  ASSERT_TRUE(sys::elf_image_symbol_for_pc(&image_, fn + 2, &start, &name));
  EXPECT_STREQ(name, "kestrixImagesTestFunction");
  EXPECT_EQ(start, fn);
  uint64_t blob = reinterpret_cast<uint64_t>(kestrixImagesTestBlob);
  ASSERT_TRUE(sys::elf_image_symbol_for_pc(&image_, blob + 63, &start, &name));
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
  if (sys::elf_image_symbol_for_pc(&image_, blob + size, &start, &name)) {
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

}  // namespace
