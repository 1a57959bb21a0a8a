// Libraries loaded and unloaded while the program runs reach the image
// notices: through the program's own dlopen and dlclose as they return, and
// through the watching thread when the loader is reached past them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "base/BuildFacts.h"
#include "baseTest/Children.h"
#include "baseTest/Polling.h"
#include "system/ImageEvents.h"
#include "system/TestSeams.h"

// The sanitizers' own dlopen wrapper calls the C library's from the
// sanitizer's runtime, which the loader then takes for the caller.
#if KX_ASAN || KX_TSAN
#define SANITIZER_HIDES_DLOPEN_CALLER 1
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
    return base::testing::within([&] { return (knownImage(address) != 0) == known; },
                                 std::chrono::seconds(5));
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

// The C library's own dlopen and dlclose, as a library opened with
// RTLD_DEEPBIND binds to them: they pass the program's by.
struct LibraryLoader {
  void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  void* (*open)(const char*,
                int) = reinterpret_cast<void* (*)(const char*, int)>(dlsym(libc, "dlopen"));
  int (*close)(void*) = reinterpret_cast<int (*)(void*)>(dlsym(libc, "dlclose"));
  ~LibraryLoader() { dlclose(libc); }
};

// The threads of this process named as the loader's watch.
int watchingThreads() {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name;
    std::ifstream(task.path() / "comm") >> name;
    count += name == "loader-watch";
  }
  return count;
}

// A program whose loads all go through its own dlopen runs no watching
// thread; the first sync that finds a load that passed it by starts one.
// In a child, which starts with no thread but its own.
TEST_F(LoaderNotices, TheWatchStartsAtTheFirstLoadPastTheProgramsDlopen) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    void* probe = dlopen(SYSTEM_LOADER_PROBE, RTLD_NOW);
    if (probe == nullptr || dlclose(probe) != 0) _exit(1);
    if (watchingThreads() != 0) _exit(2);
    LibraryLoader loader;
    probe = loader.open(SYSTEM_LOADER_PROBE, RTLD_NOW);
    sys::sync_loaded_images();
    if (knownImage(dlsym(probe, "loader_probe_open")) == 0) _exit(3);
    if (watchingThreads() != 1) _exit(4);
    loader.close(probe);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

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

// Once watched, loads and unloads that pass the program's dlopen and dlclose
// by are listed without any sync of the program's.
TEST_F(LoaderNotices, LoadsPastTheProgramsDlopenAreListedByTheWatch) {
  LibraryLoader loader;
  ASSERT_NE(loader.open, nullptr);
  void* probe = loader.open(SYSTEM_LOADER_PROBE, RTLD_NOW);
  ASSERT_NE(probe, nullptr);
  void* open = dlsym(probe, "loader_probe_open");
  sys::sync_loaded_images();  // the first sign: the watch starts
  ASSERT_NE(knownImage(open), 0u);
  EXPECT_EQ(loader.close(probe), 0);
  EXPECT_TRUE(waitUntilKnown(open, false));
  probe = loader.open(SYSTEM_LOADER_PROBE, RTLD_NOW);
  ASSERT_NE(probe, nullptr);
  open = dlsym(probe, "loader_probe_open");
  EXPECT_TRUE(waitUntilKnown(open, true));
  EXPECT_EQ(loader.close(probe), 0);
  EXPECT_TRUE(waitUntilKnown(open, false));
}

// The loader's own lists, read as a crash reads them, hold every object it
// has: those of this namespace, which dl_iterate_phdr reports, and those of
// the others too.
TEST_F(LoaderNotices, LoaderListsHoldEveryObjectOfEveryNamespace) {
  void* other = dlmopen(LM_ID_NEWLM, SYSTEM_LOADER_PROBE, RTLD_NOW);
  ASSERT_NE(other, nullptr) << dlerror();
  link_map* probe = nullptr;
  ASSERT_EQ(dlinfo(other, RTLD_DI_LINKMAP, &probe), 0);
  std::set<int64_t> loaded = {static_cast<int64_t>(probe->l_addr)}, listed;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* slides) {
        static_cast<std::set<int64_t>*>(slides)->insert(static_cast<int64_t>(info->dlpi_addr));
        return 0;
      },
      &loaded);
  sys::loader_objects_visit(
      [](const sys::LoaderObject& object, void* slides) {
        static_cast<std::set<int64_t>*>(slides)->insert(object.slide);
        return true;
      },
      &listed);
  EXPECT_TRUE(std::includes(listed.begin(), listed.end(), loaded.begin(), loaded.end()))
      << ::testing::PrintToString(listed) << " against " << ::testing::PrintToString(loaded);
  dlclose(other);
}

// A record of the lists given back while they are read (its library closed
// by a thread a crash could not park) ends the walk there, without a fault.
// The lists are the test's own, their objects on a page taken away once the
// first one was visited.
TEST_F(LoaderNotices, RecordGoneWhileTheListsAreReadEndsTheWalk) {
  EXPECT_EQ(
      base::testing::inChild([] {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* pages =
            mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED) return 1;
        static ElfW(Dyn) dynamic[1] = {};
        auto* debug = new (pages) r_debug{};
        auto* objects = new (static_cast<char*>(pages) + page) link_map[2]{};
        debug->r_version = 1;
        debug->r_map = &objects[0];
        objects[0].l_ld = objects[1].l_ld = dynamic;
        objects[0].l_next = &objects[1];
        sys::setLoaderDebugRecordForTesting(reinterpret_cast<uint64_t>(debug));
        static int visited = 0;
        sys::loader_objects_visit(
            [](const sys::LoaderObject&, void* gone) {
              ++visited;
              return mprotect(gone, static_cast<size_t>(sysconf(_SC_PAGESIZE)), PROT_NONE) == 0;
            },
            objects);
        return visited == 1 ? 0 : 2;
      }),
      0);
}

}  // namespace
