#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "MachOFixtures.h"
#include "images/AsyncImageList.h"
#include "system/SystemFacts.h"
#include "systemTest/BuildIds.h"

namespace {

using rocrash::testing::SyntheticImage;
using sys::testing::buildIdOfFile;

std::unique_ptr<SyntheticImage> textImage() {
  return std::make_unique<SyntheticImage>(
      true, false, 7, 3,
      std::vector<rocrash::testing::SyntheticSegment>{{"__TEXT", 0x1000, 0x2000, {}}});
}

class AsyncImageList : public ::testing::Test {
 protected:
  void SetUp() override {
    rocrash_async_image_list_init(&list_, sys::mach_task_self());
    for (int i = 0; i < 3; ++i) images_.push_back(textImage());
  }
  void TearDown() override { rocrash_async_image_list_free(&list_); }
  std::vector<uint64_t> walk() {
    std::vector<uint64_t> headers;
    rocrash_async_image_list_set_reading(&list_, true);
    for (auto* i = rocrash_async_image_list_next(&list_, nullptr); i != nullptr;
         i = rocrash_async_image_list_next(&list_, i)) {
      headers.push_back(i->header_addr);
    }
    rocrash_async_image_list_set_reading(&list_, false);
    return headers;
  }
  // Head, tail and both link directions agree with `expected`.
  void expectLinks(const std::vector<uint64_t>& expected) {
    EXPECT_EQ(walk(), expected);
    auto* s = list_.shared;
    std::vector<uint64_t> backwards;
    for (auto* e = s->tail; e != nullptr; e = e->prev)
      backwards.push_back(e->value.load()->header_addr);
    EXPECT_EQ(std::vector<uint64_t>(backwards.rbegin(), backwards.rend()), expected);
    if (expected.empty()) {
      EXPECT_EQ(s->head.load(), nullptr);
    }
  }
  uint64_t h(int i) { return images_[i]->header(); }
  rocrash_async_image_list list_;
  std::vector<std::unique_ptr<SyntheticImage>> images_;
};

TEST_F(AsyncImageList, AppendsInOrderAndRemovesAnywhere) {
  for (int i = 0; i < 3; ++i) rocrash_async_image_list_append(&list_, h(i), "img");
  expectLinks({h(0), h(1), h(2)});
  rocrash_async_image_list_remove(&list_, 0x1234);  // not listed
  expectLinks({h(0), h(1), h(2)});
  rocrash_async_image_list_remove(&list_, h(1));
  expectLinks({h(0), h(2)});
  rocrash_async_image_list_remove(&list_, h(0));
  expectLinks({h(2)});
  rocrash_async_image_list_remove(&list_, h(2));
  expectLinks({});
  rocrash_async_image_list_append(&list_, h(1), "img");
  expectLinks({h(1)});
}

TEST_F(AsyncImageList, UnreadableImageLeavesListUnchanged) {
  rocrash_async_image_list_append(&list_, h(0), "img");
  rocrash_async_image_list_append(&list_, 16, "bad");
  images_[1]->bytes()[0] = 0;  // no magic
  rocrash_async_image_list_append(&list_, h(1), "bad");
  expectLinks({h(0)});
}

TEST_F(AsyncImageList, RemovalsDuringAWalkAreParkedAndReusedFrontFirst) {
  for (int i = 0; i < 3; ++i) rocrash_async_image_list_append(&list_, h(i), "img");
  rocrash_async_image_list_set_reading(&list_, true);
  auto* first = rocrash_async_image_list_next(&list_, nullptr);
  auto* entryOf1 = list_.shared->head.load()->next.load();
  auto* entryOf0 = list_.shared->head.load();
  rocrash_async_image_list_remove(&list_, h(1));
  rocrash_async_image_list_remove(&list_, h(0));
  // The walk goes on from where it stood.
  auto* next = rocrash_async_image_list_next(&list_, first);
  ASSERT_NE(next, nullptr);
  rocrash_async_image_list_set_reading(&list_, false);
  ASSERT_EQ(list_.shared->free, entryOf0);  // last removed is first spare
  ASSERT_EQ(entryOf0->next.load(), entryOf1);
  auto extra = textImage();
  rocrash_async_image_list_append(&list_, h(0), "again");
  EXPECT_EQ(list_.shared->tail, entryOf0);
  rocrash_async_image_list_append(&list_, extra->header(), "again");
  EXPECT_EQ(list_.shared->tail, entryOf1);
  EXPECT_EQ(list_.shared->free, nullptr);
  expectLinks({h(2), h(0), extra->header()});
  rocrash_async_image_list_free(&list_);  // before `extra` goes away
  rocrash_async_image_list_init(&list_, sys::mach_task_self());
}

TEST_F(AsyncImageList, ContainingAddressCoversTheTextSpan) {
  rocrash_async_image_list_append(&list_, h(0), "a");
  rocrash_async_image_list_append(&list_, h(1), "b");
  rocrash_async_image_list_set_reading(&list_, true);
  auto* image = rocrash_async_image_containing_address(&list_, h(1));
  ASSERT_NE(image, nullptr);
  EXPECT_STREQ(image->name, "b");
  EXPECT_EQ(rocrash_async_image_containing_address(&list_, h(1) + 0x1FFF), image);
  EXPECT_EQ(rocrash_async_image_containing_address(&list_, h(1) + 0x2000), nullptr);
  rocrash_async_image_list_set_reading(&list_, false);
}

// The process's own list, fed by the image notices.
TEST(AsyncImageListOfThisProcess, HoldsExecutableAndLibcWithTheirBuildIds) {
  static rocrash_async_image_list list;  // one per process, as the reporter keeps it
  rocrash_async_image_list_init(&list, sys::mach_task_self());
  rocrash_async_image_list_register_notifications(&list);
  std::string exe = *sys::systemFacts()->executablePath();
  rocrash_async_macho* executable = nullptr;
  rocrash_async_macho* libc = nullptr;
  rocrash_async_image_list_set_reading(&list, true);
  for (auto* i = rocrash_async_image_list_next(&list, nullptr); i != nullptr;
       i = rocrash_async_image_list_next(&list, i)) {
    if (exe == i->name) executable = i;
    if (std::string(i->name).find("/libc.so") != std::string::npos) libc = i;
  }
  ASSERT_NE(executable, nullptr);
  ASSERT_NE(libc, nullptr);
  for (auto* image : {executable, libc}) {
    uint8_t uuid[16];
    ASSERT_TRUE(rocrash_async_macho_uuid(image, uuid));
    auto id = buildIdOfFile(image->name);
    ASSERT_EQ(id.size(), 16u) << image->name;
    EXPECT_EQ(std::vector<uint8_t>(uuid, uuid + 16), id) << image->name;
  }
  rocrash_vm_address_t mainAddress = 0;
  ASSERT_EQ(rocrash_async_macho_find_symbol_by_name(executable, "_main", &mainAddress),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(rocrash_async_image_containing_address(&list, mainAddress), executable);
  rocrash_async_image_list_set_reading(&list, false);
}

// Writers append and remove while one reader walks, as a crash would.
TEST(AsyncImageListStress, WalksStaySafeWhileWritersChangeTheList) {
  rocrash_async_image_list list;
  rocrash_async_image_list_init(&list, sys::mach_task_self());
  std::vector<std::unique_ptr<SyntheticImage>> images;
  for (int i = 0; i < 16; ++i) images.push_back(textImage());
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      rocrash_async_image_list_set_reading(&list, true);
      for (auto* i = rocrash_async_image_list_next(&list, nullptr); i != nullptr;
           i = rocrash_async_image_list_next(&list, i)) {
        EXPECT_EQ(i->text_size, 0x2000u);
      }
      rocrash_async_image_list_set_reading(&list, false);
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      for (int round = 0; round < 200; ++round) {
        for (int i = w; i < 16; i += 2)
          rocrash_async_image_list_append(&list, images[i]->header(), "s");
        for (int i = w; i < 16; i += 2) rocrash_async_image_list_remove(&list, images[i]->header());
      }
    });
  }
  for (auto& t : writers) t.join();
  stop = true;
  reader.join();
  rocrash_async_image_list_set_reading(&list, true);
  EXPECT_EQ(rocrash_async_image_list_next(&list, nullptr), nullptr);
  rocrash_async_image_list_set_reading(&list, false);
  rocrash_async_image_list_free(&list);
}

}  // namespace
