#include "CrashChildImages.h"

#include <dlfcn.h>
#include <iconv.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "base/BuildFacts.h"
#include "baseTest/Polling.h"
#include "crash-capture/ROReradUzerirud.h"
#include "system/ImageEvents.h"

// The sanitizers' own dlopen refuses RTLD_DEEPBIND: under them the program
// reaches the C library's directly, which the reporter sees only through its
// watch over the loader.
#if KX_ASAN || KX_TSAN
#define CRASH_CHILD_SANITIZED_DLOPEN 1
#endif

namespace {

namespace fs = std::filesystem;

using RunFunction = int (*)(int);
using OpenFunction = void* (*)(const char*, int);
using CallFunction = int (*)(void*, const char*, int);

constexpr int kDepth = 3;

// 0, read at run time: the store below is not known to fault.
volatile uintptr_t gLowAddress = 0;

}  // namespace

// The program's frames the tests look for, below and above the plugins'.
extern "C" __attribute__((noinline)) int kx_child_enter_plugin(RunFunction run, int depth) {
  int result = run(depth);
  asm volatile("" ::: "memory");
  return result + 1;
}

extern "C" __attribute__((noinline)) int kx_child_enter_call(CallFunction call, void* handle,
                                                             const char* symbol) {
  int result = call(handle, symbol, kDepth);
  asm volatile("" ::: "memory");
  return result + 1;
}

extern "C" __attribute__((noinline)) void kx_child_fault() {
  *reinterpret_cast<volatile int*>(gLowAddress + 0x10) = 1;
  asm volatile("" ::: "memory");
}

// A row names each of its levels: g++ at -O3 would otherwise call a copy
// specialised for the depth given (kx_child_descend.constprop.N).
#if KX_CLANG
extern "C" __attribute__((noinline)) void kx_child_descend(int depth) {
#else
extern "C" __attribute__((noipa)) void kx_child_descend(int depth) {
#endif
  if (depth <= 0) {
    kx_child_fault();
  } else {
    kx_child_descend(depth - 1);
  }
  asm volatile("" ::: "memory");
}

namespace {

template <class T>
T symbol(void* handle, const char* name) {
  return reinterpret_cast<T>(dlsym(handle, name));
}

// Waits (at most 10 s) until the reporter's image registry knows `address`:
// a library loaded past the program's dlopen is listed by the loader watch.
bool waitUntilListed(const void* address) {
  sys::DlInfo info;
  return base::testing::within(
      [&] { return sys::dladdr(reinterpret_cast<uint64_t>(address), &info); });
}

#ifdef CRASH_CHILD_SANITIZED_DLOPEN
// The C library's own dlopen, past the program's and the sanitizers'.
OpenFunction libraryDlopen() {
  void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  return libc != nullptr ? symbol<OpenFunction>(libc, "dlopen") : nullptr;
}
#endif

// Replaces the file at `path` by a copy of `with` under a new inode, as a
// package upgrade does.
bool replaceFile(const std::string& path, const std::string& with) {
  std::error_code ec;
  const std::string fresh = path + ".new";
  fs::copy_file(with, fresh, fs::copy_options::overwrite_existing, ec);
  return !ec && rename(fresh.c_str(), path.c_str()) == 0;
}

// The loaded search table over `.eh_frame` of the object loaded from `path`.
struct HdrLookup {
  const char* path;
  uint8_t* hdr = nullptr;
  size_t size = 0;
};

int findHdr(dl_phdr_info* info, size_t, void* data) {
  auto* lookup = static_cast<HdrLookup*>(data);
  if (info->dlpi_name == nullptr || strcmp(info->dlpi_name, lookup->path) != 0) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type != PT_GNU_EH_FRAME) continue;
    lookup->hdr = reinterpret_cast<uint8_t*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    lookup->size = info->dlpi_phdr[i].p_memsz;
    return 1;
  }
  return 0;
}

