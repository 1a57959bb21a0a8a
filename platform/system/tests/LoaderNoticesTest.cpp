// Libraries loaded and unloaded while the program runs reach the image
// notices: through the program's own dlopen and dlclose as they return, and
// through the watching thread when the loader is reached past them.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "system/ImageEvents.h"

// The sanitizers' own dlopen wrapper calls the C library's from the
// sanitizer's runtime, which the loader then takes for the caller.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SANITIZER_HIDES_DLOPEN_CALLER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SANITIZER_HIDES_DLOPEN_CALLER 1
#endif
#endif

namespace {

std::mutex gLock;
std::vector<uint64_t> gAdded;
std::vector<uint64_t> gRemoved;

void onAdd(uint64_t header, int64_t) {
  std::lock_guard<std::mutex> guard(gLock);
  gAdded.push_back(header);
}

void onRemove(uint64_t header, int64_t) {
  std::lock_guard<std::mutex> guard(gLock);
  gRemoved.push_back(header);
}

class LoaderNotices : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sys::register_func_for_add_image(onAdd);
    sys::register_func_for_remove_image(onRemove);
  }
  // The header of the known image holding `address`, 0 when none does.
  static uint64_t knownImage(const void* address) {
    sys::DlInfo info;
    return sys::dladdr(reinterpret_cast<uint64_t>(address), &info) ? info.dli_fbase : 0;
  }
  // Waits (at most 5 s) until `address` is in a known image, or in none.
  static bool waitUntilKnown(const void* address, bool known) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((knownImage(address) != 0) != known) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  static bool added(uint64_t header) {
    std::lock_guard<std::mutex> guard(gLock);
    return std::find(gAdded.begin(), gAdded.end(), header) != gAdded.end();
  }
  static bool removed(uint64_t header) {
    std::lock_guard<std::mutex> guard(gLock);
    return std::find(gRemoved.begin(), gRemoved.end(), header) != gRemoved.end();
  }
};

TEST_F(LoaderNotices, ProgramsDlopenAndDlcloseAnnounceBeforeTheyReturn) {
  void* probe = dlopen(SYSTEM_LOADER_PROBE, RTLD_NOW);
  ASSERT_NE(probe, nullptr) << dlerror();
  void* open = dlsym(probe, "loader_probe_open");
  ASSERT_NE(open, nullptr);
  const uint64_t header = knownImage(open);
  ASSERT_NE(header, 0u);
  EXPECT_TRUE(added(header));
  sys::DlInfo info;
  ASSERT_TRUE(sys::dladdr(header, &info));
  EXPECT_EQ(std::string(info.dli_fname), SYSTEM_LOADER_PROBE);
  ASSERT_EQ(dlclose(probe), 0);
  EXPECT_EQ(knownImage(open), 0u);
  EXPECT_TRUE(removed(header));
}

// A library that opens another by a bare name finds it along its own run
// path, as it would without the program's dlopen in between; what it loaded
// is listed shortly after.
TEST_F(LoaderNotices, LibraryOpeningAlongItsOwnRunPathStillFindsItsLibrary) {
#ifdef SANITIZER_HIDES_DLOPEN_CALLER
  GTEST_SKIP() << "the sanitizer's own dlopen wrapper hides the calling library from the loader";
#endif
  void* probe = dlopen(SYSTEM_LOADER_PROBE, RTLD_NOW);
  ASSERT_NE(probe, nullptr) << dlerror();
  auto open = reinterpret_cast<void* (*)(const char*)>(dlsym(probe, "loader_probe_open"));
  auto close = reinterpret_cast<int (*)(void*)>(dlsym(probe, "loader_probe_close"));
  void* dependency = open != nullptr ? open("libloader_probe_dependency.so") : nullptr;
  EXPECT_NE(dependency, nullptr) << dlerror();
  if (dependency != nullptr) {
    void* function = dlsym(dependency, "loader_probe_dependency");
    EXPECT_TRUE(waitUntilKnown(function, true));
    EXPECT_EQ(close(dependency), 0);
    EXPECT_TRUE(waitUntilKnown(function, false));
  }
  EXPECT_EQ(dlclose(probe), 0);
}

// The C library's own dlopen, as a library opened with RTLD_DEEPBIND binds
// to it, passes the program's by.
TEST_F(LoaderNotices, LoadsPastTheProgramsDlopenAreListedByTheWatch) {
  void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  auto libcDlopen = reinterpret_cast<void* (*)(const char*, int)>(dlsym(libc, "dlopen"));
  auto libcDlclose = reinterpret_cast<int (*)(void*)>(dlsym(libc, "dlclose"));
  ASSERT_NE(libcDlopen, nullptr);
  void* probe = libcDlopen(SYSTEM_LOADER_PROBE, RTLD_NOW);
  ASSERT_NE(probe, nullptr);
  void* open = dlsym(probe, "loader_probe_open");
  EXPECT_TRUE(waitUntilKnown(open, true));
  EXPECT_EQ(libcDlclose(probe), 0);
  EXPECT_TRUE(waitUntilKnown(open, false));
  dlclose(libc);
}

}  // namespace
