#include <gtest/gtest.h>

#include <map>
#include <set>

#include "MachOFixtures.h"
#include "images/AsyncObjCSection.h"

namespace {

using rocrash::testing::expectedFor;
using rocrash::testing::MappedImage;

struct Named {
  uint64_t address = 0;
  std::string name;
};
void keep(rocrash_vm_address_t address, const char* name, void* ctx) {
  static_cast<Named*>(ctx)->address = address;
  static_cast<Named*>(ctx)->name = name;
}

// A fixture mapped and read, with a class cache, and the link-time address
// of each symbol by name.
class ObjCFixture {
 public:
  explicit ObjCFixture(const std::string& name) : mapped_(MappedImage::map(name)) {
    EXPECT_EQ(
        rocrash_async_macho_init(&image_, sys::mach_task_self(), name.c_str(), mapped_->header()),
        ROCRASH_ERR_NONE);
    rocrash_async_class_cache_init(&cache_);
    // Addresses come from the unstripped file: the stripped copy has the same layout.
    for (const auto& s : expectedFor("objc_root").symbols) symbols_[s.name] = s.value;
  }
  ~ObjCFixture() {
    rocrash_async_class_cache_free(&cache_);
    rocrash_async_macho_free(&image_);
  }
  uint64_t runtime(const std::string& symbol) {
    return symbols_.at(symbol) + static_cast<uint64_t>(mapped_->slide());
  }
  rocrash_error_t find(uint32_t strategy, uint64_t pc, Named* out) {
    return rocrash_async_find_symbol(&image_, strategy, &cache_, pc, keep, out);
  }
  rocrash_async_macho image_;
  rocrash_async_class_cache cache_;

 private:
  std::unique_ptr<MappedImage> mapped_;
  std::map<std::string, uint64_t> symbols_;
};

TEST(AsyncObjCSection, MetadataNamesClassInstanceAndCategoryMethods) {
  ObjCFixture f("objc_root");
  Named n;
  ASSERT_EQ(f.find(ROCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, f.runtime("+[Root foo]") + 4, &n),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(n.name, "+[Root foo]");
  EXPECT_EQ(n.address, f.runtime("+[Root foo]"));
  ASSERT_EQ(f.find(ROCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, f.runtime("-[Root bar]"), &n),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(n.name, "-[Root bar]");
  // A category method carries the name of the class it extends.
  ASSERT_EQ(f.find(ROCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, f.runtime("+[Root(Extra) qux]"), &n),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(n.name, "+[Root qux]");
  EXPECT_TRUE(f.cache_.gotObjC2Info);
  EXPECT_EQ(f.cache_.classCacheSize, 1024u);
}

TEST(AsyncObjCSection, OnEqualAddressesTheMetadataNameWins) {
  ObjCFixture f("objc_root");
  uint64_t qux = f.runtime("+[Root(Extra) qux]");
  Named n;
  ASSERT_EQ(f.find(ROCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, qux, &n), ROCRASH_ERR_NONE);
  EXPECT_EQ(n.name, "+[Root(Extra) qux]");
  ASSERT_EQ(f.find(ROCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE | ROCRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
                   qux + 2, &n),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(n.name, "+[Root qux]");
  EXPECT_EQ(n.address, qux);
}

TEST(AsyncObjCSection, StrippedImageIsNamedOnlyThroughMetadata) {
  ObjCFixture f("objc_root_stripped");
  Named n;
  uint64_t foo = f.runtime("+[Root foo]");
  EXPECT_EQ(f.find(ROCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, foo, &n), ROCRASH_ERR_NOTFOUND);
  ASSERT_EQ(f.find(ROCRASH_ASYNC_SYMBOL_STRATEGY_OBJC | ROCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE,
                   foo, &n),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(n.name, "+[Root foo]");
}

TEST(AsyncObjCSection, WithoutCategoryListTheSymbolTableDecides) {
  ObjCFixture f("objc_root_nocat");
  // The nocat image has its own layout: take the address from its own table.
  std::map<std::string, uint64_t> own;
  for (const auto& s : expectedFor("objc_root_nocat").symbols) own[s.name] = s.value;
  uint64_t bar = own.at("-[Root bar]") + static_cast<uint64_t>(f.image_.vmaddr_slide);
  Named n;
  EXPECT_EQ(f.find(ROCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, bar, &n), ROCRASH_ERR_NOTFOUND);
  ASSERT_EQ(f.find(ROCRASH_ASYNC_SYMBOL_STRATEGY_OBJC | ROCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE,
                   bar, &n),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(n.name, "-[Root bar]");
}

struct Method {
  bool isClass;
  std::string cls, name;
  uint64_t imp;
};
void collect(bool isClass, rocrash_async_macho_string* cls, rocrash_async_macho_string* name,
             rocrash_vm_address_t imp, void* ctx) {
  const char* c = nullptr;
  const char* m = nullptr;
  // A name that cannot be read is recorded empty.
  (void)rocrash_async_macho_string_get_pointer(cls, &c);
  (void)rocrash_async_macho_string_get_pointer(name, &m);
  static_cast<std::vector<Method>*>(ctx)->push_back({isClass, c ? c : "", m ? m : "", imp});
}

TEST(AsyncObjCSection, ParseReportsEveryMethodAndNeedsACache) {
  ObjCFixture f("objc_root");
  std::vector<Method> methods;
  EXPECT_EQ(rocrash_async_class_metadata_parse(&f.image_, nullptr, collect, &methods),
            ROCRASH_ERR_ACCESS);
  ASSERT_EQ(rocrash_async_class_metadata_parse(&f.image_, &f.cache_, collect, &methods),
            ROCRASH_ERR_NONE);
  ASSERT_EQ(methods.size(), 3u);
  EXPECT_FALSE(methods[0].isClass);
  EXPECT_EQ(methods[0].name, "bar");
  EXPECT_TRUE(methods[1].isClass);
  EXPECT_EQ(methods[1].name, "foo");
  EXPECT_EQ(methods[2].cls, "Root");
  EXPECT_EQ(methods[2].name, "qux");
  EXPECT_EQ(methods[2].imp, f.runtime("+[Root(Extra) qux]"));
  // A second walk reuses the mapped sections and the class table.
  methods.clear();
  ASSERT_EQ(rocrash_async_class_metadata_parse(&f.image_, &f.cache_, collect, &methods),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(methods.size(), 3u);
}

TEST(AsyncObjCSection, PcBelowEveryMethodIsNotFound) {
  ObjCFixture f("objc_root");
  Named n;
  EXPECT_EQ(f.find(ROCRASH_ASYNC_SYMBOL_STRATEGY_OBJC, f.runtime("+[Root foo]") - 1, &n),
            ROCRASH_ERR_NOTFOUND);
  EXPECT_EQ(f.find(ROCRASH_ASYNC_SYMBOL_STRATEGY_NONE, f.runtime("+[Root foo]"), &n),
            ROCRASH_ERR_NOTFOUND);
}

}  // namespace