// Rotates, reverses or zeroes the entries of the table of the library loaded
// from `path` (the layout linkers write: version 1, the section pointer and
// the count as 4 bytes, entries of 8).
bool damageSearchTable(const char* path, const std::string& how) {
  HdrLookup lookup{path};
  dl_iterate_phdr(findHdr, &lookup);
  if (lookup.hdr == nullptr || lookup.size < 12 || lookup.hdr[0] != 1 || lookup.hdr[1] != 0x1B ||
      lookup.hdr[2] != 0x03 || lookup.hdr[3] != 0x3B) {
    return false;
  }
  uint32_t count;
  memcpy(&count, lookup.hdr + 8, 4);
  if (count < 3 || 12 + uint64_t{count} * 8 > lookup.size) return false;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t first = reinterpret_cast<uintptr_t>(lookup.hdr) & ~(page - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(lookup.hdr) + lookup.size;
  void* pages = reinterpret_cast<void*>(first);
  if (mprotect(pages, end - first, PROT_READ | PROT_WRITE) != 0) return false;
  // Pairs of 4-byte values, aligned to 4.
  struct Entry {
    uint32_t start, fde;
  };
  auto* entries = reinterpret_cast<Entry*>(lookup.hdr + 12);
  if (how == "rotated") {
    std::rotate(entries, entries + count / 3, entries + count);
  } else if (how == "reversed") {
    std::reverse(entries, entries + count);
  } else {
    memset(entries, 0, uint64_t{count} * 8);
  }
  return mprotect(pages, end - first, PROT_READ) == 0;
}

// The span a report gives the loaded object whose path holds `part`: from its
// header to the end of its last executable segment.
struct Span {
  const char* part;
  uint64_t base = 0;
  uint64_t size = 0;
};

int findSpan(dl_phdr_info* info, size_t, void* data) {
  auto* span = static_cast<Span*>(data);
  if (info->dlpi_name == nullptr || strstr(info->dlpi_name, span->part) == nullptr) return 0;
  uint64_t end = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    if (span->base == 0) span->base = info->dlpi_addr + ph.p_vaddr - ph.p_offset;
    if (ph.p_flags & PF_X) end = std::max<uint64_t>(end, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
  }
  span->size = end - span->base;
  return 1;
}

// Runs this program again from a copy of its file, in `mode`: the copy is
// what the run then deletes or replaces.
int runFromCopy(const std::string& mode, const char* type, const std::string& folder) {
  const std::string copy = folder + "/bin/crash-capture_child";
  std::error_code ec;
  fs::create_directories(folder + "/bin", ec);
  fs::copy_file("/proc/self/exe", copy, fs::copy_options::overwrite_existing, ec);
  if (ec || chmod(copy.c_str(), 0755) != 0) return 5;
  execl(copy.c_str(), copy.c_str(), mode.c_str(), type, folder.c_str(),
        static_cast<char*>(nullptr));
  return 5;
}

int crashIn(void* plugin, const char* name) {
  RunFunction run = symbol<RunFunction>(plugin, name);
  if (run == nullptr) return 5;
  return kx_child_enter_plugin(run, kDepth);
}

// What happens before enabling: the file of a plugin loaded now, or of the
// program itself, is deleted or replaced, as a package upgrade does before
// the reporter lists the image; `*loaded` is the plugin.
int changeFilesBeforeEnabling(const std::string& mode, const std::string& folder, void** loaded) {
  if (mode == "plugin-deleted" || mode == "plugin-replaced") {
    std::error_code ec;
    fs::create_directories(folder + "/plugins", ec);
    const std::string copy = folder + "/plugins/libkx_plugin_a.so";
    fs::copy_file(ROCRASH_PLUGIN_A, copy, fs::copy_options::overwrite_existing, ec);
    *loaded = ec ? nullptr : dlopen(copy.c_str(), RTLD_NOW);
    if (*loaded == nullptr) return 5;
    const bool changed =
        mode == "plugin-deleted" ? unlink(copy.c_str()) == 0 : replaceFile(copy, ROCRASH_PLUGIN_B);
    return changed ? 0 : 5;
  }
  if (mode == "program-deleted-run" || mode == "program-replaced-run") {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 5;
    self[n] = '\0';
    const bool changed =
        mode == "program-deleted-run" ? unlink(self) == 0 : replaceFile(self, ROCRASH_PLUGIN_B);
    return changed ? 0 : 5;
  }
  return 0;
}

int crash(const std::string& mode, void* loadedEarly) {
  if (mode == "plugin") {
    void* a = dlopen(ROCRASH_PLUGIN_A, RTLD_NOW);
    return a != nullptr ? crashIn(a, "kx_plugin_a_run") : 5;
  }
  if (mode == "plugin-from-plugin" || mode == "plugin-deepbind") {
    const bool deep = mode == "plugin-deepbind";
    OpenFunction open = dlopen;
#ifdef CRASH_CHILD_SANITIZED_DLOPEN
    if (deep) open = libraryDlopen();
#endif
    void* a =
        open != nullptr ? open(ROCRASH_PLUGIN_A, RTLD_NOW | (deep ? RTLD_DEEPBIND : 0)) : nullptr;
    if (a == nullptr) return 5;
#ifdef CRASH_CHILD_SANITIZED_DLOPEN
    // A first load past the program's dlopen is found at the next sync (as
    // enabling or a live report makes one), which starts the loader's watch.
    if (deep) sys::sync_loaded_images();
#endif
    // With RTLD_DEEPBIND, the plugin's dlopen is the C library's.
    void* b = symbol<OpenFunction>(a, "kx_plugin_a_open")(ROCRASH_PLUGIN_B, RTLD_NOW);
    if (b == nullptr) return 5;
    if (!waitUntilListed(dlsym(a, "kx_plugin_a_call")) ||
        !waitUntilListed(dlsym(b, "kx_plugin_b_run"))) {
      return 6;
    }
    return kx_child_enter_call(symbol<CallFunction>(a, "kx_plugin_a_call"), b, "kx_plugin_b_run");
  }
  if (mode == "plugin-closed") {
    void* b = dlopen(ROCRASH_PLUGIN_B, RTLD_NOW);
    if (b == nullptr || dlclose(b) != 0) return 5;
    void* a = dlopen(ROCRASH_PLUGIN_A, RTLD_NOW);
    return a != nullptr ? crashIn(a, "kx_plugin_a_run") : 5;
  }
  if (mode == "plugin-deleted" || mode == "plugin-replaced") {
    return crashIn(loadedEarly, "kx_plugin_a_run");
  }
  if (mode == "program-deleted-run" || mode == "program-replaced-run") {
    kx_child_descend(kDepth);
    return 4;
  }
  if (mode == "library-module") {
    // The C library opens its converter module itself, past the program's
    // dlopen; the crash follows at once.
    if (iconv_open("UTF-8", "IBM037") == reinterpret_cast<iconv_t>(-1)) return 5;
    Span span{"/IBM037.so"};
    dl_iterate_phdr(findSpan, &span);
    if (span.base == 0) return 5;
    crash_child_mark("listed.base", span.base);
    crash_child_mark("listed.size", span.size);
    kx_child_descend(kDepth);
    return 4;
  }
  if (mode == "namespaces") {
    // The C++ library in twelve namespaces of its own, each with its own
    // copies of what it needs: more objects than a report lists of those no
    // notice listed, and the fault in the last namespace's maths library
    // (the quotient stored through a null pointer).
    void* last = nullptr;
    for (int i = 0; i < 12; ++i) {
      if ((last = dlmopen(LM_ID_NEWLM, "libstdc++.so.6", RTLD_NOW)) == nullptr) return 5;
    }
    Lmid_t space = LM_ID_BASE;
    if (dlinfo(last, RTLD_DI_LMID, &space) != 0) return 5;
    auto quotient = symbol<double (*)(double, double, int*)>(
        dlmopen(space, "libm.so.6", RTLD_NOW | RTLD_NOLOAD), "remquo");
    if (quotient == nullptr) return 5;
    return static_cast<int>(quotient(5.0, 3.0, nullptr));
  }
  if (mode == "constructor-image") {
    dlopen(ROCRASH_PLUGIN_C, RTLD_NOW);  // its constructor faults
    return 4;
  }
  if (mode == "hdr-rotated" || mode == "hdr-reversed" || mode == "hdr-zeroed") {
    void* a = dlopen(ROCRASH_PLUGIN_A, RTLD_NOW);
    if (a == nullptr || !damageSearchTable(ROCRASH_PLUGIN_A, mode.substr(4))) return 5;
    return crashIn(a, "kx_plugin_a_run");
  }
  return -1;
}

bool isImagesMode(const std::string& mode) {
  for (const char* known :
       {"plugin", "plugin-from-plugin", "plugin-deepbind", "plugin-closed", "plugin-deleted",
        "plugin-replaced", "program-deleted", "program-replaced", "program-deleted-run",
        "program-replaced-run", "hdr-rotated", "hdr-reversed", "hdr-zeroed", "library-module",
        "constructor-image", "namespaces"}) {
    if (mode == known) return true;
  }
  return false;
}

}  // namespace

std::shared_ptr<ROReradUzerirud> crash_child_reporter(const char* type, const char* folder) {
  auto config = ROReradUzerirudConfig::initWithSignalHandlerType(
      std::string(type) == "mach" ? ROReradUzerirudSignalHandlerTypeMach
                                  : ROReradUzerirudSignalHandlerTypeBSD,
      ROReradUzerirudSymbolicationStrategySymbolTable, true, folder);
  return ROReradUzerirud::initWithApplicationIdentifier("com.example.child", "7", "1.0", config);
}

int crash_child_images(const char* mode, const char* type, const char* folder) {
  if (!isImagesMode(mode)) return -1;
  const std::string name = mode;
  if (name == "program-deleted" || name == "program-replaced") {
    return runFromCopy(name + "-run", type, folder);
  }
  // The loader makes room for namespaces beyond four only when told at start.
  const char* tunables = getenv("GLIBC_TUNABLES");
  if (name == "namespaces" &&
      (tunables == nullptr || strstr(tunables, "glibc.rtld.nns") == nullptr)) {
    const std::string before = tunables != nullptr ? std::string(tunables) + ":" : "";
    setenv("GLIBC_TUNABLES", (before + "glibc.rtld.nns=16").c_str(), 1);
    execl("/proc/self/exe", "crash-capture_child", mode, type, folder, static_cast<char*>(nullptr));
    return 5;
  }
  for (int s : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE, SIGTRAP}) signal(s, SIG_DFL);
  void* loadedEarly = nullptr;
  if (int failed = changeFilesBeforeEnabling(name, folder, &loadedEarly); failed != 0) {
    return failed;
  }
  auto reporter = crash_child_reporter(type, folder);
  if (!reporter->enableCrashReporter()) return 3;
  const int result = crash(name, loadedEarly);
  return result >= 0 ? result : 4;
}
